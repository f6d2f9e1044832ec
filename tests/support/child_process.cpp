#include "support/child_process.h"

#include <cstdio>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace testsupport {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : handle_(std::exchange(other.handle_, 0)), waited_(other.waited_), exitCode_(other.exitCode_) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (started() && !waited_) Wait();
        handle_ = std::exchange(other.handle_, 0);
        waited_ = other.waited_;
        exitCode_ = other.exitCode_;
    }
    return *this;
}

ChildProcess::~ChildProcess() {
    if (started() && !waited_) Wait();
}

bool ChildProcess::started() const { return handle_ != 0; }

#ifdef _WIN32

namespace {
std::wstring Quote(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') out.append(backslashes * 2 + 1, L'\\');
        else out.append(backslashes, L'\\');
        backslashes = 0;
        out.push_back(c);
    }
    out.append(backslashes * 2, L'\\');
    out.push_back(L'"');
    return out;
}
std::wstring Wide(const std::string& utf8) {
    std::u16string text = U16(std::string_view(utf8));
    return std::wstring(text.begin(), text.end());
}
}  // namespace

ChildProcess ChildProcess::Start(const fs::path& program, const std::vector<std::string>& args,
                                 const fs::path& outputFile, const fs::path& errorFile) {
    std::wstring commandLine = Quote(program.wstring());
    for (const std::string& arg : args) commandLine += L" " + Quote(Wide(arg));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    auto open = [&](const fs::path& file) {
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
    ChildProcess child;
    // Under a loaded Wine server a process start can fail once; try again
    // before reporting it.
    for (int attempt = 0; attempt < 3 && !child.started(); ++attempt) {
        if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, redirect, 0, nullptr, nullptr, &startup,
                           &info)) {
            CloseHandle(info.hThread);
            child.handle_ = reinterpret_cast<long long>(info.hProcess);
        } else {
            std::fprintf(stderr, "child process: CreateProcessW failed with error %lu (try %d)\n", GetLastError(),
                         attempt + 1);
            Sleep(100);
        }
    }
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (errors != INVALID_HANDLE_VALUE) CloseHandle(errors);
    return child;
}

int ChildProcess::Wait() {
    if (!started()) return -1;
    if (!waited_) {
        HANDLE process = reinterpret_cast<HANDLE>(handle_);
        DWORD code = static_cast<DWORD>(-1);
        if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
            std::fprintf(stderr, "child process: wait failed with error %lu\n", GetLastError());
        }
        CloseHandle(process);
        exitCode_ = static_cast<int>(code);
        waited_ = true;
    }
    return exitCode_;
}

bool ChildProcess::Ended() {
    if (!started()) return true;
    return waited_ || WaitForSingleObject(reinterpret_cast<HANDLE>(handle_), 0) == WAIT_OBJECT_0;
}

void ChildProcess::Kill() {
    if (!started() || waited_) return;
    TerminateProcess(reinterpret_cast<HANDLE>(handle_), 137);
    Wait();
}

#else

ChildProcess ChildProcess::Start(const fs::path& program, const std::vector<std::string>& args,
                                 const fs::path& outputFile, const fs::path& errorFile) {
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
    ChildProcess child;
    if (posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), environ) == 0) child.handle_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    return child;
}

int ChildProcess::Wait() {
    if (!started()) return -1;
    if (!waited_) {
        int status = 0;
        pid_t pid = static_cast<pid_t>(handle_);
        while (waitpid(pid, &status, 0) < 0) {
        }
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        waited_ = true;
    }
    return exitCode_;
}

bool ChildProcess::Ended() {
    if (!started() || waited_) return true;
    int status = 0;
    if (waitpid(static_cast<pid_t>(handle_), &status, WNOHANG) != static_cast<pid_t>(handle_)) return false;
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    waited_ = true;
    return true;
}

void ChildProcess::Kill() {
    if (!started() || waited_) return;
    ::kill(static_cast<pid_t>(handle_), SIGKILL);
    Wait();
}

#endif

ChildProcess StartLogChild(const Sandbox& sandbox, const std::string& command, const std::vector<std::string>& args,
                           const fs::path& outputFile) {
    std::vector<std::string> all{sandbox.ModulePath().string(), command};
    all.insert(all.end(), args.begin(), args.end());
    return ChildProcess::Start(ArtifactDir() / ProgramName("log_child"), all, outputFile);
}

namespace {

void TakeCapture(const fs::path& capture, std::string* text) {
    if (text == nullptr) return;
    std::vector<std::uint8_t> bytes = ReadBytes(capture);
    text->assign(bytes.begin(), bytes.end());
    std::error_code ec;
    fs::remove(capture, ec);
}

}  // namespace

int RunProgram(const fs::path& program, const std::vector<std::string>& args, std::string* output,
               std::string* errors) {
    const std::string suffix = "-" + program.filename().string() + ".txt";
    const fs::path outputCapture = output != nullptr ? UniqueTempPath("output", suffix) : fs::path();
    const fs::path errorCapture = errors != nullptr ? UniqueTempPath("errors", suffix) : fs::path();
    ChildProcess child = ChildProcess::Start(program, args, outputCapture, errorCapture);
    int code = child.Wait();
    TakeCapture(outputCapture, output);
    TakeCapture(errorCapture, errors);
    return code;
}

}  // namespace testsupport
