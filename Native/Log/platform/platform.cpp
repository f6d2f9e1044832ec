#include "platform/platform.h"

#include <atomic>

namespace actlog::platform {
namespace {
std::atomic<Platform*> g_installed{nullptr};
}

Platform& Current() noexcept {
    Platform* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : Native();
}

void Install(Platform* platform) noexcept { g_installed.store(platform, std::memory_order_release); }

// UTF-8, the 8-bit code page wherever the OS has no other. A lone surrogate
// becomes '?'. A character that would not fit whole is left out with the rest.
std::size_t Platform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    std::size_t used = 0;
    for (std::size_t i = 0; text != nullptr && text[i] != 0; ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = u'?';
        }
        char bytes[4];
        std::size_t n = 0;
        if (cp < 0x80) {
            bytes[n++] = static_cast<char>(cp);
        } else if (cp < 0x800) {
            bytes[n++] = static_cast<char>(0xC0 | (cp >> 6));
            bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            bytes[n++] = static_cast<char>(0xE0 | (cp >> 12));
            bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            bytes[n++] = static_cast<char>(0xF0 | (cp >> 18));
            bytes[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
        }
        if (used + n > capacity - 1) break;
        for (std::size_t k = 0; k < n; ++k) out[used++] = bytes[k];
    }
    out[used] = 0;
    return used;
}

}  // namespace actlog::platform
