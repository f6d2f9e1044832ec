// Full resynchronisation: the journals are cleared under the sync mutex and
// every activity log is exported into the full journal, the machine's first,
// then each owner's in directory order.
#include "sync/full_resync.h"

#include "files/file_io.h"
#include "files/log_files.h"
#include "files/owner_log.h"
#include "frame/module.h"
#include "retrieval/paged_queries.h"
#include "retrieval/read_snapshot.h"
#include "retrieval/record_walk.h"
#include "platform/export_text.h"

namespace actlog {
namespace {

constexpr std::u16string_view kLogSuffix = u".activity.log";

bool SameFileName(std::u16string_view a, std::u16string_view b) noexcept {
    return platform::kCaseSensitiveNames ? a == b : EqualNoCase(a, b);
}

// Whether the search result `fileName` is the log that `owner`'s operations
// use. A second name that resolves to the same owner (a stale prefixed copy
// beside the exact name, say) is not: exporting it would put the owner's
// records in twice or records nobody else can read.
bool IsOwnersLog(std::u16string_view fileName, const char16_t* owner) noexcept {
    PathText found(Module().logsDirectory.view());
    found.Append(fileName);
    PathText resolved = ActivityPath(LogFile::Log, owner);
    return SameFileName(found.view(), resolved.view());
}

// After a log could not be read: what was written stays, as after a failed page.
int KeepAndFail(FullJournalWriter& journal) noexcept {
    if (!journal.Flush()) journal.Discard();
    return 1;
}

std::int32_t MergeAll() noexcept {
    LogMutex mutex(kSyncMutexBase, nullptr);
    if (!mutex.opened()) return 1;
    if (!mutex.Wait(platform::WaitTime::Infinite)) return 0;

    platform::Platform& os = platform::Current();
    const ModuleValues& module = Module();
    // A directory that cannot be made shows when the journal is opened.
    if (!os.Exists(module.dataSyncDirectory.c_str())) os.MakeDirectory(module.dataSyncDirectory.c_str()).Ignore();
    for (SyncFile file : {SyncFile::Full, SyncFile::HandOver, SyncFile::Journal}) {
        // Mostly not there; one that stays is caught by the full journal's
        // own open, which creates it anew.
        os.RemoveFile(SyncFilePath(file).c_str()).Ignore();
    }

    FullJournalWriter journal;
    if (MergeActiveLog2LogTransFull(nullptr, u"<NULL>", journal) != 0) return 1;

    PathText pattern(module.logsDirectory.view());
    pattern.Append(u"*.activity.log");
    char16_t name[kPathChars] = {};
    platform::SearchHandle search = os.FindFirst(pattern.c_str(), name, kPathChars);
    if (search.valid()) {
        do {
            std::u16string_view fileName(name, TextLength(name));
            PathText owner;
            if (!OwnerOfLogFile(fileName, owner) || !IsOwnersLog(fileName, owner.c_str())) continue;
            if (MergeActiveLog2LogTransFull(owner.c_str(), owner.c_str(), journal) != 0) {
                os.FindClose(search);
                return 1;
            }
        } while (os.FindNext(search, name, kPathChars));
        os.FindClose(search);
    }
    if (!journal.Flush()) {
        journal.Discard();
        return 1;
    }
    return 0;
}

}  // namespace

FullJournalWriter::FullJournalWriter() noexcept : path_(SyncFilePath(SyncFile::Full)) {}

FullJournalWriter::~FullJournalWriter() {
    Close();
    if (buffer_ != nullptr) platform::Current().Free(buffer_);
}

bool FullJournalWriter::Add(const JournalRecord& record) noexcept {
    if (buffer_ == nullptr) {
        buffer_ = static_cast<unsigned char*>(platform::Current().Allocate(kBufferBytes));
        if (buffer_ == nullptr) return false;
    }
    std::uint32_t bytes = record.ByteCount();
    if (kBufferBytes - used_ < bytes && !Flush()) return false;
    const auto* from = reinterpret_cast<const unsigned char*>(record.data());
    for (std::uint32_t i = 0; i < bytes; ++i) buffer_[used_ + i] = from[i];
    used_ += bytes;
    return true;
}

bool FullJournalWriter::Flush() noexcept {
    if (used_ == 0) return true;
    bool written = Write(buffer_, used_);
    used_ = 0;
    return written;
}

bool FullJournalWriter::Write(const void* bytes, std::uint32_t count) noexcept {
    platform::Platform& os = platform::Current();
    if (!file_.valid()) {
        file_ = os.OpenFile(path_.c_str(), platform::Access::Write, platform::Disposition::OpenAlways);
        if (!file_.valid()) return false;
        std::uint64_t position = 0;
        if (!SeekEndPastMark(file_, &position)) return false;
    }
    return static_cast<bool>(WriteAll(file_, bytes, count));
}

void FullJournalWriter::Close() noexcept {
    if (file_.valid()) platform::Current().CloseFile(file_);
    file_ = {};
}

void FullJournalWriter::Discard() noexcept {
    Close();
    used_ = 0;
    // A journal that stays is replaced by the next run, which creates it anew.
    platform::Current().RemoveFile(path_.c_str()).Ignore();
}

int AppendSyncLogFull(FullJournalWriter& journal, const SyncLogEntry& entry) noexcept {
    JournalRecord record;
    record.AppendZ(FromExport(entry.kindText));
    record.Append(u" ");
    record.AppendZ(FromExport(entry.timeText));
    record.Append(u" -- ");
    record.AppendZ(FromExport(entry.ownerName));
    record.Append(u" -- ");
    record.AppendSigned32(static_cast<std::uint32_t>(entry.severity));
    record.Append(u" - Job");
    record.AppendSigned32(static_cast<std::uint32_t>(entry.jobNumber));
    record.Append(u" - ");
    record.AppendZ(FromExport(entry.messageText));
    record.Finish();
    return journal.Add(record) ? 0 : -1;
}

int MergeActiveLog2LogTransFull(const char16_t* owner, const char16_t* journalOwner,
                                FullJournalWriter& journal) noexcept {
    // One snapshot for the whole log: every record it holds is exported exactly
    // once, whatever is appended or pruned meanwhile. The lines are split where
    // the walk read them; nothing is allocated per record.
    ReadSnapshot snapshot(owner);
    if (!snapshot.valid()) {
        if (snapshot.status() == ReadResult::Damaged) snapshot.DiscardIndex();
        return KeepAndFail(journal);
    }
    std::uint32_t n = snapshot.records();
    RecordWalk walk(snapshot, n);
    for (;;) {
        RecordText record;
        ReadResult result = walk.Next(n, &record);
        if (result != ReadResult::Ok) {
            // As GetLog does: only an index that describes its log wrongly goes.
            if (result == ReadResult::Damaged) snapshot.DiscardIndex();
            return KeepAndFail(journal);
        }
        if (record.text == nullptr) return 0;
        RecordParts parts;
        if (!SplitRecordLine(record.text, parts) || parts.severity == 0 || parts.severity == 3) continue;
        ReduceTimeText(parts.timeText);
        SyncLogEntry entry{};
        entry.kindText = ToExport(u"ADD");
        entry.ownerName = ToExport(journalOwner);
        entry.severity = static_cast<std::int32_t>(parts.severity);
        entry.jobNumber = static_cast<std::int32_t>(parts.jobNumber);
        entry.timeText = ToExport(parts.timeText);
        entry.messageText = ToExport(parts.messageText);
        if (AppendSyncLogFull(journal, entry) != 0) {
            snapshot.Close();
            journal.Discard();
            return 1;
        }
    }
}

bool OwnerOfLogFile(std::u16string_view fileName, PathText& owner) noexcept {
    if (fileName.size() <= kLogSuffix.size() ||
        !EqualNoCase(fileName.substr(fileName.size() - kLogSuffix.size()), kLogSuffix)) {
        return false;
    }
    std::u16string_view stem = fileName.substr(0, fileName.size() - kLogSuffix.size());
    // A log that only a passed-over index matches is named after it; it is
    // not that owner's log, so the caller leaves it out.
    if (IndexedOwnerOfLog(Module().logsDirectory.view(), stem, owner) == LogClaim::None) owner.Assign(stem);
    return true;
}

void ReduceTimeText(char16_t* text) noexcept {
    std::size_t n = TextLength(text);
    std::size_t blank = 0;
    while (blank < n && text[blank] != u' ') ++blank;
    if (blank < n) {
        std::size_t next = blank + 1;
        while (next < n && text[next] == u' ') ++next;
        std::size_t out = blank + 1;
        for (std::size_t i = next; i < n; ++i) text[out++] = text[i];
        n = out;
    }
    while (n > 0 && text[n - 1] == u' ') --n;
    text[n] = 0;
}

}  // namespace actlog

extern "C" LOG_API int32_t MergeAllActiveLog2LogTransFull(void) noexcept { return actlog::MergeAll(); }
