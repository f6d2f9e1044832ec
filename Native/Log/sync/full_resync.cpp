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
    // A failed wait (an abandoned mutex, given back at once) answers 0 with
    // nothing written, as the export always has: callers take 0 as "done" and
    // read whatever full journal stands. It sets no last error.
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

namespace {

// One journal record written straight into the writer's buffer: the bytes that
// JournalRecord gives ("%10d " length prefix, the line cut so that it keeps
// room for its CR LF, CR LF), without building it elsewhere first.
class LineInPlace {
public:
    static constexpr std::size_t kMostBytes = 2 * (JournalRecord::kPrefixChars + JournalRecord::kMaxLineChars);

    explicit LineInPlace(unsigned char* at) noexcept : out_(reinterpret_cast<char16_t*>(at)) {}

    void Append(std::u16string_view text) noexcept {
        constexpr std::size_t kRoom = JournalRecord::kMaxLineChars - 2;
        std::size_t room = used_ < kRoom ? kRoom - used_ : 0;
        std::size_t chars = text.size() < room ? text.size() : room;
        // A plain loop: inlined block moves start slowly for the short pieces of a line.
        char16_t* to = out_ + JournalRecord::kPrefixChars + used_;
        for (std::size_t i = 0; i < chars; ++i) to[i] = text[i];
        used_ += chars;
    }
    void AppendSigned32(std::int32_t value) noexcept {
        char16_t digits[12];
        std::size_t n = sizeof digits / sizeof digits[0];
        std::uint32_t magnitude = value < 0 ? 0u - static_cast<std::uint32_t>(value) : static_cast<std::uint32_t>(value);
        do {
            digits[--n] = static_cast<char16_t>(u'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[--n] = u'-';
        Append({digits + n, sizeof digits / sizeof digits[0] - n});
    }
    // Ends the line and fills in the prefix; gives the record's bytes.
    std::uint32_t Finish() noexcept {
        char16_t* line = out_ + JournalRecord::kPrefixChars;
        line[used_++] = u'\r';
        line[used_++] = u'\n';
        // "%10d ": the line's bytes, right-aligned in ten characters, and a blank.
        std::size_t bytes = 2 * used_;
        std::size_t i = JournalRecord::kPrefixChars - 1;
        out_[i] = u' ';
        do {
            out_[--i] = static_cast<char16_t>(u'0' + bytes % 10);
            bytes /= 10;
        } while (bytes != 0 && i > 0);
        while (i > 0) out_[--i] = u' ';
        return static_cast<std::uint32_t>(2 * (JournalRecord::kPrefixChars + used_));
    }

private:
    char16_t* out_;
    std::size_t used_ = 0;
};

}  // namespace

bool FullJournalWriter::Add(std::u16string_view kind, std::u16string_view time, std::u16string_view owner,
                            std::int32_t severity, std::int32_t job, std::u16string_view message) noexcept {
    if (buffer_ == nullptr) {
        buffer_ = static_cast<unsigned char*>(platform::Current().Allocate(kBufferBytes));
        if (buffer_ == nullptr) return false;
    }
    if (kBufferBytes - used_ < LineInPlace::kMostBytes && !Flush()) return false;
    LineInPlace line(buffer_ + used_);
    line.Append(kind);
    line.Append(u" ");
    line.Append(time);
    AppendAddFields(line, owner, severity, job, message);
    used_ += line.Finish();
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
    std::u16string_view ownerText(journalOwner, TextLength(journalOwner));
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
        std::size_t timeChars = ReduceTimeText(parts.timeText);
        // The message runs to the end of the record's text.
        auto messageStart = static_cast<std::size_t>(parts.messageText - record.text);
        std::u16string_view message(parts.messageText, record.chars - messageStart);
        bool added = journal.Add(u"ADD", {parts.timeText, timeChars}, ownerText, static_cast<std::int32_t>(parts.severity),
                                 static_cast<std::int32_t>(parts.jobNumber), message);
        if (!added) {
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

std::size_t ReduceTimeText(char16_t* text) noexcept {
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
    return n;
}

}  // namespace actlog

extern "C" LOG_API int32_t MergeAllActiveLog2LogTransFull(void) noexcept { return actlog::MergeAll(); }
