#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "bench_os.h"
#include "bench_support.h"

namespace bench {

fs::path SelfDirectory() {
    wchar_t path[MAX_PATH];
    DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return fs::path(std::wstring(path, length)).parent_path();
}

const char* LibraryFileName() { return "Log.dll"; }

long PeakKib() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return -1;
    return static_cast<long>(counters.PeakWorkingSetSize / 1024);
}

ReadHandle OpenForReading(const fs::path& file) {
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return handle == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<ReadHandle>(handle);
}

long long ReadAt(ReadHandle file, void* buffer, std::size_t bytes, std::uint64_t offset) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!::ReadFile(reinterpret_cast<HANDLE>(file), buffer, static_cast<DWORD>(bytes), &read, &at)) return -1;
    return read;
}

void CloseForReading(ReadHandle file) { ::CloseHandle(reinterpret_cast<HANDLE>(file)); }

namespace {

std::wstring CommandLine(const char* self, const std::vector<std::string>& args) {
    std::wstring command = L"\"" + fs::path(self).wstring() + L"\"";
    for (const std::string& arg : args) command += L" \"" + fs::path(arg).wstring() + L"\"";
    return command;
}

HANDLE Spawn(std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        return nullptr;
    }
    ::CloseHandle(child.hThread);
    return child.hProcess;
}

}  // namespace

int RunStep(const char* self, const std::vector<std::string>& args) {
    std::fflush(stdout);
    HANDLE child = Spawn(CommandLine(self, args));
    if (child == nullptr) return -1;
    DWORD code = 1;
    if (::WaitForSingleObject(child, INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(child, &code)) code = 1;
    ::CloseHandle(child);
    return static_cast<int>(code);
}

double RunTogether(int processes, const char* self, const std::vector<std::string>& childArgs,
                   const std::function<void()>&) {
    std::wstring go = L"actlog-bench-go-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, go.c_str());
    if (event == nullptr) return -1;
    std::wstring command = CommandLine(self, childArgs) + L" " + go;
    std::vector<HANDLE> children;
    bool failed = false;
    for (int p = 0; p < processes && !failed; ++p) {
        HANDLE child = Spawn(command);
        if (child == nullptr) failed = true;
        else children.push_back(child);
    }
    // Started processes wait on the event; give them time to reach it.
    ::Sleep(500);
    Clock::time_point t0 = Clock::now();
    ::SetEvent(event);
    for (HANDLE child : children) {
        DWORD code = 1;
        if (::WaitForSingleObject(child, INFINITE) != WAIT_OBJECT_0 || !::GetExitCodeProcess(child, &code) || code != 0) {
            failed = true;
        }
        ::CloseHandle(child);
    }
    double took = Seconds(t0);
    ::CloseHandle(event);
    return failed ? -1 : took;
}

int RunChild(const std::string& go, const std::function<void()>& work) {
    HANDLE event = ::OpenEventW(SYNCHRONIZE, FALSE, fs::path(go).wstring().c_str());
    if (event == nullptr || ::WaitForSingleObject(event, INFINITE) != WAIT_OBJECT_0) return 1;
    ::CloseHandle(event);
    work();
    return 0;
}

bool CopyWithSystemTool(const fs::path& from, const fs::path& to) {
    return ::CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}
bool RemoveWithSystemTool(const fs::path& file) { return ::DeleteFileW(file.c_str()) != 0; }
bool WriteBackEverything() { return true; }

}  // namespace bench
