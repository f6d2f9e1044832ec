#include "maintenance/prune_swap.h"

#include "files/file_io.h"
#include "files/new_pair.h"
#include "files/pair_tail.h"

namespace actlog {
namespace {

// With the write mutex held: repairs the main pair's tail, measures it and
// creates the new pair's fronts.
Status Prepare(const PairPaths& paths, std::uint32_t count, PruneMeasures* m) noexcept {
    ScopedFile log = ScopedFile::Open(paths.log.c_str(), platform::Access::ReadWrite,
                                      platform::Disposition::OpenExisting);
    ScopedFile index = ScopedFile::Open(paths.index.c_str(), platform::Access::ReadWrite,
                                        platform::Disposition::OpenExisting);
    if (!log.valid()) return log.status();
    if (!index.valid()) return index.status();
    PairEnds ends{log.get(), index.get()};
    const Status damaged = Status::Fail(Code::Damaged, Op::CheckIndex);
    switch (RepairTail(ends)) {
        case TailState::Sound: break;
        case TailState::Damaged: return damaged;
        default: return Status::Fail(Code::Io, Op::CheckIndex);
    }
    // The count was taken from this index under the prune mutex, which no append shortens.
    if (ends.indexEnd / 4 < count) return damaged;
    unsigned char cut[4];
    Status read = ReadAt(index.get(), std::uint64_t{count} * 4 - 4, cut, 4);
    if (!read) return read;
    m->count = count;
    m->indexSize = ends.indexEnd;
    m->logSize = ends.logEnd;
    m->cutOffset = LoadLe32(cut);
    if (m->cutOffset == 0 || m->cutOffset > m->logSize) return damaged;
    log.Close();
    index.Close();
    return CreateFronts(paths, *m);
}

}  // namespace

Status RemoveOldestRecordsHeld(const LogMutex& prune, std::uint32_t count, const char16_t* owner) noexcept {
    AssertHeld(prune);
    if (count == 0) return Status::Ok();
    // Taken in the order prune (held by the caller), write, read; released in reverse.
    LogMutex write(kWriteMutexBase, owner);
    LogMutex read(kReadMutexBase, owner);
    if (!write.opened()) return write.status();
    if (!read.opened()) return read.status();
    const Status waitFailed = Status::Fail(Code::Io, Op::LockMutex);
    if (!write.Wait(platform::WaitTime::Infinite)) return waitFailed;
    PairPaths paths(owner);
    PruneMeasures measures;
    Status step = Prepare(paths, count, &measures);
    if (!step) return step;
    write.Release();  // from here on writers append to the new pair

    step = FillFronts(paths, measures);
    // A failed wait leaves the new pair to the recovery of the next operation.
    if (!write.Wait(platform::WaitTime::Infinite)) return waitFailed;
    // The owner's log may have been renamed meanwhile: the exchange and the
    // carry-back take it under the name it has now.
    paths = PairPaths(owner);
    if (!step) {
        // What cannot be carried back stays for the next recovery.
        CarryBackAndDrop(paths, measures.surviving(), measures.survivingEntries());
        return step;
    }
    if (!read.Wait(platform::WaitTime::Infinite)) return waitFailed;
    // Writers that died in the new pair may have left a torn tail.
    {
        ScopedFile log = ScopedFile::Open(paths.newLog.c_str(), platform::Access::ReadWrite,
                                          platform::Disposition::OpenExisting);
        ScopedFile index = ScopedFile::Open(paths.newIndex.c_str(), platform::Access::ReadWrite,
                                            platform::Disposition::OpenExisting);
        if (!log.valid()) return log.status();
        if (!index.valid()) return index.status();
        PairEnds ends{log.get(), index.get()};
        if (RepairTail(ends) != TailState::Sound) return Status::Fail(Code::Io, Op::CheckIndex);
    }
    SwapBackups backups;
    step = SwapNewPairIn(paths, &backups);
    if (!step) {
        CarryBackAndDrop(paths, measures.surviving(), measures.survivingEntries());
        return step;
    }
    read.Release();
    write.Release();
    // The old pair goes after the mutexes: deleting a large log takes a while.
    platform::Platform& os = platform::Current();
    // The prune has succeeded; a backup that stays is removed by recovery.
    // The log's backup goes first: readers look for the index's (LeftoversMayExist).
    if (!backups.log.empty()) os.RemoveFile(backups.log.c_str()).Ignore();
    if (!backups.index.empty()) os.RemoveFile(backups.index.c_str()).Ignore();
    return Status::Ok();
}

}  // namespace actlog
