#include "maintenance/index_scan.h"

#include "activity/log_files.h"

namespace actlog {
namespace {

// Moves a finished rebuild file to the index name, out of the way of any index there.
bool PutInPlace(const char16_t* rebuildPath, const char16_t* owner) noexcept {
    platform::Platform& os = platform::Current();
    PathText indexPath = ActivityPath(LogFile::Index, owner);
    if (os.Exists(indexPath.c_str()) && DiscardDamagedFile(indexPath.c_str()) == 0) {
        os.RemoveFile(indexPath.c_str());
    }
    return os.MoveNoReplace(rebuildPath, indexPath.c_str());
}

}  // namespace

IndexScanner::IndexScanner(platform::FileHandle out) noexcept
    : out_(out), chunk_(kChunkBytes), entries_(std::size_t{kEntryBlock} * 4) {}

bool IndexScanner::Add(std::uint32_t entry) noexcept {
    StoreLe32(entry, entries_.bytes() + std::size_t{pending_} * 4);
    return ++pending_ < kEntryBlock || Flush();
}

bool IndexScanner::Flush() noexcept {
    if (pending_ == 0) return true;
    std::uint32_t bytes = pending_ * 4;
    pending_ = 0;
    if (!WriteAt(out_, written_, entries_.bytes(), bytes)) return false;
    written_ += bytes;
    return true;
}

bool IndexScanner::Scan(platform::FileHandle log, std::uint32_t end) noexcept {
    if (!ready()) return false;
    while (end > position_ && end - position_ >= 2) {
        std::uint32_t count = end - position_;
        if (count > kChunkBytes) count = kChunkBytes;
        count &= ~1u;
        const unsigned char* bytes = chunk_.bytes();
        if (!ReadAt(log, position_, chunk_.bytes(), count)) return false;
        for (std::uint32_t i = 0; i < count; i += 2) {
            unsigned unit = bytes[i] | static_cast<unsigned>(bytes[i + 1]) << 8;
            if (lastWasCr_ && unit == 0x0A && !Add(position_ + i + 2)) return false;
            lastWasCr_ = unit == 0x0D;
        }
        position_ += count;
    }
    return true;
}

bool IndexMatchesLog(const char16_t* owner) noexcept {
    PathText logPath = ActivityPath(LogFile::Log, owner);
    ScopedFile log = ScopedFile::Open(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (!log.valid()) return true;
    std::uint32_t logSize = 0;
    if (!FileSize32(log.get(), &logSize)) return false;
    PathText indexPath = ActivityPath(LogFile::Index, owner);
    ScopedFile index =
        ScopedFile::Open(indexPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    std::uint32_t indexSize = 0;
    if (!index.valid() || !FileSize32(index.get(), &indexSize) || indexSize % 4 != 0) return false;
    if (indexSize == 0) return logSize <= 2;
    unsigned char last[4];
    return ReadAt(index.get(), indexSize - 4, last, 4) && LoadLe32(last) == logSize;
}

bool RebuildIndexHeld(const char16_t* owner, bool readHeld) noexcept {
    PathText rebuildPath = ActivityPath(LogFile::RebuildIndex, owner);
    PathText logPath = ActivityPath(LogFile::Log, owner);
    {
        ScopedFile rebuild = ScopedFile::Open(rebuildPath.c_str(), platform::Access::Write,
                                              platform::Disposition::CreateAlways, platform::Share::Exclusive);
        if (!rebuild.valid()) return false;
        ScopedFile log =
            ScopedFile::Open(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
        std::uint32_t size = 0;
        if (!log.valid() || !FileSize32(log.get(), &size)) return false;
        IndexScanner scanner(rebuild.get());
        if (!scanner.Scan(log.get(), size) || !scanner.Flush()) return false;
    }
    if (readHeld) return PutInPlace(rebuildPath.c_str(), owner);
    // Readers must not open the log together with no index or the old one
    // half-way through the exchange.
    LogMutex read(kReadMutexBase, owner);
    read.Wait(platform::WaitTime::Infinite);
    return PutInPlace(rebuildPath.c_str(), owner);
}

void EnsureIndexHeld(const char16_t* owner, bool readHeld) noexcept {
    if (!IndexMatchesLog(owner)) RebuildIndexHeld(owner, readHeld);
}

}  // namespace actlog
