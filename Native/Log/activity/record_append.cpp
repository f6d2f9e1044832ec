// The record append: one record line into the owner's new pair (while a prune
// builds one) or main pair, under the owner's write mutex, then the journal.
#include "activity/record_append.h"

#include <utility>

#include "files/file_io.h"
#include "files/log_files.h"
#include "files/new_pair.h"
#include "files/pair_tail.h"
#include "files/record_line.h"
#include "files/journal_files.h"

namespace actlog {
namespace {

using platform::Access;
using platform::Disposition;

constexpr unsigned char kByteOrderMark[2] = {0xFF, 0xFE};

// Appends the record to a pair whose files are open: the tail is checked and
// repaired first, the record and its entry are written where the tail ends,
// and a write that fails is cut back, so a failed append leaves nothing.
Status AppendToPair(PairEnds& pair, const LineText& line, OnDamage onDamaged) noexcept {
    TailState tail = RepairTail(pair);
    if (tail == TailState::Damaged && onDamaged == OnDamage::Reindex) {
        tail = ReindexWhole(pair) ? TailState::Sound : TailState::Failed;
    }
    if (tail == TailState::Damaged) return Status::Fail(Code::Damaged, Op::CheckIndex);
    if (tail != TailState::Sound) return Status::Fail(Code::Io, Op::CheckIndex);
    const std::uint32_t bytes = static_cast<std::uint32_t>(2 * line.size());
    const std::uint32_t start = pair.logEnd;
    const std::uint32_t mark = start == 0 ? 2 : 0;
    // Offsets are 32 bits: a log that would pass 4 GiB - 1 takes no more records.
    if (std::uint64_t{start} + mark + bytes > 0xFFFFFFFFu) return Status::Fail(Code::NoSpace, Op::Write);
    if (mark != 0) {
        Status written = WriteOrCutBack(pair.log, 0, kByteOrderMark, mark);
        if (!written) return written;
    }
    Status written = WriteOrCutBack(pair.log, start + mark, line.c_str(), bytes);
    if (written) {
        unsigned char entry[4];
        StoreLe32(start + mark + bytes, entry);
        written = WriteOrCutBack(pair.index, pair.indexEnd, entry, 4);
    }
    // A failed cut leaves a torn tail, which the next append repairs.
    if (!written) {
        CutTo(pair.log, start).Ignore();
        return written;
    }
    pair.logEnd = start + mark + bytes;
    pair.indexEnd += 4;
    return written;
}

// The pair an append wrote to. Its files are closed after the write mutex is
// released: closing them is no part of the exclusive work.
struct WrittenPair {
    ScopedFile log, index;
};

// While a prune builds the new pair the record belongs there, behind the
// reserved fronts. The new log is never created here: without it no prune runs.
Status AppendToNewPair(const LineText& line, const char16_t* owner, OwnerFiles& files, ScopedFile& mainLog,
                       bool* present, bool* recovered, WrittenPair& written) noexcept {
    PathText newLog = files.Path(LogFile::NewLog);
    ScopedFile log = ScopedFile::Open(newLog.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    *present = log.valid();
    if (!*present) return log.status();
    mainLog.Close();
    // A new pair whose prune mutex is free was left by a dead prune: it is
    // finished first, and the record goes to the main pair it leaves. While
    // recovery cannot finish it, no record is taken: the main pair may yet be
    // refilled from or replaced, and the new pair may be half made.
    log.Close();
    const bool recovery = RecoverUnderWrite(owner);
    log = ScopedFile::Open(newLog.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (recovery) {
        if (log.valid()) return Status::Fail(Code::Busy, Op::Move);
        *present = log.status().code() != Code::NotFound;
        *recovered = !*present;
        return log.status();  // unused when absent: the record goes to the main pair
    }
    if (!log.valid()) return log.status();
    PathText newIndex = files.Path(LogFile::NewIndex);
    ScopedFile index = ScopedFile::Open(newIndex.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (!index.valid()) return index.status();
    // A dying prune's locks go one by one: the write mutex may be free while
    // its prune mutex still looks held. A front it never recorded must not be
    // taken for a tail to repair; recovery drops that pair once it can.
    if (FrontOf(log.get(), index.get()) != FrontState::Recorded) return Status::Fail(Code::Busy, Op::Move);
    PairEnds pair{log.get(), index.get()};
    Status appended = AppendToPair(pair, line, OnDamage::Fail);
    written = WrittenPair{std::move(log), std::move(index)};
    return appended;
}

// `log` is the main log when it is open already.
Status AppendToMainPair(const LineText& line, WrittenPair& written, OwnerFiles&& files, ScopedFile&& log = {}) noexcept {
    if (!log.valid()) {
        PathText mainLog = files.Path(LogFile::Log);
        log = ScopedFile::Open(mainLog.c_str(), Access::ReadWrite, Disposition::OpenAlways);
    }
    if (!log.valid()) return log.status();
    PathText mainIndex = files.Path(LogFile::Index);
    ScopedFile index = ScopedFile::Open(mainIndex.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (!index.valid()) {
        // A log of nothing (or only the byte-order mark) starts a fresh index;
        // a log with records and no index waits for a rebuild.
        std::uint32_t size = 0;
        if (!FileSize32(log.get(), &size)) return Status::Fail(Code::Io, Op::Size);
        if (size > 2) return index.status();
        index = ScopedFile::Open(mainIndex.c_str(), Access::ReadWrite, Disposition::CreateAlways);
        if (!index.valid()) return index.status();
    }
    PairEnds pair{log.get(), index.get()};
    const IndexEndMemo memo(mainIndex.view());
    pair.indexGuess = memo.Recall();
    Status appended = AppendToPair(pair, line, OnDamage::Reindex);
    if (appended) memo.Remember(pair.indexEnd);
    written = WrittenPair{std::move(log), std::move(index)};
    return appended;
}

// The file work of one append; the caller holds the owner's write mutex.
Status AppendLocked(const LineText& line, const char16_t* owner, WrittenPair& written) noexcept {
    // The paths are worked out under the mutex: an owner renaming holds the
    // same mutex, so the log cannot move between the lookup and the write.
    // The owner's log is looked up once, and again after a recovery. A log
    // under the plain name of an owner without a '.' in it is the owner's:
    // opening it answers the lookup.
    OwnerFiles files(owner);
    ScopedFile mainLog;
    if (OwnerPresent(owner) && std::u16string_view(owner, TextLength(owner)).find(u'.') == std::u16string_view::npos) {
        PathText plain = files.PlainLogPath();
        mainLog = ScopedFile::Open(plain.c_str(), Access::ReadWrite, Disposition::OpenExisting);
        if (mainLog.valid()) files.FoundPlainLog(plain);
    }
    bool newPair = false;
    bool recovered = false;
    Status result = AppendToNewPair(line, owner, files, mainLog, &newPair, &recovered, written);
    if (newPair) return result;
    // A new log that failed to open for any cause but its absence may be
    // there: the record must not go to the main pair, which the prune drops.
    if (!recovered && result.code() != Code::NotFound) return result;
    result = recovered ? AppendToMainPair(line, written, OwnerFiles(owner))
                       : AppendToMainPair(line, written, std::move(files), std::move(mainLog));
    // A main pair that cannot take the record may be a dead prune's half-done
    // exchange (the index moved aside).
    if (!result && RecoverUnderWrite(owner)) result = AppendToMainPair(line, written, OwnerFiles(owner));
    return result;
}

int Append(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message, const char16_t* owner,
           bool ownerChecked) noexcept {
    if (message == nullptr) message = u"";
    const LogSystemTime now = platform::Current().SystemTimeUtc();
    LineText line;
    BuildRecordLine(line, now, severity, jobNumber, message);

    Status result = Status::Fail(Code::Io, Op::LockMutex);  // an abandoned or failed wait
    WrittenPair written;  // closed once the mutex is released
    {
        LogMutex writeMutex = ownerChecked ? LogMutex(kWriteMutexBase, CheckedOwner{owner}) : LogMutex(kWriteMutexBase, owner);
        if (!writeMutex.opened()) return ExportResult(writeMutex.status());
        if (writeMutex.Wait(platform::WaitTime::Infinite)) result = AppendLocked(line, owner, written);
    }
    written = WrittenPair{};
    // The journal is written after the write mutex is gone: the sync mutex is
    // never taken while a write mutex is held. The record stands whatever the
    // journal does, so its failure is not the append's.
    if (result) SyncLogAdd(severity, jobNumber, &now, message, owner).Ignore();
    return ExportResult(result);
}

}  // namespace

int AppendActivityRecord(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                         const char16_t* owner) noexcept {
    return Append(severity, jobNumber, message, owner, false);
}

int AppendActivityRecordForCheckedOwner(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                                        const char16_t* owner) noexcept {
    return Append(severity, jobNumber, message, owner, true);
}

}  // namespace actlog
