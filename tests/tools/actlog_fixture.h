// Runs actlog as a process from a sandbox installation: bin/ holds actlog, the
// shared library and the English message library, so the tool's Logs and
// DataSync directories are the sandbox's.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace actlogtest {

using namespace testsupport;

// The lines of a text, each without its LF or CR LF.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        start = end + 1;
    }
    return lines;
}

inline std::string ReadText(const fs::path& path) {
    std::vector<std::uint8_t> bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

struct RunResult {
    int status = -1;
    std::string out;  // standard output, CR removed
    std::string err;  // standard error, CR removed
};

class ActlogTest : public ::testing::Test {
protected:
    ActlogTest() {
        sandbox.InstallSharedLibrary();
        fs::copy_file(ArtifactDir() / ProgramName("actlog"), Actlog(), fs::copy_options::overwrite_existing);
    }
    RunResult Run(const std::vector<std::string>& args) const {
        RunResult run;
        run.status = RunProgram(Actlog(), args, &run.out, &run.err);
        std::erase(run.out, '\r');
        std::erase(run.err, '\r');
        return run;
    }
    // The standard output of a run that must succeed.
    std::string Output(const std::vector<std::string>& args) const {
        RunResult run = Run(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return run.out;
    }
    fs::path Actlog() const { return sandbox.bin / ProgramName("actlog"); }
    fs::path LogFile(std::string_view owner = {}) const { return sandbox.logs / (Prefix(owner) + "activity.log"); }
    fs::path IndexFile(std::string_view owner = {}) const { return sandbox.logs / (Prefix(owner) + "activity.idx"); }
    static std::string Prefix(std::string_view owner) { return owner.empty() ? "" : std::string(owner) + "."; }

    Sandbox sandbox{{"enu"}};
};

}  // namespace actlogtest
