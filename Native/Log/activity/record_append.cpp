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
int AppendToPair(PairEnds& pair, const LineText& line, bool mayReindex) noexcept {
    TailState tail = RepairTail(pair);
    if (tail == TailState::Damaged && mayReindex) tail = ReindexWhole(pair) ? TailState::Sound : TailState::Failed;
    if (tail != TailState::Sound) return -1;
    const std::uint32_t bytes = static_cast<std::uint32_t>(2 * line.size());
    const std::uint32_t start = pair.logEnd;
    const std::uint32_t mark = start == 0 ? 2 : 0;
    // Offsets are 32 bits: a log that would pass 4 GiB - 1 takes no more records.
    if (std::uint64_t{start} + mark + bytes > 0xFFFFFFFFu) return -1;
    if (mark != 0 && !WriteOrCutBack(pair.log, 0, kByteOrderMark, mark)) return -1;
    if (!WriteOrCutBack(pair.log, start + mark, line.c_str(), bytes)) {
        CutTo(pair.log, start);
        return -1;
    }
    unsigned char entry[4];
    StoreLe32(start + mark + bytes, entry);
    if (!WriteOrCutBack(pair.index, pair.indexEnd, entry, 4)) {
        CutTo(pair.log, start);
        return -1;
    }
    return 0;
}

// While a prune builds the new pair the record belongs there, behind the
// reserved fronts. The new log is never created here: without it no prune runs.
int AppendToNewPair(const LineText& line, const char16_t* owner, OwnerFiles& files, ScopedFile& mainLog,
                    bool* present, bool* recovered) noexcept {
    PathText newLog = files.Path(LogFile::NewLog);
    ScopedFile log = ScopedFile::Open(newLog.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    *present = log.valid();
    if (!*present) return -1;
    mainLog.Close();
    // A new pair whose prune mutex is free was left by a dead prune: it is
    // finished first, and the record goes to the main pair it leaves.
    log.Close();
    if (RecoverUnderWrite(owner)) {
        *present = false;
        *recovered = true;
        return -1;
    }
    log = ScopedFile::Open(newLog.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    PathText newIndex = files.Path(LogFile::NewIndex);
    ScopedFile index = ScopedFile::Open(newIndex.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (!index.valid()) return -1;
    PairEnds pair{log.get(), index.get()};
    return AppendToPair(pair, line, false);
}

// `log` is the main log when it is open already.
int AppendToMainPair(const LineText& line, OwnerFiles&& files, ScopedFile&& log = {}) noexcept {
    if (!log.valid()) {
        PathText mainLog = files.Path(LogFile::Log);
        log = ScopedFile::Open(mainLog.c_str(), Access::ReadWrite, Disposition::OpenAlways);
    }
    if (!log.valid()) return -1;
    PathText mainIndex = files.Path(LogFile::Index);
    ScopedFile index = ScopedFile::Open(mainIndex.c_str(), Access::ReadWrite, Disposition::OpenExisting);
    if (!index.valid()) {
        // A log of nothing (or only the byte-order mark) starts a fresh index;
        // a log with records and no index waits for a rebuild.
        std::uint32_t size = 0;
        if (!FileSize32(log.get(), &size) || size > 2) return -1;
        index = ScopedFile::Open(mainIndex.c_str(), Access::ReadWrite, Disposition::CreateAlways);
        if (!index.valid()) return -1;
    }
    PairEnds pair{log.get(), index.get()};
    return AppendToPair(pair, line, true);
}

// The file work of one append; the caller holds the owner's write mutex.
int AppendLocked(const LineText& line, const char16_t* owner) noexcept {
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
    int result = AppendToNewPair(line, owner, files, mainLog, &newPair, &recovered);
    if (newPair) return result;
    result = recovered ? AppendToMainPair(line, OwnerFiles(owner))
                       : AppendToMainPair(line, std::move(files), std::move(mainLog));
    // A main pair that cannot take the record may be a dead prune's half-done
    // exchange (the index moved aside).
    if (result != 0 && RecoverUnderWrite(owner)) result = AppendToMainPair(line, OwnerFiles(owner));
    return result;
}

}  // namespace

int AppendActivityRecord(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                         const char16_t* owner) noexcept {
    if (message == nullptr) message = u"";
    const LogSystemTime now = platform::Current().SystemTimeUtc();
    LineText line;
    BuildRecordLine(line, now, severity, jobNumber, message);

    int result = -1;
    {
        LogMutex writeMutex(kWriteMutexBase, owner);
        if (!writeMutex.opened()) return -1;
        if (writeMutex.Wait(platform::WaitTime::Infinite)) result = AppendLocked(line, owner);
    }
    // The journal is written after the write mutex is gone: the sync mutex is
    // never taken while a write mutex is held. Its result does not matter here.
    if (result == 0) SyncLogAdd(severity, jobNumber, &now, message, owner);
    return result;
}

}  // namespace actlog
