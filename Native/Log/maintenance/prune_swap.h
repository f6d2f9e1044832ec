// The prune file swap: removes the oldest records of an owner's main pair by
// building a shortened new pair beside it while writers keep appending, then
// exchanging the two (see files/new_pair.h for the steps and their
// recovery after a crash).
#pragma once

#include <cstdint>

#include "files/log_files.h"

namespace actlog {

// With the owner's prune mutex held: removes the first `count` records; the
// status carries why they could not be removed.
Status RemoveOldestRecordsHeld(const LogMutex& prune, std::uint32_t count, const char16_t* owner) noexcept;

}  // namespace actlog
