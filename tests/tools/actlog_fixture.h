// Runs actlog as a process from a sandbox installation: bin/ holds actlog, the
// shared library and the English message library, so the tool's Logs and
// DataSync directories are the sandbox's.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace actlogtest {

using namespace testsupport;

struct RunResult {
    int status = -1;
    std::string out;  // standard output, CR removed
    std::string err;  // standard error, CR removed
};

// The lines of a text, each without its LF or CR LF.
std::vector<std::string> Lines(const std::string& text);

class ActlogTest : public ::testing::Test {
protected:
    ActlogTest();
    RunResult Run(const std::vector<std::string>& args) const;
    fs::path Actlog() const { return sandbox.bin / ProgramName("actlog"); }
    fs::path LogFile(std::string_view owner = {}) const { return sandbox.logs / Named(owner, "activity.log"); }
    fs::path IndexFile(std::string_view owner = {}) const { return sandbox.logs / Named(owner, "activity.idx"); }

    Sandbox sandbox{{"enu"}};

private:
    static std::string Named(std::string_view owner, const char* name) {
        return owner.empty() ? std::string(name) : std::string(owner) + "." + name;
    }
};

}  // namespace actlogtest
