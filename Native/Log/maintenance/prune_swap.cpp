#include "maintenance/prune_swap.h"

#include "activity/log_files.h"
#include "maintenance/carry_over.h"
#include "maintenance/file_io.h"
#include "maintenance/index_scan.h"

namespace actlog {
namespace {

using platform::Access;
using platform::Disposition;

struct PairPaths {
    explicit PairPaths(const char16_t* owner) noexcept
        : log(ActivityPath(LogFile::Log, owner)),
          index(ActivityPath(LogFile::Index, owner)),
          newLog(ActivityPath(LogFile::NewLog, owner)),
          newIndex(ActivityPath(LogFile::NewIndex, owner)) {}
    PathText log, index, newLog, newIndex;
};

// A main file moved aside during the swap: "<path>.old0", or the first free
// digit up to 9.
class Backup {
public:
    explicit Backup(const PathText& path) noexcept {
        name_.Append(path.view());
        name_.Append(u".old0");
    }
    bool MoveAside(const PathText& path) noexcept {
        char16_t* digit = name_.data() + name_.size() - 1;
        for (int attempt = 0; attempt < 10; ++attempt) {
            if (platform::Current().MoveNoReplace(path.c_str(), name_.c_str())) return moved_ = true;
            ++*digit;
        }
        return false;
    }
    bool moved() const noexcept { return moved_; }
    const char16_t* c_str() const noexcept { return name_.c_str(); }

private:
    BoundedText<kPathChars + 8> name_;
    bool moved_ = false;
};

// Sets the size of a freshly created (emptied) file: its reserved front.
bool CreateReserved(const PathText& path, std::uint32_t bytes) noexcept {
    ScopedFile file = ScopedFile::Open(path.c_str(), Access::Write, Disposition::CreateAlways);
    return file.valid() && SeekTo(file.get(), bytes) && platform::Current().SetEndOfFile(file.get());
}

// With the write mutex held: records of the new pair go back into the main
// pair, the new pair goes, and the main pair keeps an index that matches.
void DiscardNewPairHeld(bool spareNewLog, const PruneMeasures& measures, const char16_t* owner,
                        bool readHeld) noexcept {
    platform::Platform& os = platform::Current();
    PairPaths paths(owner);
    if (!spareNewLog) {
        CarrySource source{paths.newLog.c_str(), NewRecordsStart(paths.newLog.c_str(), measures.surviving()),
                           paths.log.c_str(), measures.logSize, !os.Exists(paths.newIndex.c_str())};
        CarryRecords(source, paths.log.c_str(), paths.index.c_str());
    }
    os.RemoveFile(paths.newIndex.c_str());
    if (spareNewLog) return;
    os.RemoveFile(paths.newLog.c_str());
    EnsureIndexHeld(owner, readHeld);
}

// Copies log bytes [cut, logSize) to the front of the new log (in the kernel
// where the platform can, else through a bounded buffer).
bool FillLogPart(const PairPaths& paths, const PruneMeasures& m) noexcept {
    ScopedFile from = ScopedFile::Open(paths.log.c_str(), Access::Read, Disposition::OpenExisting);
    ScopedFile to = ScopedFile::Open(paths.newLog.c_str(), Access::Write, Disposition::OpenExisting);
    if (!from.valid() || !to.valid()) return false;
    std::uint32_t done = 0;
    return platform::Current().CopyRange(from.get(), m.cutOffset, to.get(), 0, m.surviving(), &done) &&
           done == m.surviving();
}

// Copies the surviving entries, each moved down by the cut offset.
bool FillIndexPart(const PairPaths& paths, const PruneMeasures& m, ScopedBlock& chunk) noexcept {
    ScopedFile from = ScopedFile::Open(paths.index.c_str(), Access::Read, Disposition::OpenExisting);
    ScopedFile to = ScopedFile::Open(paths.newIndex.c_str(), Access::Write, Disposition::OpenExisting);
    if (!from.valid() || !to.valid()) return false;
    std::uint64_t first = std::uint64_t{m.count} * 4;
    std::uint64_t total = m.indexSize - first;
    for (std::uint64_t done = 0; done < total;) {
        std::uint32_t count = static_cast<std::uint32_t>(total - done < kChunkBytes ? total - done : kChunkBytes);
        if (!ReadAt(from.get(), first + done, chunk.bytes(), count)) return false;
        for (std::uint32_t i = 0; i < count; i += 4) {
            std::uint32_t entry = LoadLe32(chunk.bytes() + i);
            if (entry < m.cutOffset) return false;
            StoreLe32(entry - m.cutOffset, chunk.bytes() + i);
        }
        if (!WriteAt(to.get(), done, chunk.bytes(), count)) return false;
        done += count;
    }
    return true;
}

}  // namespace

int PrepareNewPair(std::uint32_t count, PruneMeasures* measures, const char16_t* owner) noexcept {
    PairPaths paths(owner);
    PruneMeasures m;
    m.count = count;
    bool ok = false;
    {
        ScopedFile index = ScopedFile::Open(paths.index.c_str(), Access::Read, Disposition::OpenExisting);
        unsigned char entry[4];
        ok = index.valid() && FileSize32(index.get(), &m.indexSize) && m.indexSize % 4 == 0 &&
             count >= 1 && m.indexSize / 4 >= count && ReadAt(index.get(), std::uint64_t{count} * 4 - 4, entry, 4);
        if (ok) m.cutOffset = LoadLe32(entry);
        ok = ok && m.cutOffset != 0 && CreateReserved(paths.newIndex, m.indexSize - count * 4);
    }
    if (ok) {
        ScopedFile log = ScopedFile::Open(paths.log.c_str(), Access::Read, Disposition::OpenExisting);
        ok = log.valid() && FileSize32(log.get(), &m.logSize) && m.logSize >= m.cutOffset;
    }
    ok = ok && CreateReserved(paths.newLog, m.logSize - m.cutOffset);
    if (!ok) {
        platform::Current().RemoveFile(paths.newIndex.c_str());
        platform::Current().RemoveFile(paths.newLog.c_str());
        return -1;
    }
    *measures = m;
    return 0;
}

int FillNewPair(const PruneMeasures& measures, const char16_t* owner) noexcept {
    PairPaths paths(owner);
    bool logDone = false;
    bool indexDone = false;
    logDone = FillLogPart(paths, measures);
    if (logDone) {
        ScopedBlock chunk(kChunkBytes);
        indexDone = chunk.valid() && FillIndexPart(paths, measures, chunk);
    }
    if (!logDone) {
        DiscardNewPair(false, measures, owner);
        return -1;
    }
    // Without a new index the swap goes on; the index is rebuilt before the
    // prune lets go of the owner.
    if (!indexDone) DiscardNewPair(true, measures, owner);
    return 0;
}

int DiscardNewPair(bool spareNewLog, const PruneMeasures& measures, const char16_t* owner) noexcept {
    LogMutex write(kWriteMutexBase, owner);
    if (!write.opened() || !write.Wait(platform::WaitTime::Infinite)) return -1;
    DiscardNewPairHeld(spareNewLog, measures, owner, false);
    return 0;
}

int SwapInNewPair(const PruneMeasures& measures, const char16_t* owner, SwapBackups* backups) noexcept {
    platform::Platform& os = platform::Current();
    PairPaths paths(owner);
    Backup indexBackup(paths.index);
    Backup logBackup(paths.log);
    bool newIndexThere = os.Exists(paths.newIndex.c_str());
    std::uint32_t newRecords = NewRecordsStart(paths.newLog.c_str(), measures.surviving());
    indexBackup.MoveAside(paths.index);
    logBackup.MoveAside(paths.log);

    if (!os.MoveNoReplace(paths.newLog.c_str(), paths.log.c_str())) {
        if (logBackup.moved()) os.MoveNoReplace(logBackup.c_str(), paths.log.c_str());
        if (indexBackup.moved()) os.MoveNoReplace(indexBackup.c_str(), paths.index.c_str());
        DiscardNewPairHeld(false, measures, owner, true);
        return -1;
    }
    if (!os.MoveNoReplace(paths.newIndex.c_str(), paths.index.c_str())) os.RemoveFile(paths.newIndex.c_str());
    // Records that reached only the main pair during the prune (their append
    // could not write the new log) follow the new pair's records.
    if (logBackup.moved()) {
        CarrySource source{logBackup.c_str(), measures.logSize, paths.log.c_str(), newRecords, !newIndexThere};
        CarryRecords(source, paths.log.c_str(), paths.index.c_str());
    }
    if (indexBackup.moved()) backups->index.AppendZ(indexBackup.c_str());
    if (logBackup.moved()) backups->log.AppendZ(logBackup.c_str());
    EnsureIndexHeld(owner, true);
    return 0;
}

int RemoveOldestRecordsHeld(std::uint32_t count, const char16_t* owner) noexcept {
    if (count == 0) return 0;
    // Taken in the order prune (held by the caller), write, read; released in reverse.
    LogMutex write(kWriteMutexBase, owner);
    LogMutex read(kReadMutexBase, owner);
    if (!write.opened() || !read.opened()) return -1;
    if (!write.Wait(platform::WaitTime::Infinite)) return -1;
    PruneMeasures measures;
    if (PrepareNewPair(count, &measures, owner) != 0) return -1;
    write.Release();  // from here on writers append to the new pair

    if (FillNewPair(measures, owner) != 0) return -1;

    if (!write.Wait(platform::WaitTime::Infinite)) {
        // A fresh wait may still get the mutex (an abandoned one has been
        // handed back); then the new pair's records return to the main pair.
        DiscardNewPair(false, measures, owner);
        return -1;
    }
    if (!read.Wait(platform::WaitTime::Infinite)) {
        DiscardNewPairHeld(false, measures, owner, false);
        return -1;
    }
    SwapBackups backups;
    if (SwapInNewPair(measures, owner, &backups) != 0) return -1;
    read.Release();
    write.Release();
    platform::Platform& os = platform::Current();
    if (!backups.index.empty()) os.RemoveFile(backups.index.c_str());
    if (!backups.log.empty()) os.RemoveFile(backups.log.c_str());
    return static_cast<int>(count);
}

int RemoveOldestRecords(std::uint32_t count, const char16_t* owner) noexcept {
    if (count == 0) return 0;
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.opened() || !prune.Wait(platform::WaitTime::Zero)) return -1;
    return RemoveOldestRecordsHeld(count, owner);
}

}  // namespace actlog
