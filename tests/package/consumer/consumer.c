/* Writes a record through the installed library and reads it back. */
#include <stdio.h>

#include "Log.h"
#include "message_ids.h"

#ifdef _WIN32
#define WIDE(text) L##text
#else
#define WIDE(text) u##text
#endif

int main(void) {
    ActivityEntry* entries = NULL;
    uint32_t returned = 0, total = 0;
    const LOG_WCHAR* text;
    if (AutoupdateLogActivityMSG(1, WIDE("written by the consumer")) != 0) return 1;
    if (GetLog(0, 1, &entries, &returned, &total, NULL) != 0 || returned != 1) return 2;
    /* The newest record is the one just written. */
    for (text = entries[0].messageText; *text == ' '; ++text) {
    }
    printf("%u records, newest: ", (unsigned)total);
    for (; *text != 0 && *text != '\r'; ++text) putchar(*text < 128 ? (int)*text : '?');
    printf(" (label id %d)\n", MSG_LABEL_SEV1);
    FreeLog(entries);
    return 0;
}
