#include "retrieval/read_snapshot.h"

#include <bit>

#include "activity/log_files.h"

namespace actlog {
namespace {

// The block holds the index entries exactly as stored (little-endian words).
static_assert(std::endian::native == std::endian::little, "index entries are read in place");

struct OpenedPair {
    platform::FileHandle index;
    platform::FileHandle log;
};

// Opens the owner's index and log of the main pair while holding the read
// mutex, so both belong to the same generation (a prune swaps them only under
// it). The mutex is released and closed before this returns.
bool OpenPairUnderReadMutex(const char16_t* owner, OpenedPair& pair) noexcept {
    LogMutex readMutex(kReadMutexBase, owner);
    if (!readMutex.opened() || !readMutex.Wait(platform::WaitTime::Infinite)) return false;

    PathText logPath = ActivityPath(LogFile::Log, owner);
    PathText indexPath = ActivityPath(LogFile::Index, owner);
    platform::Platform& os = platform::Current();
    pair.index = os.OpenFile(indexPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (!pair.index.valid()) return false;
    pair.log = os.OpenFile(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (!pair.log.valid()) {
        os.CloseFile(pair.index);
        pair.index = {};
        return false;
    }
    return true;
}

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

}  // namespace

platform::FileHandle OpenLogForRead(std::uint32_t** block, std::uint32_t* indexSize,
                                    const char16_t* owner) noexcept {
    if (block == nullptr || indexSize == nullptr) return {};
    *block = nullptr;
    *indexSize = 0;

    OpenedPair pair;
    if (!OpenPairUnderReadMutex(owner, pair)) return {};

    platform::Platform& os = platform::Current();
    std::uint64_t size = 0;
    // An index of 4 GiB or more lies outside the format (32-bit offsets).
    bool usable = os.FileSize(pair.index, &size) && size <= 0xFFFFFFFFu && size % 4 == 0;
    if (usable) {
        std::uint32_t bytes = static_cast<std::uint32_t>(size);
        void* memory = os.Allocate(static_cast<std::size_t>(bytes) + 4);
        if (memory != nullptr) {
            *block = static_cast<std::uint32_t*>(memory);
            (*block)[0] = LogHasByteOrderMark(pair.log) ? 2u : 0u;
            usable = ReadExactly(pair.index, static_cast<unsigned char*>(memory) + 4, bytes);
            if (usable) *indexSize = bytes;
        } else {
            usable = false;
        }
    }
    os.CloseFile(pair.index);
    if (usable) return pair.log;

    if (*block != nullptr) os.Free(*block);
    *block = nullptr;
    *indexSize = 0;
    os.CloseFile(pair.log);
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
