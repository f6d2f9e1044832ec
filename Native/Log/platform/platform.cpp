#include "platform/platform.h"

#include <atomic>

#include "text/text_convert.h"

namespace actlog::platform {
namespace {
std::atomic<Platform*> g_installed{nullptr};
}

Platform& Current() noexcept {
    Platform* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : Native();
}

void Install(Platform* platform) noexcept { g_installed.store(platform, std::memory_order_release); }

namespace {

// Moves the file position to exactly `offset` (the positioned defaults).
Status SeekExactly(Platform& os, FileHandle file, std::uint64_t offset) {
    if (offset > 0x7FFFFFFFFFFFFFFFull) return Status::Fail(Code::InvalidArgument, Op::Seek);
    std::uint64_t at = 0;
    Status sought = os.Seek(file, static_cast<std::int64_t>(offset), SeekFrom::Begin, &at);
    if (sought && at != offset) return Status::Fail(Code::Io, Op::Seek);
    return sought;
}

}  // namespace

Status Platform::ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                        std::uint32_t* done) {
    *done = 0;
    Status sought = SeekExactly(*this, file, offset);
    return sought ? Read(file, buffer, count, done) : sought;
}

Status Platform::ReadAtOnce(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                            std::uint32_t* done) {
    return ReadAt(file, offset, buffer, count, done);
}

bool Platform::CanReadBoth(const void* first, std::size_t firstBytes, const void* second, std::size_t secondBytes,
                           bool* firstReadable) {
    *firstReadable = CanRead(first, firstBytes);
    return CanRead(second, secondBytes);
}

Status Platform::WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                         std::uint32_t* done) {
    *done = 0;
    Status sought = SeekExactly(*this, file, offset);
    return sought ? Write(file, buffer, count, done) : sought;
}

namespace {

// One stretch of a buffered copy: `want` bytes from `from` to `to` at the offsets.
Status CopyStretch(Platform& os, FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                   void* buffer, std::uint32_t want) {
    std::uint32_t got = 0;
    Status status = os.ReadAt(from, fromOffset, buffer, want, &got);
    if (!status) return status.As(Op::Copy);
    if (got != want) return Status::Fail(Code::Damaged, Op::Copy);  // the source ended early
    std::uint64_t at = 0;
    status = os.Seek(to, static_cast<std::int64_t>(toOffset), SeekFrom::Begin, &at);
    std::uint32_t put = 0;
    if (status) status = os.Write(to, buffer, want, &put);
    return status.As(Op::Copy);
}

}  // namespace

Status Platform::CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                           std::uint32_t count, std::uint32_t* done) {
    constexpr std::uint32_t kBufferBytes = 1u << 20;
    *done = 0;
    if (count == 0) return Status::Ok();
    std::uint32_t size = count < kBufferBytes ? count : kBufferBytes;
    void* buffer = Allocate(size);
    if (buffer == nullptr) return Status::Fail(Code::NoMemory, Op::Allocate);
    Status status;
    while (status && *done < count) {
        std::uint32_t want = count - *done < size ? count - *done : size;
        status = CopyStretch(*this, from, fromOffset + *done, to, toOffset + *done, buffer, want);
        if (status) *done += want;
    }
    Free(buffer);
    return status;
}

// UTF-8, the 8-bit code page wherever the OS has no other.
std::size_t Platform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    return text::Utf8FromUtf16Cut(std::u16string_view(text != nullptr ? text : u""), out, capacity);
}

}  // namespace actlog::platform
