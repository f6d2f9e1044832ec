#include "process.h"

#include <utility>

#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace actlogtool {

Process::Process(Process&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), exitCode_(std::exchange(other.exitCode_, std::nullopt)) {}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        if (started()) Wait();
        handle_ = std::exchange(other.handle_, 0);
        exitCode_ = std::exchange(other.exitCode_, std::nullopt);
    }
    return *this;
}

Process::~Process() {
    if (started()) Wait();
}

#ifdef _WIN32

namespace {

// Quotes one argument the way CommandLineToArgvW reads it back.
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}

}  // namespace

Process Process::Start(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::wstring commandLine = Quote(program.wstring());
    for (const std::string& arg : args) {
        WideString wide = Widen(arg);
        commandLine += L" " + Quote(std::wstring(wide.begin(), wide.end()));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    Process process;
    if (CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        process.handle_ = reinterpret_cast<long long>(info.hProcess);
    }
    return process;
}

std::optional<int> Process::Poll() {
    if (!exitCode_ && started()) {
        HANDLE handle = reinterpret_cast<HANDLE>(handle_);
        if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0) {
            DWORD code = 1;
            GetExitCodeProcess(handle, &code);
            CloseHandle(handle);
            handle_ = 0;
            exitCode_ = static_cast<int>(code);
        }
    }
    return exitCode_;
}

int Process::Wait() {
    if (!exitCode_ && started()) {
        HANDLE handle = reinterpret_cast<HANDLE>(handle_);
        DWORD code = 1;
        if (WaitForSingleObject(handle, INFINITE) == WAIT_OBJECT_0) GetExitCodeProcess(handle, &code);
        CloseHandle(handle);
        handle_ = 0;
        exitCode_ = static_cast<int>(code);
    }
    return exitCode_.value_or(-1);
}

#else

Process Process::Start(const std::filesystem::path& program, const std::vector<std::string>& args) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    Process process;
    if (posix_spawn(&pid, all[0].c_str(), nullptr, nullptr, argv.data(), environ) == 0) process.handle_ = pid;
    return process;
}

namespace {

int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

}  // namespace

std::optional<int> Process::Poll() {
    if (!exitCode_ && started()) {
        int status = 0;
        if (waitpid(static_cast<pid_t>(handle_), &status, WNOHANG) == static_cast<pid_t>(handle_)) {
            handle_ = 0;
            exitCode_ = ExitCodeOf(status);
        }
    }
    return exitCode_;
}

int Process::Wait() {
    if (!exitCode_ && started()) {
        int status = 0;
        pid_t pid = static_cast<pid_t>(handle_);
        if (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        handle_ = 0;
        exitCode_ = ExitCodeOf(status);
    }
    return exitCode_.value_or(-1);
}

#endif

}  // namespace actlogtool
