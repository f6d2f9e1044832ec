// Read snapshots: an owner's log and index opened as a matching pair under the
// read mutex, with the whole index loaded as one block.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace actlog {

// On success: the log's handle, *block = [start word, entries...] (platform
// Allocate; the caller frees it with platform Free), *indexSize = index bytes.
// On failure: an invalid handle, *block null, *indexSize 0; an unusable index
// has been discarded.
platform::FileHandle OpenLogForRead(std::uint32_t** block, std::uint32_t* indexSize,
                                    const char16_t* owner) noexcept;

// True when the log begins with FF FE.
bool LogHasByteOrderMark(platform::FileHandle log) noexcept;

// The job number of " JobXXXXXXXX - ..." at the start of `text`, else 0.
std::uint32_t ParseJobNumber(const char16_t* text) noexcept;

}  // namespace actlog
