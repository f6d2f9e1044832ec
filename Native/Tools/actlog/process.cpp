#include "process.h"

#include <utility>

#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
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

Process Process::Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& outputFile, const std::filesystem::path& errorFile) {
    std::wstring commandLine = Quote(program.wstring());
    for (const std::string& arg : args) {
        WideString wide = Widen(arg);
        commandLine += L" " + Quote(std::wstring(wide.begin(), wide.end()));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    auto open = [&](const std::filesystem::path& file) {
        return file.empty() ? INVALID_HANDLE_VALUE
                            : CreateFileW(file.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE output = open(outputFile);
    HANDLE errors = open(errorFile);
    const bool redirect = output != INVALID_HANDLE_VALUE || errors != INVALID_HANDLE_VALUE;
    if (redirect) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output != INVALID_HANDLE_VALUE ? output : GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = errors != INVALID_HANDLE_VALUE ? errors : GetStdHandle(STD_ERROR_HANDLE);
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    }
    PROCESS_INFORMATION info{};
    Process process;
    // A busy system (a loaded Wine server) can refuse a start once; it is tried again.
    for (int attempt = 0; attempt < 3 && !process.started(); ++attempt) {
        if (CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, redirect, 0, nullptr,
                           nullptr, &startup, &info)) {
            CloseHandle(info.hThread);
            process.handle_ = reinterpret_cast<long long>(info.hProcess);
        } else {
            Sleep(100);
        }
    }
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
    return process;
}

void Process::Kill() {
    if (!started() || exitCode_) return;
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 137);
    Wait();
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

Process Process::Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                       const std::filesystem::path& outputFile, const std::filesystem::path& errorFile) {
    std::vector<std::string> all{program.string()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    if (!errorFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    pid_t pid = 0;
    Process process;
    if (posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ) == 0) process.handle_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    return process;
}

void Process::Kill() {
    if (!started() || exitCode_) return;
    ::kill(static_cast<pid_t>(handle_), SIGKILL);
    Wait();
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
