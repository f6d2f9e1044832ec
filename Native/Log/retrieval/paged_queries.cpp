#include "retrieval/paged_queries.h"

#include <cstring>
#include <string_view>

#include "activity/log_files.h"
#include "frame/module.h"
#include "retrieval/read_snapshot.h"

namespace actlog {
namespace {

constexpr std::uint32_t kAll = 0xFFFFFFFFu;
// The label part that GetLog searches is at most this many characters.
constexpr std::size_t kLabelPartChars = 128;
// Severities in the order their labels are searched; the first found decides.
constexpr std::uint32_t kLabelSearchOrder[kLabelCount] = {2, 1, 0, 5, 4, 3};
// " JobXXXXXXXX - ": the message begins at the blank this many characters past the ':'.
constexpr std::size_t kJobFieldOffset = 15;

// An index entry is handed to the positioning call as a signed 32-bit distance.
constexpr std::uint32_t kLargestStart = 0x7FFFFFFFu;

std::u16string_view ToEnd(const char16_t* text) noexcept { return {text, TextLength(text)}; }

char16_t* FindChar(char16_t* text, char16_t c) noexcept {
    for (; *text != 0; ++text) {
        if (*text == c) return text;
    }
    return nullptr;
}

// Severity from the first label found in `text`; an empty label is found in
// every text, so without a message library every record reads as severity 2.
std::uint32_t SeverityIn(std::u16string_view text) noexcept {
    const ModuleValues& module = Module();
    for (std::uint32_t severity : kLabelSearchOrder) {
        if (text.find(module.labels[severity].view()) != std::u16string_view::npos) return severity;
    }
    return 0;
}

// An all-zero array of slots + 1 entries; the last one always stays the terminator.
ActivityEntry* AllocateEntries(std::uint32_t slots) noexcept {
    std::size_t bytes = (static_cast<std::size_t>(slots) + 1) * sizeof(ActivityEntry);
    void* memory = platform::Current().Allocate(bytes);
    if (memory != nullptr) std::memset(memory, 0, bytes);
    return static_cast<ActivityEntry*>(memory);
}

void Fill(ActivityEntry& entry, const RecordParts& parts) noexcept {
    entry.severity = parts.severity;
    entry.jobNumber = parts.jobNumber;
    entry.timeText = reinterpret_cast<LOG_WCHAR*>(parts.timeText);
    entry.messageText = reinterpret_cast<LOG_WCHAR*>(parts.messageText);
}

// A record the index describes wrongly: nothing is handed out, and the index
// leaves its name so that a rebuild writes it anew. The log is left alone.
std::int32_t Fail(ReadSnapshot& snapshot, ActivityEntry** entries, std::uint32_t* returned,
                  const char16_t* owner) noexcept {
    *returned = 0;
    FreeEntries(*entries);
    *entries = nullptr;
    snapshot.Close();
    DiscardDamagedFile(ActivityPath(LogFile::Index, owner).c_str());
    return -1;
}

bool OutputsPresent(ActivityEntry** entries, std::uint32_t* returned, std::uint32_t* total) noexcept {
    if (entries == nullptr || returned == nullptr || total == nullptr) return false;
    *entries = nullptr;
    *returned = 0;
    *total = 0;
    return true;
}

}  // namespace

char16_t* ReadRecordLine(platform::FileHandle log, const std::uint32_t* block, std::uint32_t k) noexcept {
    std::uint32_t begin = block[k];
    std::uint32_t end = block[k + 1];
    if (begin > kLargestStart || end < begin || end - begin < 4) return nullptr;
    platform::Platform& os = platform::Current();
    std::uint64_t position = 0;
    if (!os.Seek(log, begin, platform::SeekFrom::Begin, &position) || position != begin) return nullptr;

    std::uint32_t bytes = end - begin;
    auto* line = static_cast<char16_t*>(os.Allocate(bytes));
    if (line == nullptr) return nullptr;
    std::uint32_t done = 0;
    std::size_t chars = bytes / 2;
    if (!os.Read(log, line, bytes, &done) || done != bytes || line[chars - 2] != u'\r' || line[chars - 1] != u'\n') {
        os.Free(line);
        return nullptr;
    }
    line[chars - 2] = 0;
    return line;
}

bool SplitRecordLine(char16_t* line, RecordParts& parts) noexcept {
    parts = RecordParts{};
    char16_t* dash = FindChar(line, u'-');
    if (dash == nullptr) return false;
    *dash = 0;
    char16_t* rest = dash + 1;

    std::u16string_view labelPart = ToEnd(rest);
    labelPart = labelPart.substr(0, labelPart.find(u':'));
    if (labelPart.size() > kLabelPartChars) labelPart = labelPart.substr(0, kLabelPartChars);
    parts.severity = SeverityIn(labelPart);

    char16_t* colon = FindChar(rest, u':');
    if (colon == nullptr) return false;
    parts.jobNumber = ParseJobNumber(colon + 1);
    *colon = 0;
    parts.timeText = line;
    parts.messageText = parts.jobNumber == 0 ? colon + 1 : colon + kJobFieldOffset;
    return true;
}

std::int32_t QueryLog(std::uint32_t start, std::uint32_t count, ActivityEntry** entries, std::uint32_t* returned,
                      std::uint32_t* total, const char16_t* owner) noexcept {
    if (!OutputsPresent(entries, returned, total)) return -1;
    ReadSnapshot snapshot(owner);
    if (!snapshot.valid()) return -1;
    std::uint32_t n = snapshot.records();
    if (n <= start) {
        *total = n;
        return 0;
    }
    // The largest count means "as many as there are": no allocation beyond the page.
    std::uint32_t slots = count == kAll ? n - start : count;
    ActivityEntry* array = AllocateEntries(slots);
    if (array == nullptr) return -1;
    *entries = array;

    platform::Platform& os = platform::Current();
    std::uint32_t filled = 0;
    // start counts index entries, parsed or not: a dropped record takes no slot
    // but the walk goes on with the next older one.
    for (std::uint32_t k = n - start; k-- > 0 && filled < slots;) {
        char16_t* line = ReadRecordLine(snapshot.log(), snapshot.block(), k);
        if (line == nullptr) return Fail(snapshot, entries, returned, owner);
        RecordParts parts;
        if (SplitRecordLine(line, parts)) {
            Fill(array[filled++], parts);
        } else {
            os.Free(line);
        }
    }
    *returned = filled;
    *total = n;
    return 0;
}

std::int32_t QueryJobLog(std::uint32_t job, std::uint32_t start, std::uint32_t count, ActivityEntry** entries,
                         std::uint32_t* returned, std::uint32_t* total, const char16_t* owner) noexcept {
    if (!OutputsPresent(entries, returned, total)) return -1;
    ReadSnapshot snapshot(owner);
    if (!snapshot.valid()) return -1;
    std::uint32_t n = snapshot.records();
    std::uint32_t slots = count == kAll ? n : count;
    ActivityEntry* array = AllocateEntries(slots);
    if (array == nullptr) return -1;
    *entries = array;

    platform::Platform& os = platform::Current();
    std::uint32_t filled = 0;
    std::uint32_t matches = 0;
    // Every record is read, whatever the page, so that the total counts every match.
    for (std::uint32_t k = n; k-- > 0;) {
        char16_t* line = ReadRecordLine(snapshot.log(), snapshot.block(), k);
        if (line == nullptr) return Fail(snapshot, entries, returned, owner);
        char16_t* dash = FindChar(line, u'-');
        char16_t* colon = nullptr;
        std::uint32_t severity = 0;
        if (dash != nullptr) {
            *dash = 0;
            // Unlike GetLog, the whole rest of the line is searched for a label.
            severity = SeverityIn(ToEnd(dash + 1));
            colon = FindChar(dash + 1, u':');
        }
        bool matching = colon != nullptr && ParseJobNumber(colon + 1) == job;
        if (matching && matches >= start && filled < slots) {
            *colon = 0;
            RecordParts parts;
            parts.severity = severity;
            parts.jobNumber = job;
            parts.timeText = line;
            parts.messageText = job == 0 ? colon + 1 : colon + kJobFieldOffset;
            Fill(array[filled++], parts);
        } else {
            os.Free(line);
        }
        if (matching) ++matches;
    }
    *returned = filled;
    *total = matches;
    return 0;
}

void FreeEntries(ActivityEntry* entries) noexcept {
    if (entries == nullptr) return;
    platform::Platform& os = platform::Current();
    for (ActivityEntry* entry = entries; entry->timeText != nullptr; ++entry) os.Free(entry->timeText);
    os.Free(entries);
}

}  // namespace actlog

extern "C" LOG_API int32_t GetLog(uint32_t start, uint32_t count, ActivityEntry** entries, uint32_t* returned,
                                  uint32_t* total, const LOG_WCHAR* owner) noexcept {
    return actlog::QueryLog(start, count, entries, returned, total, reinterpret_cast<const char16_t*>(owner));
}

extern "C" LOG_API int32_t GetJobLog(uint32_t job, uint32_t start, uint32_t count, ActivityEntry** entries,
                                     uint32_t* returned, uint32_t* total, const LOG_WCHAR* owner) noexcept {
    return actlog::QueryJobLog(job, start, count, entries, returned, total, reinterpret_cast<const char16_t*>(owner));
}

extern "C" LOG_API void FreeLog(ActivityEntry* entries) noexcept { actlog::FreeEntries(entries); }
