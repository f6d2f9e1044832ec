// Status from and to GetLastError() values.
#include <windows.h>

#include "platform/status.h"

namespace actlog {
namespace {

Code CodeOf(DWORD error) noexcept {
    switch (error) {
        case ERROR_SUCCESS: return Code::Io;  // a failure that left no error value
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return Code::NotFound;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return Code::AlreadyExists;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT: return Code::AccessDenied;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return Code::Busy;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return Code::NoSpace;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return Code::NoMemory;
        case ERROR_INVALID_PARAMETER:
        case ERROR_INVALID_NAME:
        case ERROR_FILENAME_EXCED_RANGE: return Code::InvalidArgument;
        case WAIT_TIMEOUT: return Code::TimedOut;
        case ERROR_RESOURCE_NAME_NOT_FOUND: return Code::NoMessage;
        case ERROR_INSUFFICIENT_BUFFER: return Code::Truncated;
        default: return Code::Io;
    }
}

DWORD ErrorFor(Code code) noexcept {
    switch (code) {
        case Code::Ok: return ERROR_SUCCESS;
        case Code::InvalidArgument: return ERROR_INVALID_PARAMETER;
        case Code::NotFound: return ERROR_FILE_NOT_FOUND;
        case Code::AlreadyExists: return ERROR_ALREADY_EXISTS;
        case Code::AccessDenied: return ERROR_ACCESS_DENIED;
        case Code::Busy: return ERROR_SHARING_VIOLATION;
        case Code::NoSpace: return ERROR_DISK_FULL;
        case Code::NoMemory: return ERROR_NOT_ENOUGH_MEMORY;
        case Code::Damaged: return ERROR_FILE_CORRUPT;
        case Code::TimedOut: return WAIT_TIMEOUT;
        case Code::NoMessage: return ERROR_RESOURCE_NAME_NOT_FOUND;
        case Code::Truncated: return ERROR_INSUFFICIENT_BUFFER;
        case Code::Io: break;
    }
    return ERROR_GEN_FAILURE;
}

}  // namespace

Status Status::FromOs(Op op, int osError) noexcept {
    return Status(CodeOf(static_cast<DWORD>(osError)), op, osError);
}

Status LastOsError(Op op) noexcept { return Status::FromOs(op, static_cast<int>(::GetLastError())); }

void SetCallerError(const Status& status) noexcept {
    if (status) return;
    ::SetLastError(status.osError() != 0 ? static_cast<DWORD>(status.osError()) : ErrorFor(status.code()));
}

}  // namespace actlog
