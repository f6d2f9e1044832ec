#include "format/probed_text.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace actlog::format {

std::size_t ProbedTextLength(const char16_t* text, std::size_t maxUnits) noexcept {
    if (text == nullptr) return 0;
    constexpr std::uintptr_t kPage = 4096;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(text);
    // Probing stops at the page end, or at the last unit that may be looked at.
    std::uintptr_t limit = UINTPTR_MAX;
    if (maxUnits < (UINTPTR_MAX - start) / 2 - 1) limit = start + 2 * (maxUnits + 1);
    std::uintptr_t probedEnd = start;
    for (std::size_t n = 0; n <= maxUnits; ++n) {
        std::uintptr_t at = start + 2 * n;
        if (at > UINTPTR_MAX - 2) return kUnreadableText;
        if (at + 2 > probedEnd) {
            std::uintptr_t pageEnd = (probedEnd | (kPage - 1)) + 1;
            std::uintptr_t end = pageEnd == 0 || pageEnd > limit ? limit : pageEnd;
            if (end < at + 2) end = at + 2;  // a unit that straddles two pages
            const void* from = reinterpret_cast<const void*>(probedEnd);
            if (!platform::Current().CanRead(from, end - probedEnd)) return kUnreadableText;
            probedEnd = end;
        }
        char16_t c = 0;
        std::memcpy(&c, reinterpret_cast<const void*>(at), 2);  // need not be aligned
        if (c == 0) return n;
    }
    return kUnreadableText;
}

}  // namespace actlog::format
