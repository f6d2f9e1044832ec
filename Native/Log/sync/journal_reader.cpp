// Journal hand-over and batch reading: the switch of the live journal to the
// hand-over journal, the batch readers with their per-process reading
// position, and the path getters.
#include "sync/journal_reader.h"

#include <climits>
#include <cstring>

#include "files/journal_files.h"
#include "files/log_files.h"
#include "frame/module.h"
#include "platform/status.h"
#include "text/export_text.h"

namespace actlog {
namespace {

// The journal being read, shared by both readers, and the offset of its next
// record; used by one thread at a time.
platform::FileHandle g_readingPosition;
std::uint64_t g_readingOffset = 0;

constexpr std::uint32_t kPrefixBytes = 2 * JournalRecord::kPrefixChars;
constexpr std::uint32_t kMaxLineBytes = 2 * JournalRecord::kMaxLineChars;

// Path getter results, as the runtime's truncating copy reports them.
constexpr std::int32_t kInvalidArgument = 22;
constexpr std::int32_t kTruncated = 80;

bool IsWhite(char16_t c) noexcept { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

char16_t* FindChar(char16_t* text, char16_t c) noexcept {
    for (; *text != 0; ++text) {
        if (*text == c) return text;
    }
    return nullptr;
}

char16_t* FindDoubleDash(char16_t* text) noexcept {
    for (; *text != 0; ++text) {
        if (text[0] == u'-' && text[1] == u'-') return text;
    }
    return nullptr;
}

bool SameText(const char16_t* a, const char16_t* b) noexcept {
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

// Reads until `count` bytes arrived or the file ends; *got receives the total.
bool ReadFully(platform::FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* got) noexcept {
    platform::Platform& os = platform::Current();
    auto* bytes = static_cast<unsigned char*>(buffer);
    *got = 0;
    while (*got < count) {
        std::uint32_t done = 0;
        if (!os.Read(file, bytes + *got, count - *got, &done)) return false;
        if (done == 0) break;
        *got += done;
    }
    return true;
}

enum class LineOutcome { Parsed, Skipped, EndOfFile, Damaged, Failed };

// Reads one journal record into `entry` (which is all zeros on entry and stays
// so unless the line parses); *used receives the record's bytes. A damaged,
// failed or skipped line keeps no block.
LineOutcome ReadOneLine(platform::FileHandle file, SyncLogEntry& entry, std::uint32_t* used) noexcept {
    char16_t prefix[JournalRecord::kPrefixChars + 1] = {};
    std::uint32_t got = 0;
    if (!ReadFully(file, prefix, kPrefixBytes, &got)) return LineOutcome::Failed;
    if (got == 0) return LineOutcome::EndOfFile;
    if (got < kPrefixBytes) return LineOutcome::Damaged;
    std::int32_t length = WideToInt(prefix);
    if (length <= 0) return LineOutcome::Damaged;

    platform::Platform& os = platform::Current();
    std::uint32_t bytes = static_cast<std::uint32_t>(length);
    auto* block = static_cast<char16_t*>(os.Allocate(bytes));
    if (block == nullptr) return LineOutcome::Failed;
    bool read = ReadFully(file, block, bytes, &got);
    if (!read || got != bytes) {
        os.Free(block);
        return read ? LineOutcome::Damaged : LineOutcome::Failed;
    }
    *used = kPrefixBytes + bytes;
    int parsed = ParseJournalLine(block, bytes / 2, entry);
    if (parsed == 1) return LineOutcome::Parsed;
    entry = SyncLogEntry{};
    os.Free(block);
    return parsed == 0 ? LineOutcome::Skipped : LineOutcome::Damaged;
}

// Whether the 11 units at `at` are a record prefix "%10d " announcing a line
// the writer could have written; *bytes receives its length.
bool WellFormedPrefix(const unsigned char* at, std::uint32_t* bytes) noexcept {
    constexpr std::size_t kDigits = JournalRecord::kPrefixChars - 1;
    for (std::size_t i = 0; i <= kDigits; ++i) {
        if (at[2 * i + 1] != 0) return false;
    }
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i < kDigits; ++i) {
        unsigned char c = at[2 * i];
        if (c >= '0' && c <= '9') {
            value = value > kMaxLineBytes ? value : value * 10 + (c - '0');
            ++digits;
        } else if (c != ' ' || digits > 0) {
            return false;
        }
    }
    if (at[2 * kDigits] != ' ' || digits == 0 || value < 4 || value > kMaxLineBytes || value % 2 != 0) return false;
    *bytes = value;
    return true;
}

// A record that does not end where its prefix says (a write cut short, with
// later records behind it) is passed over: the next record is the first place
// after its start where a well-formed prefix announces a line that ends with
// CR LF. False when none follows: damage at the end is not passed over, since
// the file may still be being written there. The file is left at `*next`.
bool FindNextRecord(platform::FileHandle file, std::uint64_t start, std::uint64_t* next) noexcept {
    constexpr std::uint32_t kRecordBytes = kPrefixBytes + kMaxLineBytes;
    constexpr std::uint32_t kWindow = 2 * kRecordBytes;
    platform::Platform& os = platform::Current();
    std::uint64_t position = 0;
    if (!os.Seek(file, static_cast<std::int64_t>(start + 1), platform::SeekFrom::Begin, &position)) return false;
    auto* window = static_cast<unsigned char*>(os.Allocate(kWindow));
    if (window == nullptr) return false;
    std::uint32_t got = 0;
    bool found = false;
    if (ReadFully(file, window, kWindow, &got)) {
        for (std::uint32_t at = 0; !found && at < kRecordBytes && at + kPrefixBytes <= got; ++at) {
            std::uint32_t bytes = 0;
            if (!WellFormedPrefix(window + at, &bytes)) continue;
            std::uint32_t end = at + kPrefixBytes + bytes;
            found = end <= got && window[end - 4] == '\r' && window[end - 3] == 0 && window[end - 2] == '\n' &&
                    window[end - 1] == 0;
            if (found) *next = start + 1 + at;
        }
    }
    os.Free(window);
    return found && os.Seek(file, static_cast<std::int64_t>(*next), platform::SeekFrom::Begin, &position);
}

// Copies the DataSync directory and a journal file name into a caller's buffer,
// cutting at size - 1 characters.
std::int32_t CopySyncPath(SyncFile which, LOG_WCHAR* buffer, std::int32_t size) noexcept {
    if (buffer == nullptr || size < 1) {
        SetCallerError(Status::Fail(Code::InvalidArgument, Op::CheckArgument));
        return kInvalidArgument;
    }
    char16_t* out = FromExport(buffer);
    const std::size_t last = static_cast<std::size_t>(size) - 1;
    std::size_t n = 0;
    bool cut = false;
    for (const char16_t* part : {Module().dataSyncDirectory.c_str(), SyncFileName(which)}) {
        for (; *part != 0; ++part) {
            if (n == last) {
                cut = true;
                break;
            }
            out[n++] = *part;
        }
    }
    out[n] = 0;
    if (!cut) return 0;
    SetCallerError(Status::Fail(Code::Truncated, Op::CopyText));
    return kTruncated;
}

std::int32_t SwitchJournal() noexcept {
    LogMutex mutex(kSyncMutexBase, nullptr);
    if (!mutex.opened()) return ExportResult(mutex.status());
    PathText journal = SyncFilePath(SyncFile::Journal);
    PathText handOver = SyncFilePath(SyncFile::HandOver);
    platform::Platform& os = platform::Current();
    Status moved = Status::Fail(Code::Io, Op::LockMutex);
    if (mutex.Wait(platform::WaitTime::Infinite)) {
        // The move never replaces: an existing hand-over journal is never
        // replaced or added to. A missing live journal fails it with NotFound.
        moved = os.MoveNoReplace(journal.c_str(), handOver.c_str());
    }
    mutex.Release();
    if (moved) return 0;
    // The result is whether a hand-over journal stands, whoever made it.
    return os.Exists(handOver.c_str()) ? 0 : ExportResult(moved);
}

}  // namespace

std::int32_t WideToInt(const char16_t* text) noexcept {
    if (text == nullptr) return 0;
    while (IsWhite(*text)) ++text;
    bool negative = false;
    if (*text == u'+' || *text == u'-') negative = *text++ == u'-';
    // Accumulated as a magnitude; one past INT_MAX is the most a negative value needs.
    constexpr std::int64_t kLimit = static_cast<std::int64_t>(INT_MAX) + 1;
    std::int64_t value = 0;
    for (; *text >= u'0' && *text <= u'9'; ++text) {
        value = value * 10 + (*text - u'0');
        if (value > kLimit) value = kLimit;
    }
    if (negative) return static_cast<std::int32_t>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<std::int32_t>(value);
}

int ParseJournalLine(char16_t* block, std::uint32_t chars, SyncLogEntry& entry) noexcept {
    entry = SyncLogEntry{};
    if (block == nullptr || chars < 2 || block[chars - 2] != u'\r' || block[chars - 1] != u'\n') return -1;
    // Every text handed out starts at or before `end`, the terminator that replaced CR:
    // offsets taken past a separator are checked against it, so a short or garbled
    // line can never point an entry past its block.
    char16_t* const end = block + chars - 2;
    *end = 0;

    char16_t* blank = FindChar(block, u' ');
    if (blank == nullptr) return 0;
    *blank = 0;
    char16_t* time = blank + 1;

    if (SameText(block, u"PRUNE")) {
        char16_t* dash = FindChar(time, u'-');
        if (dash == nullptr) return 0;
        dash[-1] = 0;
        entry.severity = -1;
        entry.jobNumber = -1;
    } else if (SameText(block, u"ADD")) {
        char16_t* first = FindDoubleDash(time);
        if (first == nullptr) return 0;
        first[-1] = 0;
        char16_t* owner = first + 3;
        if (owner > end) return 0;
        char16_t* second = FindDoubleDash(owner);
        if (second == nullptr) return 0;
        second[-1] = 0;
        char16_t* severity = second + 3;
        if (severity > end) return 0;
        char16_t* dash = FindChar(severity, u'-');
        if (dash == nullptr) return 0;
        dash[-1] = 0;
        if (dash + 2 > end) return 0;
        char16_t* next = FindChar(dash + 2, u'-');
        if (next == nullptr) return 0;
        next[-1] = 0;
        char16_t* job = dash + 5;  // past "- Job"
        char16_t* message = next + 2;
        if (job > end || message > end) return 0;
        entry.ownerName = ToExport(owner);
        entry.severity = WideToInt(severity);
        entry.jobNumber = WideToInt(job);
        entry.messageText = ToExport(message);
    } else {
        return 0;
    }

    // "yyyy/mm/dd" becomes "yyyy-mm-dd" (only where the time text reaches).
    std::size_t timeChars = TextLength(time);
    if (timeChars > 4) time[4] = u'-';
    if (timeChars > 7) time[7] = u'-';
    entry.kindText = ToExport(block);
    entry.timeText = ToExport(time);
    return 1;
}

void CloseSyncReadingPosition() noexcept {
    if (g_readingPosition.valid()) platform::Current().CloseFile(g_readingPosition);
    g_readingPosition = {};
    g_readingOffset = 0;
}

void FreeSyncLogEntries(SyncLogEntry* entries) noexcept {
    if (entries == nullptr) return;
    platform::Platform& os = platform::Current();
    for (SyncLogEntry* entry = entries; entry->kindText != nullptr; ++entry) os.Free(entry->kindText);
    os.Free(entries);
}

std::int32_t ReadSyncLogs(const char16_t* path, std::uint32_t count, SyncLogEntry** entries,
                          std::uint32_t* returned) noexcept {
    if (entries == nullptr || returned == nullptr) return ExportResult(Status::Fail(Code::InvalidArgument, Op::CheckArgument));
    *entries = nullptr;
    *returned = 0;
    if (count == 0) {
        CloseSyncReadingPosition();
        return 0;
    }

    platform::Platform& os = platform::Current();
    if (!g_readingPosition.valid()) {
        if (path == nullptr) return ExportResult(Status::Fail(Code::InvalidArgument, Op::CheckArgument));
        platform::FileHandle file =
            os.OpenFile(path, platform::Access::Read, platform::Disposition::OpenExisting);
        if (!file.valid()) return ExportResult(file.status);
        g_readingPosition = file;
        // Skip the byte-order mark without looking at it.
        std::uint64_t position = 0;
        if (os.Seek(file, 0, platform::SeekFrom::Begin, &position)) {
            unsigned char mark[2];
            std::uint32_t done = 0;
            // A mark that cannot be read is left to the first batch, which
            // reads from the offset reached and reports the failure itself.
            os.Read(file, mark, 2, &done).Ignore();
            g_readingOffset = done;
        }
    }

    const std::size_t arrayBytes = (static_cast<std::size_t>(count) + 1) * sizeof(SyncLogEntry);
    auto* array = static_cast<SyncLogEntry*>(os.Allocate(arrayBytes));
    if (array == nullptr) {
        CloseSyncReadingPosition();
        return ExportResult(Status::Fail(Code::NoMemory, Op::Allocate));
    }
    std::memset(static_cast<void*>(array), 0, arrayBytes);

    std::uint32_t filled = 0;
    std::int32_t result = 0;
    for (std::uint32_t consumed = 0; consumed < count; ++consumed) {
        std::uint64_t start = g_readingOffset;
        std::uint32_t used = 0;
        LineOutcome outcome = ReadOneLine(g_readingPosition, array[filled], &used);
        g_readingOffset = start + used;
        if (outcome == LineOutcome::Damaged) {
            // A damaged line with records behind it counts as a skipped line.
            outcome = FindNextRecord(g_readingPosition, start, &g_readingOffset) ? LineOutcome::Skipped
                                                                                   : LineOutcome::Failed;
        }
        if (outcome == LineOutcome::Parsed) {
            ++filled;
        } else if (outcome == LineOutcome::EndOfFile) {
            CloseSyncReadingPosition();
            result = 1;
            break;
        } else if (outcome == LineOutcome::Failed) {
            // The whole batch goes, including the lines parsed before the failure.
            FreeSyncLogEntries(array);
            CloseSyncReadingPosition();
            return ExportResult(Status::Fail(Code::Damaged, Op::Read));
        }
    }
    *entries = array;
    *returned = filled;
    return result;
}

}  // namespace actlog

extern "C" LOG_API int32_t SwitchSyncLog4Trans(void) noexcept { return actlog::SwitchJournal(); }

extern "C" LOG_API int32_t GetNextSyncLogs(uint32_t count, SyncLogEntry** entries, uint32_t* returned) noexcept {
    actlog::PathText path = actlog::SyncFilePath(actlog::SyncFile::HandOver);
    return actlog::ReadSyncLogs(path.c_str(), count, entries, returned);
}

extern "C" LOG_API int32_t GetNextSyncLogsFull(uint32_t count, SyncLogEntry** entries, uint32_t* returned) noexcept {
    actlog::PathText path = actlog::SyncFilePath(actlog::SyncFile::Full);
    return actlog::ReadSyncLogs(path.c_str(), count, entries, returned);
}

extern "C" LOG_API void FreeSyncLog(SyncLogEntry* entries) noexcept { actlog::FreeSyncLogEntries(entries); }

extern "C" LOG_API int32_t GetLogSyncFileTransXMLName(LOG_WCHAR* buffer, int32_t bufferSize) noexcept {
    return actlog::CopySyncPath(actlog::SyncFile::Xml, buffer, bufferSize);
}

extern "C" LOG_API int32_t GetLogSyncFileTransName(LOG_WCHAR* buffer, int32_t bufferSize) noexcept {
    return actlog::CopySyncPath(actlog::SyncFile::HandOver, buffer, bufferSize);
}

extern "C" LOG_API int32_t GetLogSyncFileTransNameFull(LOG_WCHAR* buffer, int32_t bufferSize) noexcept {
    return actlog::CopySyncPath(actlog::SyncFile::Full, buffer, bufferSize);
}
