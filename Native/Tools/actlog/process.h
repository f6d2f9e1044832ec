// Child processes: the demo's writers (this program started again) and, in the
// tests, the helper programs they start.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace actlogtool {

class Process {
public:
    Process() = default;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();  // waits for a process still running

    // Starts `program` with `args`, standard output and standard error going to
    // the files given (created anew) or else shared; started() tells whether
    // that worked.
    static Process Start(const std::filesystem::path& program, const std::vector<std::string>& args,
                         const std::filesystem::path& outputFile = {}, const std::filesystem::path& errorFile = {});
    bool started() const { return handle_ != 0; }
    // The exit code once the process has ended, without waiting.
    std::optional<int> Poll();
    // Waits; the exit code (128 + the signal after a signal), -1 when never started.
    int Wait();
    // Ends the process at once (SIGKILL, TerminateProcess) and waits for it.
    void Kill();

private:
    long long handle_ = 0;  // pid or process handle
    std::optional<int> exitCode_;
};

}  // namespace actlogtool
