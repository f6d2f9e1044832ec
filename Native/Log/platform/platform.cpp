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

bool Platform::ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    std::uint64_t at = 0;
    if (offset > 0x7FFFFFFFFFFFFFFFull || !Seek(file, static_cast<std::int64_t>(offset), SeekFrom::Begin, &at) ||
        at != offset) {
        return false;
    }
    return Read(file, buffer, count, done);
}

bool Platform::WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                       std::uint32_t* done) {
    *done = 0;
    std::uint64_t at = 0;
    if (offset > 0x7FFFFFFFFFFFFFFFull || !Seek(file, static_cast<std::int64_t>(offset), SeekFrom::Begin, &at) ||
        at != offset) {
        return false;
    }
    return Write(file, buffer, count, done);
}

bool Platform::CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                         std::uint32_t count, std::uint32_t* done) {
    constexpr std::uint32_t kBufferBytes = 1u << 20;
    *done = 0;
    if (count == 0) return true;
    std::uint32_t size = count < kBufferBytes ? count : kBufferBytes;
    void* buffer = Allocate(size);
    if (buffer == nullptr) return false;
    bool ok = true;
    while (ok && *done < count) {
        std::uint32_t want = count - *done < size ? count - *done : size;
        std::uint32_t got = 0;
        std::uint32_t put = 0;
        std::uint64_t at = 0;
        ok = Seek(from, static_cast<std::int64_t>(fromOffset + *done), SeekFrom::Begin, &at) &&
             Read(from, buffer, want, &got) && got == want &&
             Seek(to, static_cast<std::int64_t>(toOffset + *done), SeekFrom::Begin, &at) &&
             Write(to, buffer, want, &put) && put == want;
        if (ok) *done += want;
    }
    Free(buffer);
    return ok;
}

// UTF-8, the 8-bit code page wherever the OS has no other.
std::size_t Platform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    return Utf8FromUtf16Cut(std::u16string_view(text != nullptr ? text : u""), out, capacity);
}

}  // namespace actlog::platform
