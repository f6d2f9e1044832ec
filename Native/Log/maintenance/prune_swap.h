// The prune file swap: removes the oldest records of an owner's main pair by
// building a shortened new pair beside it while writers keep appending, then
// exchanging the two (see files/new_pair.h for the steps and their
// recovery after a crash).
#pragma once

#include <cstdint>

#include "files/log_files.h"

namespace actlog {

// Removes the first `count` records: `count` on success, 0 when `count` is 0,
// -1 on failure (also when another prune or a rebuild holds the prune mutex).
int RemoveOldestRecords(std::uint32_t count, const char16_t* owner) noexcept;
// The same for a caller that already holds the owner's prune mutex; the
// status carries why the records could not be removed.
Status RemoveOldestRecordsHeld(const LogMutex& prune, std::uint32_t count, const char16_t* owner) noexcept;

}  // namespace actlog
