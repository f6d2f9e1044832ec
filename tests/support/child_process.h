// Child processes for multi-process tests. The helper program `log_child`
// (support/child_main.cpp) loads the real shared library from a path at run time
// and runs one registered command; commands live in tests/<folder>/*_child.cpp.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/sandbox.h"

namespace testsupport {

class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ~ChildProcess();  // waits for the process if still running

    // Starts `program` (a path) with `args`; standard output goes to `outputFile`
    // and standard error to `errorFile` when given.
    static ChildProcess Start(const fs::path& program, const std::vector<std::string>& args,
                              const fs::path& outputFile = {}, const fs::path& errorFile = {});
    bool started() const;
    // Waits and gives the exit code (-1 when it could not be waited for).
    int Wait();
    // True once the process has ended (then Wait gives its code at once).
    bool Ended();
    // Ends the process at once (SIGKILL, TerminateProcess) and waits for it.
    void Kill();

private:
    long long handle_ = 0;  // pid or process handle
    bool waited_ = false;
    int exitCode_ = -1;
};

// Starts log_child for `sandbox` (the sandbox must have the shared library
// installed): log_child <bin>/<shared library> <command> <args...>
ChildProcess StartLogChild(const Sandbox& sandbox, const std::string& command,
                           const std::vector<std::string>& args, const fs::path& outputFile = {});
// Runs a program to its end and gives its exit code; its standard output in
// *output and its standard error in *errors when given.
int RunProgram(const fs::path& program, const std::vector<std::string>& args, std::string* output = nullptr,
               std::string* errors = nullptr);

}  // namespace testsupport
