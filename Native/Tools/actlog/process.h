// Child processes of the demo: this program started again with arguments.
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

    // Starts `program` with `args`; started() tells whether that worked.
    static Process Start(const std::filesystem::path& program, const std::vector<std::string>& args);
    bool started() const { return handle_ != 0; }
    // The exit code once the process has ended, without waiting.
    std::optional<int> Poll();
    int Wait();

private:
    long long handle_ = 0;  // pid or process handle
    std::optional<int> exitCode_;
};

}  // namespace actlogtool
