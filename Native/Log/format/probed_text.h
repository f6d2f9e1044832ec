// Caller texts measured through the memory probe, so that a pointer to
// unreadable or unterminated memory is refused instead of faulting.
#pragma once

#include <cstddef>

namespace actlog::format {

inline constexpr std::size_t kUnreadableText = static_cast<std::size_t>(-1);

// The number of UTF-16 units before the terminator of `text` (0 for null).
// Each stretch of memory is probed before it is read, and nothing past the
// terminator is touched. kUnreadableText when an unreadable byte comes first
// or no terminator lies within the first `maxUnits` + 1 units.
std::size_t ProbedTextLength(const char16_t* text, std::size_t maxUnits) noexcept;

}  // namespace actlog::format
