// Status from and to errno.
#include <cerrno>

#include "platform/status.h"

namespace actlog {
namespace {

Code CodeOf(int error) noexcept {
    switch (error) {
        case 0: return Code::Io;  // a failure that left no errno
        case ENOENT:
        case ENOTDIR: return Code::NotFound;
        case EEXIST: return Code::AlreadyExists;
        case EACCES:
        case EPERM:
        case EROFS: return Code::AccessDenied;
        case EBUSY:
        case EWOULDBLOCK: return Code::Busy;
        case ENOSPC:
        case EDQUOT: return Code::NoSpace;
        case ENOMEM: return Code::NoMemory;
        case EINVAL:
        case ENAMETOOLONG: return Code::InvalidArgument;
        case ETIMEDOUT: return Code::TimedOut;
        case ENOMSG: return Code::NoMessage;
        case ERANGE: return Code::Truncated;
        default: return Code::Io;
    }
}

int ErrnoFor(Code code) noexcept {
    switch (code) {
        case Code::InvalidArgument: return EINVAL;
        case Code::NotFound: return ENOENT;
        case Code::AlreadyExists: return EEXIST;
        case Code::AccessDenied: return EACCES;
        case Code::Busy: return EBUSY;
        case Code::NoSpace: return ENOSPC;
        case Code::NoMemory: return ENOMEM;
        case Code::Damaged: return EBADMSG;
        case Code::TimedOut: return ETIMEDOUT;
        case Code::NoMessage: return ENOMSG;
        case Code::Truncated: return ERANGE;
        case Code::Ok:  // never asked: a success sets no error
        case Code::Io: break;
    }
    return EIO;
}

}  // namespace

Status Status::FromOs(Op op, int osError) noexcept { return Status(CodeOf(osError), op, osError); }

Status LastOsError(Op op) noexcept { return Status::FromOs(op, errno); }

void SetCallerError(const Status& status) noexcept {
    if (status) return;
    errno = status.osError() != 0 ? status.osError() : ErrnoFor(status.code());
}

}  // namespace actlog
