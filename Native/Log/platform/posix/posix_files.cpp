// Files: descriptors with the POSIX default sharing (an open file can be
// renamed and deleted); an exclusive open takes flock(LOCK_EX) at once.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/bounded_text.h"
#include "platform/posix/posix_platform.h"
#include "platform/text_convert.h"

namespace actlog::platform::posix {

Utf8Path::Utf8Path(const char16_t* path) noexcept {
    text_[0] = 0;
    if (path == nullptr) return;
    std::u16string_view view(path, TextLength(path));
    ok_ = !view.empty() && Utf8FromUtf16(view, text_, kBytes, &size_);
}

namespace {

int Descriptor(FileHandle file) { return static_cast<int>(file.value); }

// Repeats a read or write until `count` bytes moved, the call moved nothing
// (end of file) or it failed for another reason than an interruption.
// *total receives the bytes moved; false on failure.
template <typename Transfer>
bool TransferAll(std::uint32_t count, std::uint32_t* total, Transfer transfer) {
    while (*total < count) {
        ssize_t n = transfer(*total, count - *total);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        *total += static_cast<std::uint32_t>(n);
    }
    return true;
}

}  // namespace

FileHandle PosixPlatform::OpenFile(const char16_t* path, Access access, Disposition disposition, Share share) {
    Utf8Path native(path);
    if (!native.ok()) return FileHandle{};
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
    int fd = -1;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FileHandle{};
    // A directory opens for reading only; it is no file.
    struct stat info {};
    if (access == Access::Read && (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode))) {
        ::close(fd);
        return FileHandle{};
    }
    if (exclusive) {
        int locked = -1;
        do {
            locked = ::flock(fd, LOCK_EX | LOCK_NB);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0 || (truncate && ::ftruncate(fd, 0) != 0)) {
            ::close(fd);
            return FileHandle{};
        }
    }
    return FileHandle{fd};
}

bool PosixPlatform::FileSize(FileHandle file, std::uint64_t* size) {
    struct stat info {};
    if (!file.valid() || ::fstat(Descriptor(file), &info) != 0) return false;
    if (size != nullptr) *size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool PosixPlatform::Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) {
    if (!file.valid()) return false;
    off_t result = ::lseek(Descriptor(file), static_cast<off_t>(offset), from == SeekFrom::Begin ? SEEK_SET : SEEK_END);
    if (result < 0) return false;
    if (position != nullptr) *position = static_cast<std::uint64_t>(result);
    return true;
}

bool PosixPlatform::Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return false;
    // A regular file gives everything asked for up to its end; the loop only
    // covers interruptions and short reads.
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    bool ok = TransferAll(count, &total, [&](std::uint32_t at, std::uint32_t left) {
        return ::read(Descriptor(file), bytes + at, left);
    });
    if (done != nullptr) *done = total;
    return ok;
}

bool PosixPlatform::ReadAt(FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count,
                           std::uint32_t* done) {
    *done = 0;
    if (!file.valid() || offset > 0x7FFFFFFFFFFFFFFFull) return false;
    auto* bytes = static_cast<unsigned char*>(buffer);
    return TransferAll(count, done, [&](std::uint32_t at, std::uint32_t left) {
        return ::pread(Descriptor(file), bytes + at, left, static_cast<off_t>(offset + at));
    });
}

bool PosixPlatform::Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t total = 0;
    bool ok = TransferAll(count, &total, [&](std::uint32_t at, std::uint32_t left) {
        return ::write(Descriptor(file), bytes + at, left);
    });
    if (done != nullptr) *done = total;
    return ok && total == count;
}

bool PosixPlatform::WriteAt(FileHandle file, std::uint64_t offset, const void* buffer, std::uint32_t count,
                            std::uint32_t* done) {
    *done = 0;
    if (!file.valid() || offset > 0x7FFFFFFFFFFFFFFFull) return false;
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    bool ok = TransferAll(count, done, [&](std::uint32_t at, std::uint32_t left) {
        return ::pwrite(Descriptor(file), bytes + at, left, static_cast<off_t>(offset + at));
    });
    return ok && *done == count;
}

bool PosixPlatform::SetEndOfFile(FileHandle file) {
    if (!file.valid()) return false;
    off_t at = ::lseek(Descriptor(file), 0, SEEK_CUR);
    return at >= 0 && ::ftruncate(Descriptor(file), at) == 0;
}

// In-kernel copy (no round trip through user memory); the buffered copy of the
// base class where the file system cannot do it.
bool PosixPlatform::CopyRange(FileHandle from, std::uint64_t fromOffset, FileHandle to, std::uint64_t toOffset,
                              std::uint32_t count, std::uint32_t* done) {
    *done = 0;
    if (!from.valid() || !to.valid()) return false;
    off_t in = static_cast<off_t>(fromOffset);
    off_t out = static_cast<off_t>(toOffset);
    while (*done < count) {
        ssize_t n = ::copy_file_range(Descriptor(from), &in, Descriptor(to), &out, count - *done, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && *done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            return Platform::CopyRange(from, fromOffset, to, toOffset, count, done);
        }
        if (n <= 0) return false;
        *done += static_cast<std::uint32_t>(n);
    }
    return true;
}

void PosixPlatform::CloseFile(FileHandle file) {
    if (file.valid()) ::close(Descriptor(file));
}

}  // namespace actlog::platform::posix
