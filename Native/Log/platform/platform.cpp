#include "platform/platform.h"

#include <atomic>

#include "platform/text_convert.h"

namespace actlog::platform {
namespace {
std::atomic<Platform*> g_installed{nullptr};
}

Platform& Current() noexcept {
    Platform* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : Native();
}

void Install(Platform* platform) noexcept { g_installed.store(platform, std::memory_order_release); }

// UTF-8, the 8-bit code page wherever the OS has no other.
std::size_t Platform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    return Utf8FromUtf16Cut(std::u16string_view(text != nullptr ? text : u""), out, capacity);
}

}  // namespace actlog::platform
