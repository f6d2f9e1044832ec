// Two adjacent pages: the first readable and writable, the second unreadable,
// so that a read running past the end of the first one would fault.
#pragma once

#include <cstddef>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace testsupport {

class GuardedPage {
public:
    GuardedPage() {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_ = info.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old = 0;
        VirtualProtect(base_ + size_, size_, PAGE_NOACCESS, &old);
#else
        size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<char*>(mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + size_, size_, PROT_NONE);
#endif
    }
    ~GuardedPage() {
#ifdef _WIN32
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 2 * size_);
#endif
    }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    std::size_t Size() const { return size_; }
    char* Readable() const { return base_; }
    const void* Unreadable() const { return base_ + size_; }

private:
    std::size_t size_ = 0;
    char* base_ = nullptr;
};

}  // namespace testsupport
