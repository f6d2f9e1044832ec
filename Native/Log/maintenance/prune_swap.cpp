#include "maintenance/prune_swap.h"

#include "files/file_io.h"
#include "files/new_pair.h"
#include "files/pair_tail.h"

namespace actlog {
namespace {

// With the write mutex held: repairs the main pair's tail, measures it and
// creates the new pair's fronts.
bool Prepare(const PairPaths& paths, std::uint32_t count, PruneMeasures* m) noexcept {
    ScopedFile log = ScopedFile::Open(paths.log.c_str(), platform::Access::ReadWrite,
                                      platform::Disposition::OpenExisting);
    ScopedFile index = ScopedFile::Open(paths.index.c_str(), platform::Access::ReadWrite,
                                        platform::Disposition::OpenExisting);
    if (!log.valid() || !index.valid()) return false;
    PairEnds ends{log.get(), index.get()};
    if (RepairTail(ends) != TailState::Sound || ends.indexEnd / 4 < count) return false;
    unsigned char cut[4];
    if (!ReadAt(index.get(), std::uint64_t{count} * 4 - 4, cut, 4)) return false;
    m->count = count;
    m->indexSize = ends.indexEnd;
    m->logSize = ends.logEnd;
    m->cutOffset = LoadLe32(cut);
    if (m->cutOffset == 0 || m->cutOffset > m->logSize) return false;
    log.Close();
    index.Close();
    return CreateFronts(paths, *m);
}

}  // namespace

int RemoveOldestRecordsHeld(const LogMutex& prune, std::uint32_t count, const char16_t* owner) noexcept {
    AssertHeld(prune);
    if (count == 0) return 0;
    // Taken in the order prune (held by the caller), write, read; released in reverse.
    LogMutex write(kWriteMutexBase, owner);
    LogMutex read(kReadMutexBase, owner);
    if (!write.opened() || !read.opened()) return -1;
    if (!write.Wait(platform::WaitTime::Infinite)) return -1;
    PairPaths paths(owner);
    PruneMeasures measures;
    if (!Prepare(paths, count, &measures)) return -1;
    write.Release();  // from here on writers append to the new pair

    bool filled = FillFronts(paths, measures);
    // A failed wait leaves the new pair to the recovery of the next operation.
    if (!write.Wait(platform::WaitTime::Infinite)) return -1;
    if (!filled) {
        CarryBackAndDrop(paths, measures.surviving(), measures.survivingEntries());
        return -1;
    }
    if (!read.Wait(platform::WaitTime::Infinite)) return -1;
    // Writers that died in the new pair may have left a torn tail.
    {
        ScopedFile log = ScopedFile::Open(paths.newLog.c_str(), platform::Access::ReadWrite,
                                          platform::Disposition::OpenExisting);
        ScopedFile index = ScopedFile::Open(paths.newIndex.c_str(), platform::Access::ReadWrite,
                                            platform::Disposition::OpenExisting);
        PairEnds ends{log.get(), index.get()};
        if (!log.valid() || !index.valid() || RepairTail(ends) != TailState::Sound) return -1;
    }
    SwapBackups backups;
    if (!SwapNewPairIn(paths, &backups)) {
        CarryBackAndDrop(paths, measures.surviving(), measures.survivingEntries());
        return -1;
    }
    read.Release();
    write.Release();
    // The old pair goes after the mutexes: deleting a large log takes a while.
    platform::Platform& os = platform::Current();
    // The prune has succeeded; a backup that stays is removed by recovery.
    // The log's backup goes first: readers look for the index's (RecoverIfLeftovers).
    if (!backups.log.empty()) os.RemoveFile(backups.log.c_str()).Ignore();
    if (!backups.index.empty()) os.RemoveFile(backups.index.c_str()).Ignore();
    return static_cast<int>(count);
}

int RemoveOldestRecords(std::uint32_t count, const char16_t* owner) noexcept {
    if (count == 0) return 0;
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.opened() || !prune.Wait(platform::WaitTime::Zero)) return -1;
    RecoverUnderPrune(prune, owner);
    return RemoveOldestRecordsHeld(prune, count, owner);
}

}  // namespace actlog
