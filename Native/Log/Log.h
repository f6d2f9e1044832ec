/* Activity-log library: public C interface.
 *
 * Windows: Log.dll (exports at fixed ordinals, see Log.def); LOG_WCHAR is wchar_t.
 * Linux:   libLog.so with the same export names; LOG_WCHAR is char16_t.
 * All texts are UTF-16. Results: 0 success, -1 failure unless stated otherwise.
 */
#ifndef ACTIVITY_LOG_H
#define ACTIVITY_LOG_H

#include <stdarg.h>
#include <stdint.h>

#ifdef _WIN32
#include <wchar.h>
typedef wchar_t LOG_WCHAR;
#define LOG_API
#else
#ifdef __cplusplus
typedef char16_t LOG_WCHAR;
#else
#include <uchar.h>
typedef char16_t LOG_WCHAR;
#endif
#define LOG_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define LOG_NOEXCEPT noexcept
extern "C" {
#else
#define LOG_NOEXCEPT
#endif

/* Same layout as the Win32 SYSTEMTIME. */
typedef struct LogSystemTime {
    uint16_t wYear;
    uint16_t wMonth;
    uint16_t wDayOfWeek;
    uint16_t wDay;
    uint16_t wHour;
    uint16_t wMinute;
    uint16_t wSecond;
    uint16_t wMilliseconds;
} LogSystemTime;

/* One record handed out by GetLog / GetJobLog. timeText is the record's line,
 * messageText points into it; both stay valid until FreeLog frees the array.
 * The array ends with an all-zero entry. */
typedef struct ActivityEntry {
    uint32_t severity;
    uint32_t jobNumber;
    LOG_WCHAR* timeText;
    LOG_WCHAR* messageText;
} ActivityEntry;

/* One journal line handed out by GetNextSyncLogs / GetNextSyncLogsFull.
 * kindText owns the line's buffer; the other texts point into it. */
typedef struct SyncLogEntry {
    LOG_WCHAR* kindText;
    LOG_WCHAR* ownerName;
    int32_t severity;
    int32_t jobNumber;
    LOG_WCHAR* timeText;
    LOG_WCHAR* messageText;
} SyncLogEntry;

/* The last-error value. An export marked "sets last error" below leaves the
 * cause of a failure where Win32 calls leave theirs: GetLastError() on Windows,
 * errno on Linux. It is the OS error of the call that failed (no such file,
 * access denied, disk full, ...) or, for a failure the library found itself:
 * an invalid argument or owner name (ERROR_INVALID_PARAMETER / EINVAL), a
 * damaged index or log (ERROR_FILE_CORRUPT / EBADMSG), a log at its 4 GiB
 * limit (ERROR_DISK_FULL / ENOSPC), a mutex held by another run
 * (ERROR_SHARING_VIOLATION / EBUSY), memory (ERROR_NOT_ENOUGH_MEMORY / ENOMEM).
 * A successful call leaves the value as it was. Exports not so marked do not
 * set it yet: read it only after a failure of a marked export. */

/* Logging (ordinals 1, 2, 9, 10, 11, 20, 30): 0, or -1 and set last error; a
 * message id the message library lacks sets ERROR_RESOURCE_NAME_NOT_FOUND /
 * ENOMSG. A record that stands is 0 even when its sync journal line failed. */
LOG_API int32_t LogActivity(uint32_t severity, uint32_t messageId, ...) LOG_NOEXCEPT;
LOG_API int32_t JobLogActivity(uint32_t severity, uint32_t jobNumber, uint32_t messageId, ...) LOG_NOEXCEPT;
LOG_API int32_t AutoupdateLogActivity(uint32_t severity, uint32_t messageId, va_list args) LOG_NOEXCEPT;
LOG_API int32_t VMLogActivity(const LOG_WCHAR* owner, uint32_t severity, uint32_t messageId, ...) LOG_NOEXCEPT;
LOG_API int32_t VMJobLogActivity(const LOG_WCHAR* owner, uint32_t severity, uint32_t jobNumber,
                                 uint32_t messageId, ...) LOG_NOEXCEPT;
LOG_API int32_t AutoupdateLogActivityMSG(uint32_t severity, const LOG_WCHAR* text) LOG_NOEXCEPT;
LOG_API int32_t JobLogActivityEx(const LOG_WCHAR* owner, uint32_t severity, uint32_t jobNumber,
                                 uint32_t messageId, va_list args) LOG_NOEXCEPT;

/* Paged queries (3, 4, 5). GetLog and GetJobLog: 0, or -1 and set last error. */
LOG_API int32_t GetLog(uint32_t start, uint32_t count, ActivityEntry** entries, uint32_t* returned,
                       uint32_t* total, const LOG_WCHAR* owner) LOG_NOEXCEPT;
LOG_API int32_t GetJobLog(uint32_t job, uint32_t start, uint32_t count, ActivityEntry** entries,
                          uint32_t* returned, uint32_t* total, const LOG_WCHAR* owner) LOG_NOEXCEPT;
LOG_API void FreeLog(ActivityEntry* entries) LOG_NOEXCEPT;

/* Maintenance (6, 7). PruneLog gives the number of records removed, or -1 and
 * sets last error; ReIndexLog gives 0, 1 when another maintenance run holds the
 * owner's prune mutex, or -1; both 1 and -1 set last error. */
LOG_API int32_t PruneLog(const LogSystemTime* date, const LOG_WCHAR* owner) LOG_NOEXCEPT;
LOG_API int32_t ReIndexLog(const LOG_WCHAR* owner) LOG_NOEXCEPT;

/* Message library strings (8): 0, or -1 and set last error (no text for the
 * id: ERROR_RESOURCE_NAME_NOT_FOUND / ENOMSG; no buffer: invalid parameter). */
LOG_API int32_t JobLoadString(uint32_t id, LOG_WCHAR* buffer, int32_t bufferSize) LOG_NOEXCEPT;

/* Sync journal (12 to 19). The batch readers give 0, 1 at the end of the file,
 * or -1 and set last error (no journal to read: file not found; a damaged
 * record at the end of the file: ERROR_FILE_CORRUPT / EBADMSG; no memory).
 * MergeAllActiveLog2LogTransFull gives 0, or 1 and sets last error (a log
 * without a readable index: file not found or ERROR_FILE_CORRUPT / EBADMSG;
 * a journal write or a directory search that failed: the OS error); a failed
 * wait for the sync mutex gives 0 with nothing written. SwitchSyncLog4Trans
 * gives 0 when a hand-over journal stands, or -1 and sets last error (no live
 * journal to hand over: file not found). The path getters give 0 when the
 * whole path fitted; 22 without a buffer and 80 when the path was cut, both
 * setting last error (invalid parameter; ERROR_INSUFFICIENT_BUFFER / ERANGE). */
LOG_API int32_t SwitchSyncLog4Trans(void) LOG_NOEXCEPT;
LOG_API int32_t GetNextSyncLogs(uint32_t count, SyncLogEntry** entries, uint32_t* returned) LOG_NOEXCEPT;
LOG_API void FreeSyncLog(SyncLogEntry* entries) LOG_NOEXCEPT;
LOG_API int32_t GetLogSyncFileTransXMLName(LOG_WCHAR* buffer, int32_t bufferSize) LOG_NOEXCEPT;
LOG_API int32_t GetLogSyncFileTransName(LOG_WCHAR* buffer, int32_t bufferSize) LOG_NOEXCEPT;
LOG_API int32_t GetLogSyncFileTransNameFull(LOG_WCHAR* buffer, int32_t bufferSize) LOG_NOEXCEPT;
LOG_API int32_t GetNextSyncLogsFull(uint32_t count, SyncLogEntry** entries, uint32_t* returned) LOG_NOEXCEPT;
LOG_API int32_t MergeAllActiveLog2LogTransFull(void) LOG_NOEXCEPT;

/* Utility trace log (21, 22, 23) */
LOG_API void SetTarnMgrUtlDebug(unsigned char flag) LOG_NOEXCEPT;
LOG_API void TarnMgrUtlLog(uint32_t messageId, ...) LOG_NOEXCEPT;
LOG_API void TarnMgrUtlTrace(const LOG_WCHAR* format, ...) LOG_NOEXCEPT;

/* Owner log renaming (31); always gives 0, as it always has. A rename that
 * failed sets last error all the same (clear it before the call to tell). */
LOG_API int32_t VMUpdateLogFileNames(const LOG_WCHAR* prefix, const LOG_WCHAR* owner) LOG_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* ACTIVITY_LOG_H */
