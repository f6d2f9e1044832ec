#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/child_process.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

#ifdef _WIN32
constexpr int kRecordsPerThread = 800;  // appends are about ten times slower under Wine
#else
constexpr int kRecordsPerThread = 2000;
#endif
constexpr int kThreads = 2;
constexpr int kProcesses = 4;

std::set<std::string> ReadFailures(const fs::path& output) {
    std::set<std::string> failures;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) failures.insert(line);
    }
    return failures;
}

class AppendConcurrencyTest : public SandboxTest {};

TEST_F(AppendConcurrencyTest, ProcessesAndThreadsAppendWithoutLossOrInterleaving) {
    sandbox.InstallSharedLibrary();
    struct Writer {
        std::string owner, tag;
        fs::path output;
    };
    std::vector<Writer> writers;
    for (int p = 0; p < kProcesses; ++p) {
        writers.push_back({"vm01", "p" + std::to_string(p), sandbox.root / ("p" + std::to_string(p) + ".out")});
    }
    writers.push_back({"vm02", "q", sandbox.root / "q.out"});

    std::vector<ChildProcess> children;
    for (const Writer& w : writers) {
        children.push_back(StartLogChild(sandbox, "append",
                                         {w.owner, std::to_string(kThreads), std::to_string(kRecordsPerThread), w.tag},
                                         w.output));
        ASSERT_TRUE(children.back().started());
    }
    for (ChildProcess& child : children) EXPECT_EQ(child.Wait(), 0);

    std::map<std::string, std::multiset<std::string>> expected;
    for (const Writer& w : writers) {
        std::set<std::string> failures = ReadFailures(w.output);
        EXPECT_TRUE(failures.empty()) << failures.size() << " appends of " << w.tag << " failed";
        for (int t = 0; t < kThreads; ++t) {
            for (int n = 0; n < kRecordsPerThread; ++n) {
                std::string text = w.tag + "-t" + std::to_string(t) + "-" + std::to_string(n);
                if (!failures.count(text)) expected[w.owner].insert(text);
            }
        }
    }

    // A record torn or interleaved by another writer, or an index entry off
    // its record end, fails the read or changes the messages.
    for (const std::string owner : {"vm01", "vm02"}) {
        std::optional<std::vector<std::u16string>> read = LoggedMessages(W(U16(std::string_view(owner)).c_str()));
        ASSERT_TRUE(read.has_value()) << owner;
        std::multiset<std::string> logged;
        for (const std::u16string& message : *read) logged.insert(Utf8(message));
        EXPECT_EQ(logged.size(), expected[owner].size()) << owner;
        EXPECT_TRUE(logged == expected[owner]) << owner;
    }
}

}  // namespace
