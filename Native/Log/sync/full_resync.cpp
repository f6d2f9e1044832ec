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
// records in twice or records nobody else can read. Fails when the owner's
// log cannot be looked up: leaving it out would drop its records unseen.
Status IsOwnersLog(std::u16string_view fileName, const char16_t* owner, bool* isOwners) noexcept {
    std::u16string_view directory = Module().logsDirectory.view();
    OwnerLogName resolved = LookUpOwnerLog(directory, std::u16string_view(owner, TextLength(owner)));
    if (resolved.lookup == OwnerLogLookup::Unknown) return Status::Fail(Code::Io, Op::Probe);
    PathText found(directory);
    found.Append(fileName);
    *isOwners = SameFileName(found.view(), resolved.log.view());
    return Status::Ok();
}

// After a log could not be read: what was written stays, as after a failed page.
Status KeepAndFail(FullJournalWriter& journal, Status cause) noexcept {
    if (!journal.Flush()) journal.Discard();
    return cause;
}

// Exports every owner's log that the search of the Logs directory finds.
Status MergeOwners(FullJournalWriter& journal) noexcept {
    platform::Platform& os = platform::Current();
    PathText pattern(Module().logsDirectory.view());
    pattern.Append(u"*.activity.log");
    char16_t name[kPathChars] = {};
    platform::SearchHandle search = os.FindFirst(pattern.c_str(), name, kPathChars);
    if (!search.valid()) return search.status.code() == Code::NotFound ? Status::Ok() : search.status;
    Status result = Status::Ok();
    Status next = Status::Ok();
    for (; result && next; next = os.FindNext(search, name, kPathChars)) {
        std::u16string_view fileName(name, TextLength(name));
        PathText owner;
        bool isOwners = false;
        result = OwnerOfLogFile(fileName, owner);
        if (result.code() == Code::InvalidArgument) {
            result = Status::Ok();  // not an owner's log name
            continue;
        }
        if (result) result = IsOwnersLog(fileName, owner.c_str(), &isOwners);
        if (result && isOwners) result = MergeActiveLog2LogTransFull(owner.c_str(), owner.c_str(), journal);
    }
    os.FindClose(search);
    if (!result) return result;
    // A search that stops early would leave owners out unseen.
    return next.code() == Code::NotFound ? Status::Ok() : next;
}

Status MergeAll() noexcept {
    LogMutex mutex(kSyncMutexBase, nullptr);
    if (!mutex.opened()) return mutex.status();
    // A failed wait (an abandoned mutex, given back at once) answers 0 with
    // nothing written, as the export always has: callers take 0 as "done" and
    // read whatever full journal stands. It sets no last error.
    if (!mutex.Wait(platform::WaitTime::Infinite)) return Status::Ok();

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
    Status result = MergeActiveLog2LogTransFull(nullptr, u"<NULL>", journal);
    if (result) result = MergeOwners(journal);
    if (!result) return result;
    result = journal.Flush();
    if (!result) {
        journal.Discard();
        return result;
    }
    return Status::Ok();
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

Status FullJournalWriter::Add(std::u16string_view kind, std::u16string_view time, std::u16string_view owner,
                            std::int32_t severity, std::int32_t job, std::u16string_view message) noexcept {
    if (buffer_ == nullptr) {
        buffer_ = static_cast<unsigned char*>(platform::Current().Allocate(kBufferBytes));
        if (buffer_ == nullptr) return Status::Fail(Code::NoMemory, Op::Allocate);
    }
    if (kBufferBytes - used_ < LineInPlace::kMostBytes) {
        Status flushed = Flush();
        if (!flushed) return flushed;
    }
    LineInPlace line(buffer_ + used_);
    line.Append(kind);
    line.Append(u" ");
    line.Append(time);
    AppendAddFields(line, owner, severity, job, message);
    used_ += line.Finish();
    return Status::Ok();
}

Status FullJournalWriter::Flush() noexcept {
    if (used_ == 0) return Status::Ok();
    Status written = Write(buffer_, used_);
    used_ = 0;
    return written;
}

Status FullJournalWriter::Write(const void* bytes, std::uint32_t count) noexcept {
    platform::Platform& os = platform::Current();
    if (!file_.valid()) {
        file_ = os.OpenFile(path_.c_str(), platform::Access::Write, platform::Disposition::OpenAlways);
        if (!file_.valid()) return file_.status;
        std::uint64_t position = 0;
        Status marked = SeekEndPastMark(file_, &position);
        if (!marked) return marked;
    }
    return WriteAll(file_, bytes, count);
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

Status MergeActiveLog2LogTransFull(const char16_t* owner, const char16_t* journalOwner,
                                   FullJournalWriter& journal) noexcept {
    // One snapshot for the whole log: every record it holds is exported exactly
    // once, whatever is appended or pruned meanwhile. The lines are split where
    // the walk read them; nothing is allocated per record.
    ReadSnapshot snapshot(owner);
    if (!snapshot.valid()) {
        if (snapshot.status() == ReadResult::Damaged) snapshot.DiscardIndex();
        return KeepAndFail(journal, snapshot.cause());
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
            return KeepAndFail(journal, result == ReadResult::Damaged ? Status::Fail(Code::Damaged, Op::CheckIndex)
                                                                      : Status::Fail(Code::Io, Op::Read));
        }
        if (record.text == nullptr) return Status::Ok();
        RecordParts parts;
        if (!SplitRecordLine(record.text, record.bytes, parts) || parts.severity == 0 || parts.severity == 3) continue;
        std::size_t timeChars = ReduceTimeText(parts.timeText);
        // The message runs to the end of the record's text.
        auto messageStart = static_cast<std::size_t>(parts.messageText - record.text);
        std::u16string_view message(parts.messageText, record.chars - messageStart);
        Status added = journal.Add(u"ADD", {parts.timeText, timeChars}, ownerText,
                                   static_cast<std::int32_t>(parts.severity), static_cast<std::int32_t>(parts.jobNumber),
                                   message);
        if (!added) {
            snapshot.Close();
            journal.Discard();
            return added;
        }
    }
}

Status OwnerOfLogFile(std::u16string_view fileName, PathText& owner) noexcept {
    if (fileName.size() <= kLogSuffix.size() ||
        !EqualNoCase(fileName.substr(fileName.size() - kLogSuffix.size()), kLogSuffix)) {
        return Status::Fail(Code::InvalidArgument, Op::CheckArgument);
    }
    std::u16string_view stem = fileName.substr(0, fileName.size() - kLogSuffix.size());
    // A log that only a passed-over index matches is named after it; it is
    // not that owner's log, so the caller leaves it out.
    LogClaim claim = IndexedOwnerOfLog(Module().logsDirectory.view(), stem, owner);
    if (claim == LogClaim::Unknown) return Status::Fail(Code::Io, Op::Probe);
    if (claim == LogClaim::None) owner.Assign(stem);
    return Status::Ok();
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

// 0 done, 1 failed (with the cause as the last-error value).
extern "C" LOG_API int32_t MergeAllActiveLog2LogTransFull(void) noexcept {
    return actlog::ExportResult(actlog::MergeAll(), 1);
}
