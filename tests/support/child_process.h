// Child processes for multi-process tests: the tool's process helper. The
// helper program `log_child` (support/child_main.cpp) loads the real shared
// library from a path at run time and runs one registered command; commands
// live in tests/<folder>/*_child.cpp.
#pragma once

#include <string>
#include <vector>

#include "actlog/process.h"
#include "support/sandbox.h"

namespace testsupport {

using ChildProcess = actlogtool::Process;

// Starts log_child for `sandbox` (the sandbox must have the shared library
// installed): log_child <bin>/<shared library> <command> <args...>
ChildProcess StartLogChild(const Sandbox& sandbox, const std::string& command,
                           const std::vector<std::string>& args, const fs::path& outputFile = {});
// Runs a program to its end and gives its exit code; its standard output in
// *output and its standard error in *errors when given.
int RunProgram(const fs::path& program, const std::vector<std::string>& args, std::string* output = nullptr,
               std::string* errors = nullptr);

}  // namespace testsupport
