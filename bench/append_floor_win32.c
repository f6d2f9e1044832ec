/* The append floor on Windows: the same steps as append_floor.c in Win32
 * calls. Open the lock file, lock it, probe the new log, open/write at the
 * end/close the log, open/write at the end/close the index, unlock, close. */
#include <windows.h>

#include "append_floor.h"

static HANDLE open_file(const char* path, DWORD access) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
}

static int write_at_end(HANDLE file, const void* bytes, DWORD count, LONGLONG* end) {
    LARGE_INTEGER size;
    DWORD written = 0;
    if (!GetFileSizeEx(file, &size)) return 0;
    OVERLAPPED at = {0};
    at.Offset = (DWORD)size.QuadPart;
    at.OffsetHigh = (DWORD)(size.QuadPart >> 32);
    *end = size.QuadPart;
    return WriteFile(file, bytes, count, &written, &at) && written == count;
}

int floor_append(const struct floor_paths* paths, const void* record, unsigned bytes) {
    HANDLE lock = open_file(paths->lock, GENERIC_READ | GENERIC_WRITE);
    if (lock == INVALID_HANDLE_VALUE) return -1;
    int result = -1;
    OVERLAPPED whole = {0};
    if (LockFileEx(lock, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        if (GetFileAttributesA(paths->new_log) == INVALID_FILE_ATTRIBUTES) {
            HANDLE log = open_file(paths->log, GENERIC_WRITE);
            if (log != INVALID_HANDLE_VALUE) {
                LONGLONG end = 0;
                int written = write_at_end(log, record, bytes, &end);
                CloseHandle(log);
                HANDLE index = written ? open_file(paths->index, GENERIC_WRITE) : INVALID_HANDLE_VALUE;
                if (index != INVALID_HANDLE_VALUE) {
                    unsigned char entry[4];
                    unsigned value = (unsigned)end + bytes;
                    LONGLONG indexEnd = 0;
                    for (int i = 0; i < 4; ++i) entry[i] = (unsigned char)(value >> (8 * i));
                    if (write_at_end(index, entry, 4, &indexEnd)) result = 0;
                    CloseHandle(index);
                }
            }
        }
        UnlockFileEx(lock, 0, 1, 0, &whole);
    }
    CloseHandle(lock);
    return result;
}
