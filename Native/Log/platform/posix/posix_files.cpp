// Files: descriptors with the POSIX default sharing (an open file can be
// renamed and deleted); an exclusive open takes flock(LOCK_EX) at once.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ACTLOG_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ACTLOG_ADDRESS_SANITIZER 1
#endif
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "platform/posix/posix_platform.h"
#include "text/bounded_text.h"
#include "text/text_convert.h"

namespace actlog::platform::posix {

namespace {

#if defined(__SSE2__) && !defined(ACTLOG_ADDRESS_SANITIZER)
// The units before the terminator, eight at a time in aligned blocks once the
// text is aligned: such a block never reaches into the next page, though it
// may read past the terminator.
std::size_t PathLength(const char16_t* path) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(path);
    if ((address & 1u) != 0) return TextLength(path);
    std::size_t n = 0;
    for (; ((address + 2 * n) & 15u) != 0; ++n) {
        if (path[n] == 0) return n;
    }
    const __m128i zero = _mm_setzero_si128();
    for (;; n += 8) {
        __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(path + n));
        unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(block, zero)));
        if (hits != 0) return n + static_cast<std::size_t>(__builtin_ctz(hits)) / 2;
    }
}
#else
std::size_t PathLength(const char16_t* path) noexcept { return TextLength(path); }
#endif

}  // namespace

Utf8Path::Utf8Path(const char16_t* path) noexcept {
    text_[0] = 0;
    if (path == nullptr) return;
    std::u16string_view view(path, PathLength(path));
    ok_ = !view.empty() && text::Utf8FromUtf16(view, text_, kBytes, &size_);
}

namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.value); }

Status Closed() { return Status::Fail(Code::InvalidArgument, Op::Open); }

// A path that does not convert to UTF-8 (a lone surrogate) names no file.
Status Unconvertible() { return Status::Fail(Code::InvalidArgument, Op::Open); }

// Repeats a read or write until `count` bytes moved or the call moved nothing
// (end of file). *total receives the bytes moved.
template <typename Transfer>
Status TransferAll(Op op, std::uint32_t count, std::uint32_t* total, Transfer transfer) {
    while (*total < count) {
        ssize_t n = RetryAfterSignal(ssize_t{-1}, [&] { return transfer(*total, count - *total); });
        if (n < 0) return LastOsError(op);
        if (n == 0) break;
        *total += static_cast<std::uint32_t>(n);
    }
    return Status::Ok();
}

// Closes `fd` after a failure of `op`, keeping the failure's errno.
FileHandle Abandon(int fd, Status why) {
    ::close(fd);
    return FileHandle::Failed(why);
}

}  // namespace

std::size_t ReadUpTo(int fd, void* buffer, std::size_t size) noexcept {
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = RetryAfterSignal(ssize_t{-1}, [&] { return ::read(fd, bytes + got, size - got); });
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

FileHandle PosixPlatform::OpenFile(const char16_t* path, Access access, Disposition disposition, Share share) {
    Utf8Path native(path);
    if (!native.ok()) return FileHandle::Failed(Unconvertible());
    int flags = O_CLOEXEC;
    switch (access) {
        case Access::Read: flags |= O_RDONLY; break;
        case Access::Write: flags |= O_WRONLY; break;
        case Access::Append: flags |= O_WRONLY | O_APPEND; break;
        case Access::ReadWrite: flags |= O_RDWR; break;
    }
    if (disposition != Disposition::OpenExisting) flags |= O_CREAT;
    bool exclusive = share == Share::Exclusive;
    bool truncate = disposition == Disposition::CreateAlways;
    // An exclusive open truncates only once it holds the lock, so that it
    // never destroys the contents under another holder.
    if (truncate && !exclusive) flags |= O_TRUNC;
    if (truncate && exclusive && access == Access::Read) flags = (flags & ~O_ACCMODE) | O_RDWR;
    int fd = RetryAfterSignal(-1, [&] { return ::open(native.c_str(), flags, 0666); });
    if (fd < 0) return FileHandle::Failed(LastOsError(Op::Open));
    // A directory opens for reading only; it is no file.
    struct stat info {};
    if (access == Access::Read) {
        if (::fstat(fd, &info) != 0) return Abandon(fd, LastOsError(Op::Open));
        if (S_ISDIR(info.st_mode)) return Abandon(fd, Status::FromOs(Op::Open, EISDIR));
    }
    if (exclusive) {
        if (RetryAfterSignal(-1, [&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) != 0) {
            return Abandon(fd, LastOsError(Op::Open));
        }
        if (truncate && ::ftruncate(fd, 0) != 0) return Abandon(fd, LastOsError(Op::Truncate));
    }
    // A read-only open has the size from its directory check.
    std::uint64_t size = access == Access::Read ? static_cast<std::uint64_t>(info.st_size) : FileHandle::kNoSize;
    return FileHandle{fd, Status::Ok(), size};
}

Status PosixPlatform::FileSize(FileHandle file, std::uint64_t* size) {
    if (!file.valid()) return Closed();
    struct stat info {};
    if (::fstat(Descriptor(file), &info) != 0) return LastOsError(Op::Size);
    if (size != nullptr) *size = static_cast<std::uint64_t>(info.st_size);
    return Status::Ok();
}

Status PosixPlatform::Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) {
    if (!file.valid()) return Closed();
    off_t result = ::lseek(Descriptor(file), static_cast<off_t>(offset), from == SeekFrom::Begin ? SEEK_SET : SEEK_END);
    if (result < 0) return LastOsError(Op::Seek);
    if (position != nullptr) *position = static_cast<std::uint64_t>(result);
    return Status::Ok();
}

Status PosixPlatform::Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return Closed();
    // A regular file gives everything asked for up to its end; the loop only
    // covers interruptions and short reads.
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    Status status = TransferAll(Op::Read, count, &total, [&](std::uint32_t at, std::uint32_t left) {
        return ::read(Descriptor(file), bytes + at, left);
    });
    if (done != nullptr) *done = total;
    return status;
}

