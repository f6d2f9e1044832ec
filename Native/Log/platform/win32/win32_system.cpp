// Time, module path, system language, message libraries, heap, memory probe
// and the ANSI code page.
#include <cstdlib>
#include <cstring>

#include "platform/win32/win32_platform.h"

namespace actlog::platform::win32 {
namespace {

LogSystemTime FromSystemTime(const SYSTEMTIME& time) {
    static_assert(sizeof(LogSystemTime) == sizeof(SYSTEMTIME), "LogSystemTime mirrors SYSTEMTIME");
    LogSystemTime out{};
    std::memcpy(&out, &time, sizeof out);
    return out;
}

HMODULE AsModule(LibraryHandle library) { return reinterpret_cast<HMODULE>(library.value); }

// A function of this module: its address names the module the code lives in.
void ModuleAnchor() {}

}  // namespace

LogSystemTime Win32Platform::SystemTimeUtc() {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    return FromSystemTime(now);
}

LogSystemTime Win32Platform::LocalTime() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return FromSystemTime(now);
}

std::size_t Win32Platform::ModulePath(char16_t* buffer, std::size_t capacity) {
    if (buffer == nullptr || capacity == 0) return 0;
    buffer[0] = 0;
    HMODULE module = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ModuleAnchor), &module)) {
        return 0;
    }
    DWORD size = capacity > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<DWORD>(capacity);
    DWORD n = ::GetModuleFileNameW(module, Wide(buffer), size);
    // A path that does not fit is cut; it still ends terminated.
    if (n >= size) n = size - 1;
    buffer[n] = 0;
    return n;
}

std::uint16_t Win32Platform::SystemDefaultLanguage() { return ::GetSystemDefaultLangID(); }

LibraryHandle Win32Platform::LoadMessageLibrary(const char16_t* path) {
    if (path == nullptr) return LibraryHandle::Failed(Status::Fail(Code::InvalidArgument, Op::LoadMessage));
    HMODULE module = ::LoadLibraryW(Wide(path));
    if (module == nullptr) return LibraryHandle::Failed(LastOsError(Op::LoadMessage));
    return LibraryHandle{reinterpret_cast<std::intptr_t>(module), Status::Ok()};
}

int Win32Platform::LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) {
    // A size of 0 would ask LoadStringW for a pointer into the resource instead.
    if (!library.valid() || buffer == nullptr || size <= 0) return 0;
    return ::LoadStringW(AsModule(library), id, Wide(buffer), size);
}

int Win32Platform::LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) {
    if (!library.valid() || buffer == nullptr || size <= 0) return 0;
    return ::LoadStringA(AsModule(library), id, buffer, size);
}

void* Win32Platform::Allocate(std::size_t bytes) { return std::malloc(bytes); }

void Win32Platform::Free(void* block) { std::free(block); }

bool Win32Platform::CanRead(const void* address, std::size_t bytes) {
    if (bytes == 0) return true;
    if (address == nullptr) return false;
    auto start = reinterpret_cast<std::uintptr_t>(address);
    if (start + bytes < start) return false;
    // Every page must be committed and readable: a copy through the system
    // alone is not enough where it reads protected pages (as Wine's does).
    for (std::uintptr_t at = start; at < start + bytes;) {
        MEMORY_BASIC_INFORMATION region{};
        if (::VirtualQuery(reinterpret_cast<LPCVOID>(at), &region, sizeof region) == 0) return false;
        DWORD protect = region.Protect & 0xFF;
        if (region.State != MEM_COMMIT || (region.Protect & PAGE_GUARD) != 0 || protect == PAGE_NOACCESS ||
            protect == PAGE_EXECUTE) {
            return false;
        }
        std::uintptr_t end = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
        if (end <= at) return false;
        at = end;
    }
    // Then copied by the system into a scratch buffer, a chunk at a time: a
    // page that went away meanwhile makes the copy fail instead of faulting here.
    char scratch[4096];
    HANDLE self = ::GetCurrentProcess();
    for (std::size_t done = 0; done < bytes;) {
        std::size_t n = bytes - done < sizeof scratch ? bytes - done : sizeof scratch;
        SIZE_T got = 0;
        if (!::ReadProcessMemory(self, reinterpret_cast<LPCVOID>(start + done), scratch, n, &got) || got != n) {
            return false;
        }
        done += n;
    }
    return true;
}

bool Win32Platform::NarrowLeadByte(unsigned char byte) { return ::IsDBCSLeadByte(byte) != FALSE; }

std::size_t Win32Platform::WideFromNarrow(const char* bytes, std::size_t count, char16_t* out, std::size_t capacity) {
    if (count == 0 || count > 0x7FFFFFFF || capacity > 0x7FFFFFFF) return 0;
    int n = ::MultiByteToWideChar(CP_ACP, 0, bytes, static_cast<int>(count), Wide(out), static_cast<int>(capacity));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t Win32Platform::NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) {
    if (out == nullptr || capacity == 0) return 0;
    out[0] = 0;
    if (text == nullptr) return 0;
    // Room for the bytes without the terminator, so that room + 1 still fits an int.
    int room = capacity - 1 > 0x7FFFFFFE ? 0x7FFFFFFE : static_cast<int>(capacity - 1);
    int n = ::WideCharToMultiByte(CP_ACP, 0, Wide(text), -1, out, room + 1, nullptr, nullptr);
    if (n > 0) return static_cast<std::size_t>(n - 1);
    // Too long: one character at a time, so that the cut never splits one.
    int used = 0;
    for (const char16_t* at = text; *at != 0;) {
        int units = (*at >= 0xD800 && *at <= 0xDBFF && at[1] >= 0xDC00 && at[1] <= 0xDFFF) ? 2 : 1;
        char bytes[8];
        int got = ::WideCharToMultiByte(CP_ACP, 0, Wide(at), units, bytes, static_cast<int>(sizeof bytes), nullptr, nullptr);
        if (got <= 0 || used + got > room) break;
        std::memcpy(out + used, bytes, static_cast<std::size_t>(got));
        used += got;
        at += units;
    }
    out[used] = 0;
    return static_cast<std::size_t>(used);
}

}  // namespace actlog::platform::win32

namespace actlog::platform {

Platform& Native() noexcept {
    static win32::Win32Platform native;
    return native;
}

}  // namespace actlog::platform
