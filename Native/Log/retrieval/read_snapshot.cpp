#include "retrieval/read_snapshot.h"

#include <bit>

#include "activity/log_files.h"
#include "activity/new_pair.h"

namespace actlog {
namespace {

// The block holds the index entries exactly as stored (little-endian words).
static_assert(std::endian::native == std::endian::little, "index entries are read in place");

// Reads exactly `count` bytes; a regular file delivers them in one call, the
// loop only guards against a platform that hands them out in pieces.
bool ReadExactly(platform::FileHandle file, unsigned char* buffer, std::uint32_t count) noexcept {
    platform::Platform& os = platform::Current();
    std::uint32_t got = 0;
    while (got < count) {
        std::uint32_t done = 0;
        if (!os.Read(file, buffer + got, count - got, &done) || done == 0) return false;
        got += done;
    }
    return true;
}

// Both files are opened while the read mutex is held, so they belong to the
// same generation (a prune swaps them only under it). The mutex is released and
// closed before this returns.
enum class PairOpen { Opened, NoMutex, NoFile };

PairOpen OpenMainPairOnce(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log) noexcept {
    *index = {};
    *log = {};
    LogMutex readMutex(kReadMutexBase, owner);
    if (!readMutex.opened() || !readMutex.Wait(platform::WaitTime::Infinite)) return PairOpen::NoMutex;

    PathText logPath = ActivityPath(LogFile::Log, owner);
    PathText indexPath = ActivityPath(LogFile::Index, owner);
    platform::Platform& os = platform::Current();
    *index = os.OpenFile(indexPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (!index->valid()) return PairOpen::NoFile;
    *log = os.OpenFile(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (log->valid()) return PairOpen::Opened;
    os.CloseFile(*index);
    *index = {};
    return PairOpen::NoFile;
}

// Whether the log ends at the index's last entry (or holds no more than a
// byte-order mark when the index is empty); a damaged index counts as
// matching, for the reader's own checks to find.
bool TailMatches(platform::FileHandle index, platform::FileHandle log) noexcept {
    platform::Platform& os = platform::Current();
    std::uint64_t indexSize = 0;
    std::uint64_t logSize = 0;
    if (!os.FileSize(index, &indexSize) || !os.FileSize(log, &logSize) || indexSize % 4 != 0) return true;
    if (indexSize == 0) return logSize <= 2;
    unsigned char last[4];
    std::uint64_t at = 0;
    if (!os.Seek(index, static_cast<std::int64_t>(indexSize - 4), platform::SeekFrom::Begin, &at) ||
        !ReadExactly(index, last, 4)) {
        return true;
    }
    bool matches = LoadLe32(last) >= logSize;
    os.Seek(index, 0, platform::SeekFrom::Begin, &at);
    return matches;
}

}  // namespace

bool OpenMainPair(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log) noexcept {
    // Records appended to a dead prune's new pair, or a pair that a dead
    // exchange left half-moved, become readable once that prune is finished.
    RecoverIfLeftovers(owner);
    switch (OpenMainPairOnce(owner, index, log)) {
        case PairOpen::NoMutex: return false;
        case PairOpen::NoFile:
            // A dead exchange may have left the pair under other names.
            RecoverUnlocked(owner);
            return OpenMainPairOnce(owner, index, log) == PairOpen::Opened;
        case PairOpen::Opened: break;
    }
    if (TailMatches(*index, *log)) return true;
    // A dead writer's tail is repaired when no writer is at work.
    platform::Current().CloseFile(*index);
    platform::Current().CloseFile(*log);
    RepairTailIfIdle(owner);
    return OpenMainPairOnce(owner, index, log) == PairOpen::Opened;
}

bool UsableIndexSize(platform::FileHandle index, std::uint32_t* bytes) noexcept {
    std::uint64_t size = 0;
    // An index of 4 GiB or more lies outside the format (32-bit offsets).
    if (!platform::Current().FileSize(index, &size) || size > 0xFFFFFFFFu || size % 4 != 0) return false;
    *bytes = static_cast<std::uint32_t>(size);
    return true;
}

platform::FileHandle OpenLogForRead(std::uint32_t** block, std::uint32_t* indexSize,
                                    const char16_t* owner) noexcept {
    if (block == nullptr || indexSize == nullptr) return {};
    *block = nullptr;
    *indexSize = 0;

    platform::FileHandle index;
    platform::FileHandle log;
    if (!OpenMainPair(owner, &index, &log)) return {};

    platform::Platform& os = platform::Current();
    std::uint32_t bytes = 0;
    bool usable = UsableIndexSize(index, &bytes);
    if (usable) {
        void* memory = os.Allocate(static_cast<std::size_t>(bytes) + 4);
        if (memory != nullptr) {
            *block = static_cast<std::uint32_t*>(memory);
            (*block)[0] = LogHasByteOrderMark(log) ? 2u : 0u;
            usable = ReadExactly(index, static_cast<unsigned char*>(memory) + 4, bytes);
            if (usable) *indexSize = bytes;
        } else {
            usable = false;
        }
    }
    os.CloseFile(index);
    if (usable) return log;

    if (*block != nullptr) os.Free(*block);
    *block = nullptr;
    *indexSize = 0;
    os.CloseFile(log);
    // Never repaired here: the index leaves its name so a rebuild can write it anew.
    DiscardDamagedFile(ActivityPath(LogFile::Index, owner).c_str());
    return {};
}

bool LogHasByteOrderMark(platform::FileHandle log) noexcept {
    platform::Platform& os = platform::Current();
    std::uint64_t position = 1;
    if (!os.Seek(log, 0, platform::SeekFrom::Begin, &position) || position != 0) return false;
    unsigned char mark[2] = {0, 0};
    std::uint32_t done = 0;
    if (!os.Read(log, mark, 2, &done)) return false;
    return mark[0] == 0xFF && mark[1] == 0xFE;
}

std::uint32_t ParseJobNumber(const char16_t* text) noexcept {
    constexpr std::size_t kFieldChars = 15;  // " Job" + 8 hex digits + " - "
    if (text == nullptr) return 0;
    for (std::size_t i = 0; i < kFieldChars; ++i) {
        if (text[i] == 0) return 0;
    }
    if (text[0] != u' ' || text[1] != u'J' || text[2] != u'o' || text[3] != u'b' || text[12] != u' ' ||
        text[13] != u'-' || text[14] != u' ') {
        return 0;
    }
    std::uint32_t value = 0;
    for (std::size_t i = 4; i < 12; ++i) {
        char16_t c = text[i];
        std::uint32_t digit;
        if (c >= u'0' && c <= u'9') {
            digit = static_cast<std::uint32_t>(c - u'0');
        } else if (c >= u'A' && c <= u'F') {
            digit = static_cast<std::uint32_t>(c - u'A') + 10;
        } else {
            return 0;
        }
        value = value * 16 + digit;
    }
    return value;
}

}  // namespace actlog
