#include "format/probed_text.h"

#include <cstdint>
#include <cstring>

#include "platform/platform.h"

namespace actlog::format {
namespace {

constexpr std::uintptr_t kPage = 4096;

// Where probing may stop for a text at `start`: past the last unit that may
// be looked at (UINTPTR_MAX when that lies beyond the address space).
std::uintptr_t ProbeLimit(std::uintptr_t start, std::size_t maxUnits) noexcept {
    if (maxUnits < (UINTPTR_MAX - start) / 2 - 1) return start + 2 * (maxUnits + 1);
    return UINTPTR_MAX;
}

// The end of the stretch probed from `probedEnd` for the unit at `at`: the
// page end, or the limit, and at least the whole unit (which may straddle
// two pages).
std::uintptr_t StretchEnd(std::uintptr_t probedEnd, std::uintptr_t at, std::uintptr_t limit) noexcept {
    std::uintptr_t pageEnd = (probedEnd | (kPage - 1)) + 1;
    std::uintptr_t end = pageEnd == 0 || pageEnd > limit ? limit : pageEnd;
    return end < at + 2 ? at + 2 : end;
}

}  // namespace

SharedProbe FirstStretchOf(const char16_t* text, std::size_t maxUnits) noexcept {
    SharedProbe probe;
    const auto start = reinterpret_cast<std::uintptr_t>(text);
    if (text == nullptr || start > UINTPTR_MAX - 2) return probe;
    probe.address = text;
    probe.bytes = StretchEnd(start, start, ProbeLimit(start, maxUnits)) - start;
    return probe;
}

bool CanReadSharing(SharedProbe* shared, const void* address, std::size_t bytes) noexcept {
    platform::Platform& os = platform::Current();
    if (shared == nullptr || shared->bytes == 0 || shared->state != SharedProbe::State::Pending) {
        return os.CanRead(address, bytes);
    }
    bool sharedReadable = false;
    bool readable = os.CanReadBoth(shared->address, shared->bytes, address, bytes, &sharedReadable);
    shared->state = sharedReadable ? SharedProbe::State::Readable : SharedProbe::State::Unreadable;
    return readable;
}

std::size_t ProbedTextLength(const char16_t* text, std::size_t maxUnits, const SharedProbe* first) noexcept {
    if (text == nullptr) return 0;
    const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(text);
    // Probing stops at the page end, or at the last unit that may be looked at.
    const std::uintptr_t limit = ProbeLimit(start, maxUnits);
    std::uintptr_t probedEnd = start;
    if (first != nullptr && first->address == text && first->bytes != 0) {
        if (first->state == SharedProbe::State::Unreadable) return kUnreadableText;
        if (first->state == SharedProbe::State::Readable) probedEnd = start + first->bytes;
    }
    for (std::size_t n = 0; n <= maxUnits; ++n) {
        std::uintptr_t at = start + 2 * n;
        if (at > UINTPTR_MAX - 2) return kUnreadableText;
        if (at + 2 > probedEnd) {
            std::uintptr_t end = StretchEnd(probedEnd, at, limit);
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
