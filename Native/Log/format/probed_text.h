// Caller texts measured through the memory probe, so that a pointer to
// unreadable or unterminated memory is refused instead of faulting.
#pragma once

#include <cstddef>

namespace actlog::format {

inline constexpr std::size_t kUnreadableText = static_cast<std::size_t>(-1);

// The first stretch that ProbedTextLength probes for a text, offered to the
// first probe made for another text, which takes it along (one OS call for
// both) and leaves the answer here.
struct SharedProbe {
    enum class State { Pending, Readable, Unreadable };
    const void* address = nullptr;
    std::size_t bytes = 0;  // 0: nothing to share
    State state = State::Pending;
};

// What ProbedTextLength(text, maxUnits) probes first, ready to be shared.
SharedProbe FirstStretchOf(const char16_t* text, std::size_t maxUnits) noexcept;

// The memory probe for `bytes` at `address`, taking `shared` along when it
// is still pending (null: nothing shared).
bool CanReadSharing(SharedProbe* shared, const void* address, std::size_t bytes) noexcept;

// The number of UTF-16 units before the terminator of `text` (0 for null).
// Each stretch of memory is probed before it is read, and nothing past the
// terminator is touched. kUnreadableText when an unreadable byte comes first
// or no terminator lies within the first `maxUnits` + 1 units. `first`: the
// text's first stretch as another probe found it (FirstStretchOf).
std::size_t ProbedTextLength(const char16_t* text, std::size_t maxUnits,
                             const SharedProbe* first = nullptr) noexcept;

}  // namespace actlog::format
