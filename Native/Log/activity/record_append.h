// The one routine that writes activity records.
#pragma once

#include <cstdint>

namespace actlog {

// Appends one record (severity, job number or 0, message text, owner or null)
// to the owner's new pair while a prune builds one, otherwise to the main pair,
// under the owner's write mutex; then journals it. 0 when the record and its
// index entry stand, -1 otherwise (after setting the caller's last error to
// the cause). Uses no heap.
int AppendActivityRecord(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                         const char16_t* owner) noexcept;
// The same for an owner name that OwnerNameAllowed accepted already: the
// write mutex opens without probing the name again.
int AppendActivityRecordForCheckedOwner(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                                        const char16_t* owner) noexcept;

}  // namespace actlog
