// Files: CreateFileW and the handle calls. Every open shares read, write and
// delete unless an exclusive open is asked for.
#include "platform/win32/win32_platform.h"

namespace actlog::platform::win32 {
namespace {

Status Closed() { return Status::Fail(Code::InvalidArgument, Op::Open); }

// The result of a Win32 call that reports failure with FALSE.
Status Checked(BOOL ok, Op op) { return ok != FALSE ? Status::Ok() : LastOsError(op); }

}  // namespace

FileHandle Win32Platform::OpenFile(const char16_t* path, Access access, Disposition disposition, Share share) {
    if (path == nullptr) return FileHandle::Failed(Status::Fail(Code::InvalidArgument, Op::Open));
    DWORD desired = 0;
    switch (access) {
        case Access::Read: desired = GENERIC_READ; break;
        case Access::Write: desired = GENERIC_WRITE; break;
        case Access::ReadWrite: desired = GENERIC_READ | GENERIC_WRITE; break;
        // Append data only: the system moves every write to the end of the file.
        case Access::Append: desired = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE; break;
    }
    DWORD creation = OPEN_EXISTING;
    switch (disposition) {
        case Disposition::OpenExisting: creation = OPEN_EXISTING; break;
        case Disposition::OpenAlways: creation = OPEN_ALWAYS; break;
        case Disposition::CreateAlways: creation = CREATE_ALWAYS; break;
    }
    DWORD shareMode = share == Share::Exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE handle = ::CreateFileW(Wide(path), desired, shareMode, nullptr, creation,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return FileHandle::Failed(LastOsError(Op::Open));
    return FileHandle{FromHandle(handle), Status::Ok(), FileHandle::kNoSize};
}

Status Win32Platform::FileSize(FileHandle file, std::uint64_t* size) {
    if (!file.valid()) return Closed();
    LARGE_INTEGER value{};
    if (!::GetFileSizeEx(AsHandle(file.value), &value)) return LastOsError(Op::Size);
    if (size != nullptr) *size = static_cast<std::uint64_t>(value.QuadPart);
    return Status::Ok();
}

Status Win32Platform::Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) {
    if (!file.valid()) return Closed();
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    LARGE_INTEGER result{};
    if (!::SetFilePointerEx(AsHandle(file.value), distance, &result, from == SeekFrom::Begin ? FILE_BEGIN : FILE_END)) {
        return LastOsError(Op::Seek);
    }
    if (position != nullptr) *position = static_cast<std::uint64_t>(result.QuadPart);
    return Status::Ok();
}

Status Win32Platform::Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return Closed();
    DWORD got = 0;
    Status status = Checked(::ReadFile(AsHandle(file.value), buffer, count, &got, nullptr), Op::Read);
    if (done != nullptr) *done = got;
    return status;
}

Status Win32Platform::Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done != nullptr) *done = 0;
    if (!file.valid()) return Closed();
    DWORD put = 0;
    Status status = Checked(::WriteFile(AsHandle(file.value), buffer, count, &put, nullptr), Op::Write);
    if (done != nullptr) *done = put;
    if (status && put != count) return Status::FromOs(Op::Write, ERROR_DISK_FULL);
    return status;
}

Status Win32Platform::SetEndOfFile(FileHandle file) {
    if (!file.valid()) return Closed();
    return Checked(::SetEndOfFile(AsHandle(file.value)), Op::Truncate);
}

void Win32Platform::CloseFile(FileHandle file) {
    if (file.valid()) ::CloseHandle(AsHandle(file.value));
}

}  // namespace actlog::platform::win32
