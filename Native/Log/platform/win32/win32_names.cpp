// Names: MoveFileW (never replaces), DeleteFileW, GetFileAttributesW,
// CreateDirectoryW and the FindFirstFileW search, whose matching is the
// system's own (case-insensitive, short names included).
#include "platform/win32/win32_platform.h"

namespace actlog::platform::win32 {
namespace {

void Deliver(const WIN32_FIND_DATAW& found, char16_t* name, std::size_t capacity) {
    if (name == nullptr || capacity == 0) return;
    std::size_t n = 0;
    while (n + 1 < capacity && n < MAX_PATH && found.cFileName[n] != 0) {
        name[n] = static_cast<char16_t>(found.cFileName[n]);
        ++n;
    }
    name[n] = 0;
}

// The end of a search (ERROR_NO_MORE_FILES), or no match at all, is NotFound.
Status NoMoreAsNotFound(Status why) {
    return why.osError() == ERROR_NO_MORE_FILES ? Status::Fail(Code::NotFound, Op::Find) : why;
}

}  // namespace

Status Win32Platform::MoveNoReplace(const char16_t* from, const char16_t* to) {
    if (from == nullptr || to == nullptr) return Status::Fail(Code::InvalidArgument, Op::Move);
    return ::MoveFileW(Wide(from), Wide(to)) != FALSE ? Status::Ok() : LastOsError(Op::Move);
}

Status Win32Platform::RemoveFile(const char16_t* path) {
    if (path == nullptr) return Status::Fail(Code::InvalidArgument, Op::Remove);
    return ::DeleteFileW(Wide(path)) != FALSE ? Status::Ok() : LastOsError(Op::Remove);
}

Status Win32Platform::Exists(const char16_t* path) {
    if (path == nullptr) return Status::Fail(Code::NotFound, Op::Probe);
    return ::GetFileAttributesW(Wide(path)) != INVALID_FILE_ATTRIBUTES ? Status::Ok() : LastOsError(Op::Probe);
}

Status Win32Platform::MakeDirectory(const char16_t* path) {
    if (path == nullptr) return Status::Fail(Code::InvalidArgument, Op::MakeDirectory);
    return ::CreateDirectoryW(Wide(path), nullptr) != FALSE ? Status::Ok() : LastOsError(Op::MakeDirectory);
}

SearchHandle Win32Platform::FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) {
    if (pattern == nullptr) return SearchHandle::Failed(Status::Fail(Code::InvalidArgument, Op::Find));
    WIN32_FIND_DATAW found{};
    HANDLE search = ::FindFirstFileW(Wide(pattern), &found);
    if (search == INVALID_HANDLE_VALUE) return SearchHandle::Failed(NoMoreAsNotFound(LastOsError(Op::Find)));
    Deliver(found, name, capacity);
    return SearchHandle{FromHandle(search), Status::Ok()};
}

Status Win32Platform::FindNext(SearchHandle search, char16_t* name, std::size_t capacity) {
    if (!search.valid()) return Status::Fail(Code::InvalidArgument, Op::Find);
    WIN32_FIND_DATAW found{};
    if (!::FindNextFileW(AsHandle(search.value), &found)) return NoMoreAsNotFound(LastOsError(Op::Find));
    Deliver(found, name, capacity);
    return Status::Ok();
}

void Win32Platform::FindClose(SearchHandle search) {
    if (search.valid()) ::FindClose(AsHandle(search.value));
}

}  // namespace actlog::platform::win32
