// Inserts for the message-id exports. The library takes inserts as
// pointer-sized variadic slots whose types the message template names
// (%1 a string, %2!d! a 32-bit number, %1!I64u! a 64-bit number, ...), so the
// tool reads the template first and converts each command-line insert to the
// type that its %n asks for.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "text.h"

namespace actlogtool {

enum class InsertKind { kWideText, kNarrowText, kNumber32, kNumber64 };

constexpr std::size_t kMaxInserts = 16;
using InsertSlotValues = std::array<std::uintptr_t, kMaxInserts>;

// Kind of each insert 1..99 (index 0 unused) as the template's formats name it.
// `wideTemplate`: the wide formatting variant (the logging exports) rather than
// the 8-bit one (the utility trace log), in which %1 and !s! are 8-bit strings.
std::array<InsertKind, 100> InsertKinds(WideView messageTemplate, bool wideTemplate);

class InsertSlots {
public:
    // Throws UsageError for more than kMaxInserts inserts or a bad number.
    InsertSlots(const std::array<InsertKind, 100>& kinds, const std::vector<std::string>& inserts);
    const InsertSlotValues& values() const { return values_; }

private:
    std::deque<WideString> wide_;
    std::deque<std::string> narrow_;
    InsertSlotValues values_{};
};

// Calls fn(slot0, ..., slot15).
template <typename Fn>
auto CallWithSlots(Fn&& fn, const InsertSlotValues& slots) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) { return fn(slots[I]...); }(
        std::make_index_sequence<kMaxInserts>{});
}

// The template of a message id through JobLoadString; empty when missing.
WideString LoadTemplate(std::uint32_t messageId);

}  // namespace actlogtool
