// Read snapshots: an owner's log and index opened as a matching pair under the
// read mutex, with the whole index loaded as one block.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace actlog {

// Opens the owner's index and log of the main pair as a matching pair; false
// (both handles invalid) when either cannot be opened.
bool OpenMainPair(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log) noexcept;

// The index size, when the format allows it: a multiple of 4 below 4 GiB.
bool UsableIndexSize(platform::FileHandle index, std::uint32_t* bytes) noexcept;

// On success: the log's handle, *block = [start word, entries...] (platform
// Allocate; the caller frees it with platform Free), *indexSize = index bytes.
// On failure: an invalid handle, *block null, *indexSize 0; an unusable index
// has been discarded.
platform::FileHandle OpenLogForRead(std::uint32_t** block, std::uint32_t* indexSize,
                                    const char16_t* owner) noexcept;

// OpenLogForRead for one owner, closed and freed on scope exit (or by Close).
class ReadSnapshot {
public:
    explicit ReadSnapshot(const char16_t* owner) noexcept : log_(OpenLogForRead(&block_, &indexSize_, owner)) {}
    ~ReadSnapshot() { Close(); }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

    bool valid() const noexcept { return log_.valid(); }
    platform::FileHandle log() const noexcept { return log_; }
    const std::uint32_t* block() const noexcept { return block_; }
    std::uint32_t records() const noexcept { return indexSize_ / 4; }
    // Record k spans [word(k), word(k + 1)).
    std::uint32_t word(std::uint32_t k) const noexcept { return block_[k]; }

    void Close() noexcept {
        platform::Platform& os = platform::Current();
        if (block_ != nullptr) os.Free(block_);
        block_ = nullptr;
        if (log_.valid()) os.CloseFile(log_);
        log_ = {};
    }

private:
    std::uint32_t* block_ = nullptr;
    std::uint32_t indexSize_ = 0;
    platform::FileHandle log_;
};

// True when the log begins with FF FE.
bool LogHasByteOrderMark(platform::FileHandle log) noexcept;

// The job number of " JobXXXXXXXX - ..." at the start of `text`, else 0.
std::uint32_t ParseJobNumber(const char16_t* text) noexcept;

}  // namespace actlog
