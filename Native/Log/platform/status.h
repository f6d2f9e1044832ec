// The outcome of an operation: a portable code, the operation that failed and
// the OS error it failed with (errno on POSIX, GetLastError() on Windows; 0
// when the failure is the library's own finding, such as a damaged index).
// Every layer returns it and passes it on, so that the cause of a failure
// reaches the export, which hands it to its caller as the last-error value.
#pragma once

#include <cstdint>

namespace actlog {

enum class Code : std::uint8_t {
    Ok,
    InvalidArgument,  // a bad owner name, date, count or pointer
    NotFound,         // no such file or directory
    AlreadyExists,
    AccessDenied,
    Busy,             // held by another: a sharing violation, a lock, another prune
    NoSpace,
    NoMemory,
    Damaged,          // a file whose contents do not hold together
    TimedOut,
    NoMessage,        // the message library holds no text for the id
    Truncated,        // a caller's buffer too small for the whole text
    Io,               // any other OS failure
};

// What was being done when it failed.
enum class Op : std::uint8_t {
    None,
    Open,
    Size,
    Seek,
    Read,
    Write,
    Truncate,
    Copy,
    Move,
    Remove,
    MakeDirectory,
    Probe,  // whether a name exists
    Find,
    LockMutex,
    CopyText,
    Allocate,
    LoadMessage,
    CheckArgument,
    CheckIndex,
};

class [[nodiscard]] Status {
public:
    constexpr Status() noexcept = default;
    static constexpr Status Ok() noexcept { return Status(); }
    // A failure the library found itself (no OS call failed).
    static constexpr Status Fail(Code code, Op op) noexcept { return Status(code, op, 0); }
    // A failure of an OS call, from the error value it left.
    static Status FromOs(Op op, int osError) noexcept;

    constexpr bool ok() const noexcept { return code_ == Code::Ok; }
    constexpr explicit operator bool() const noexcept { return ok(); }
    constexpr Code code() const noexcept { return code_; }
    constexpr Op op() const noexcept { return op_; }
    constexpr int osError() const noexcept { return osError_; }
    // The same failure reported as another operation (the OS error stays).
    constexpr Status As(Op op) const noexcept { return ok() ? *this : Status(code_, op, osError_); }
    // Drops the status on purpose; every caller says why beside the call.
    constexpr void Ignore() const noexcept {}

private:
    constexpr Status(Code code, Op op, int osError) noexcept : code_(code), op_(op), osError_(osError) {}
    Code code_ = Code::Ok;
    Op op_ = Op::None;
    int osError_ = 0;
};

// The failure the last OS call of this thread left (errno / GetLastError()).
Status LastOsError(Op op) noexcept;

// For the exports: sets the caller's last-error value (errno on POSIX,
// SetLastError on Windows) to the cause of `status`, the OS error itself when
// there is one, else the nearest OS value for its code. Nothing on success.
void SetCallerError(const Status& status) noexcept;

// The exports' results: 0 on success, `failure` (after SetCallerError) otherwise.
inline std::int32_t ExportResult(const Status& status, std::int32_t failure = -1) noexcept {
    if (status) return 0;
    SetCallerError(status);
    return failure;
}

}  // namespace actlog
