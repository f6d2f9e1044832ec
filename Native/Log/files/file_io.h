// The file toolkit: scoped file handles and heap chunks, reads and writes
// that must deliver every byte, and the byte-order mark of UTF-16 files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace actlog {

// Maintenance never holds a whole log or index in memory: copies and scans go
// through buffers of this size.
inline constexpr std::uint32_t kChunkBytes = 4u << 20;
// The low 32 bits of a file offset: the activity and journal formats keep
// offsets as 32-bit unsigned values.
inline constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;
// UTF-16 little-endian byte-order mark, the first two bytes of every text file.
inline constexpr unsigned char kByteOrderMark[2] = {0xFF, 0xFE};
// Index entries gathered before one write.
inline constexpr std::uint32_t kEntryBlock = 16384;

// Closes the file on scope exit.
class ScopedFile {
public:
    ScopedFile() noexcept = default;
    explicit ScopedFile(platform::FileHandle file) noexcept : file_(file) {}
    ~ScopedFile() { Close(); }
    ScopedFile(const ScopedFile&) = delete;
    ScopedFile& operator=(const ScopedFile&) = delete;

    static ScopedFile Open(const char16_t* path, platform::Access access, platform::Disposition disposition,
                           platform::Share share = platform::Share::All) noexcept {
        return ScopedFile(platform::Current().OpenFile(path, access, disposition, share));
    }
    ScopedFile(ScopedFile&& other) noexcept : file_(other.file_) { other.file_ = {}; }
    ScopedFile& operator=(ScopedFile&& other) noexcept {
        if (this != &other) {
            Close();
            file_ = other.file_;
            other.file_ = {};
        }
        return *this;
    }

    bool valid() const noexcept { return file_.valid(); }
    // Why the open failed (Ok for an open file).
    Status status() const noexcept { return file_.status; }
    platform::FileHandle get() const noexcept { return file_; }
    void Close() noexcept {
        if (file_.valid()) platform::Current().CloseFile(file_);
        file_ = {};
    }

private:
    platform::FileHandle file_;
};

// A heap block from the platform, freed on scope exit.
class ScopedBlock {
public:
    explicit ScopedBlock(std::size_t bytes) noexcept : data_(platform::Current().Allocate(bytes)) {}
    ~ScopedBlock() {
        if (data_ != nullptr) platform::Current().Free(data_);
    }
    ScopedBlock(const ScopedBlock&) = delete;
    ScopedBlock& operator=(const ScopedBlock&) = delete;

    bool valid() const noexcept { return data_ != nullptr; }
    unsigned char* bytes() const noexcept { return static_cast<unsigned char*>(data_); }

private:
    void* data_;
};

// Size of an open file, limited to the 32 bits of the activity formats.
inline Status FileSize32(platform::FileHandle file, std::uint32_t* size) noexcept {
    std::uint64_t whole = 0;
    Status sized = platform::Current().FileSize(file, &whole);
    if (!sized) return sized;
    if (whole > 0xFFFFFFFEu) return Status::Fail(Code::Damaged, Op::Size);
    *size = static_cast<std::uint32_t>(whole);
    return sized;
}

inline Status SeekTo(platform::FileHandle file, std::uint64_t offset) noexcept {
    std::uint64_t at = 0;
    Status sought = platform::Current().Seek(file, static_cast<std::int64_t>(offset), platform::SeekFrom::Begin, &at);
    if (sought && at != offset) return Status::Fail(Code::Io, Op::Seek);
    return sought;
}

// Reads exactly `count` bytes at `offset`; a file that ends first fails.
inline Status ReadAt(platform::FileHandle file, std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    std::uint32_t done = 0;
    Status read = platform::Current().ReadAt(file, offset, buffer, count, &done);
    if (read && done != count) return Status::Fail(Code::Damaged, Op::Read);
    return read;
}

// Writes all `count` bytes at the file position (the platform's Write fails a
// short write).
inline Status WriteAll(platform::FileHandle file, const void* buffer, std::uint32_t count) noexcept {
    std::uint32_t done = 0;
    return platform::Current().Write(file, buffer, count, &done);
}

// Writes exactly `count` bytes at `offset`.
inline Status WriteAt(platform::FileHandle file, std::uint64_t offset, const void* buffer,
                      std::uint32_t count) noexcept {
    std::uint32_t done = 0;
    Status written = platform::Current().WriteAt(file, offset, buffer, count, &done);
    if (written && done != count) return Status::Fail(Code::NoSpace, Op::Write);
    return written;
}

// Opens a UTF-16 text file for appending at its end: seeks there and writes
// the byte-order mark FF FE first when the file is empty. *position receives
// where the next bytes go. A low half of all ones is the platform's "invalid
// position" and fails.
inline Status SeekEndPastMark(platform::FileHandle file, std::uint64_t* position) noexcept {
    Status status = platform::Current().Seek(file, 0, platform::SeekFrom::End, position);
    if (!status) return status;
    if ((*position & kLow32) == kLow32) return Status::Fail(Code::InvalidArgument, Op::Seek);
    if (*position != 0) return Status::Ok();
    *position = 2;
    return WriteAll(file, kByteOrderMark, 2);
}

}  // namespace actlog
