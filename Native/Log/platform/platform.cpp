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

}  // namespace actlog::platform
