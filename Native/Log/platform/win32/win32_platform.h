// The Win32 implementation of the platform interface: thin forwarding to the
// Win32 calls, which define the reference semantics. char16_t and wchar_t are
// both UTF-16 code units here; texts are cast at each call.
#pragma once

#include <windows.h>

#include "platform/platform.h"

namespace actlog::platform::win32 {

inline const wchar_t* Wide(const char16_t* text) noexcept { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* Wide(char16_t* text) noexcept { return reinterpret_cast<wchar_t*>(text); }

inline HANDLE AsHandle(std::intptr_t value) noexcept { return reinterpret_cast<HANDLE>(value); }
inline std::intptr_t FromHandle(HANDLE handle) noexcept { return reinterpret_cast<std::intptr_t>(handle); }

class Win32Platform final : public Platform {
public:
    FileHandle OpenFile(const char16_t* path, Access access, Disposition disposition, Share share) override;
    Status FileSize(FileHandle file, std::uint64_t* size) override;
    Status Seek(FileHandle file, std::int64_t offset, SeekFrom from, std::uint64_t* position) override;
    Status Read(FileHandle file, void* buffer, std::uint32_t count, std::uint32_t* done) override;
    Status Write(FileHandle file, const void* buffer, std::uint32_t count, std::uint32_t* done) override;
    Status SetEndOfFile(FileHandle file) override;
    void CloseFile(FileHandle file) override;

    Status MoveNoReplace(const char16_t* from, const char16_t* to) override;
    Status RemoveFile(const char16_t* path) override;
    Status Exists(const char16_t* path) override;
    Status MakeDirectory(const char16_t* path) override;
    SearchHandle FindFirst(const char16_t* pattern, char16_t* name, std::size_t capacity) override;
    Status FindNext(SearchHandle search, char16_t* name, std::size_t capacity) override;
    void FindClose(SearchHandle search) override;

    MutexHandle OpenNamedMutex(const char16_t* name) override;
    WaitResult WaitMutex(MutexHandle mutex, WaitTime time) override;
    Status ReleaseMutex(MutexHandle mutex) override;
    void CloseMutex(MutexHandle mutex) override;
    void SetMutexDirectory(const char16_t* directory) override;

    LogSystemTime SystemTimeUtc() override;
    LogSystemTime LocalTime() override;

    std::size_t ModulePath(char16_t* buffer, std::size_t capacity) override;
    std::uint16_t SystemDefaultLanguage() override;

    LibraryHandle LoadMessageLibrary(const char16_t* path) override;
    int LoadStringWide(LibraryHandle library, std::uint32_t id, char16_t* buffer, int size) override;
    int LoadStringNarrow(LibraryHandle library, std::uint32_t id, char* buffer, int size) override;

    void* Allocate(std::size_t bytes) override;
    void Free(void* block) override;
    bool CanRead(const void* address, std::size_t bytes) override;

    std::size_t NarrowFromWide(const char16_t* text, char* out, std::size_t capacity) override;
    std::size_t WideFromNarrow(const char* bytes, std::size_t count, char16_t* out, std::size_t capacity) override;
    bool NarrowLeadByte(unsigned char byte) override;
};

}  // namespace actlog::platform::win32