Status PosixPlatform::ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                             std::uint32_t* done) {
    *done = 0;
    if (!file.valid()) return Closed();
    if (offset > 0x7FFFFFFFFFFFFFFFull) return Status::FromOs(Op::Read, EINVAL);
    auto* bytes = static_cast<unsigned char*>(buffer);
    return TransferAll(Op::Read, count, done, [&](std::uint32_t at, std::uint32_t left) {
        return ::pread(Descriptor(file), bytes + at, left, static_cast<off_t>(offset + at));
    });
}

// A regular file's pread comes back short only at its end.
Status PosixPlatform::ReadAtOnce(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                                 std::uint32_t* done) {
    *done = 0;
    if (!file.valid()) return Closed();
    if (offset > 0x7FFFFFFFFFFFFFFFull) return Status::FromOs(Op::Read, EINVAL);
    ssize_t n = RetryAfterSignal(ssize_t{-1}, [&] {
        return ::pread(Descriptor(file), buffer, count, static_cast<off_t>(offset));
    });
    if (n < 0) return LastOsError(Op::Read);
    *done = static_cast<std::uint32_t>(n);
    return Status::Ok();
}

Status PosixPlatform::Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return Closed();
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    Status status = TransferAll(Op::Write, count, &total, [&](std::uint32_t at, std::uint32_t left) {
        return ::write(Descriptor(file), bytes + at, left);
    });
    if (done != nullptr) *done = total;
    // A write that takes nothing more without an error is a full device.
    if (status && total != count) return Status::FromOs(Op::Write, ENOSPC);
    return status;
}

Status PosixPlatform::WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                              std::uint32_t* done) {
    *done = 0;
    if (!file.valid()) return Closed();
    if (offset > 0x7FFFFFFFFFFFFFFFull) return Status::FromOs(Op::Write, EINVAL);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    Status status = TransferAll(Op::Write, count, done, [&](std::uint32_t at, std::uint32_t left) {
        return ::pwrite(Descriptor(file), bytes + at, left, static_cast<off_t>(offset + at));
    });
    if (status && *done != count) return Status::FromOs(Op::Write, ENOSPC);
    return status;
}

Status PosixPlatform::SetEndOfFile(FileHandle file) {
    if (!file.valid()) return Closed();
    off_t at = ::lseek(Descriptor(file), 0, SEEK_CUR);
    if (at < 0 || ::ftruncate(Descriptor(file), at) != 0) return LastOsError(Op::Truncate);
    return Status::Ok();
}

// In-kernel copy (no round trip through user memory); the buffered copy of the
// base class where the file system cannot do it.
Status PosixPlatform::CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                                std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    if (!from.valid() || !to.valid()) return Closed();
    off_t in = static_cast<off_t>(fromOffset);
    off_t out = static_cast<off_t>(toOffset);
    while (*done < count) {
        ssize_t n = RetryAfterSignal(ssize_t{-1}, [&] {
            return ::copy_file_range(Descriptor(from), &in, Descriptor(to), &out, count - *done, 0);
        });
        if (n < 0 && *done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            return Platform::CopyRange(from, fromOffset, to, toOffset, count, done);
        }
        if (n < 0) return LastOsError(Op::Copy);
        // The source ended before `count` bytes.
        if (n == 0) return Status::Fail(Code::Damaged, Op::Copy);
        *done += static_cast<std::uint32_t>(n);
    }
    return Status::Ok();
}

void PosixPlatform::CloseFile(FileHandle file) {
    if (file.valid()) ::close(Descriptor(file));
}

}  // namespace actlog::platform::posix
