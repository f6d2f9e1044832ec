#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/child_process.h"
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
constexpr std::size_t kPrefixChars = 34;  // stamp, " - ", "    Error", ": "

std::set<std::string> ReadFailures(const fs::path& output) {
    std::set<std::string> failures;
    std::ifstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) failures.insert(line);
    }
    return failures;
}

// Checks a log line by line against its index; gives the message texts.
std::multiset<std::string> CheckLog(const fs::path& log, const fs::path& index) {
    std::u16string text = ReadUtf16(log);
    std::vector<std::uint32_t> entries = ReadIndex(index);
    std::multiset<std::string> messages;
    EXPECT_EQ(ReadBytes(index).size() % 4, 0u);
    if (text.empty() || text[0] != u'\xFEFF') {
        ADD_FAILURE() << "no byte-order mark in " << log;
        return messages;
    }
    std::size_t start = 1;
    std::size_t record = 0;
    while (start < text.size()) {
        std::size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) {
            ADD_FAILURE() << "record without line end at character " << start;
            break;
        }
        std::u16string line = text.substr(start, end - start);
        if (line.size() <= kPrefixChars || line.substr(20, kPrefixChars - 20) != u" -     Error: ") {
            ADD_FAILURE() << "damaged record: " << Utf8(line);
        } else {
            messages.insert(Utf8(line.substr(kPrefixChars)));
        }
        start = end + 2;
        if (record >= entries.size() || entries[record] != 2 * start) {
            ADD_FAILURE() << "index entry " << record << " does not end its record";
            break;
        }
        ++record;
    }
    EXPECT_EQ(record, entries.size());
    return messages;
}

// ADD lines of the journal, by owner, as message texts.
std::map<std::string, std::multiset<std::string>> JournalMessages(const fs::path& journal) {
    std::map<std::string, std::multiset<std::string>> byOwner;
    std::u16string text = ReadUtf16(journal);
    std::size_t at = 1;
    while (at + 11 <= text.size()) {
        std::size_t bytes = std::stoul(Utf8(text.substr(at, 10)));
        std::u16string line = text.substr(at + 11, bytes / 2);
        at += 11 + bytes / 2;
        if (line.size() < 2 || line.substr(line.size() - 2) != u"\r\n" || line.substr(0, 4) != u"ADD ") {
            ADD_FAILURE() << "damaged journal record: " << Utf8(line);
            break;
        }
        // "ADD yyyy/mm/dd hh:mm:ss -- <owner> -- 1 - Job0 - <text>\r\n"
        std::u16string rest = line.substr(27, line.size() - 29);
        std::size_t split = rest.find(u" -- 1 - Job0 - ");
        if (split == std::u16string::npos) {
            ADD_FAILURE() << "unexpected journal line: " << Utf8(line);
            continue;
        }
        byOwner[Utf8(rest.substr(0, split))].insert(Utf8(rest.substr(split + 15)));
    }
    EXPECT_EQ(at, text.size());
    return byOwner;
}

class AppendConcurrencyTest : public SandboxTest {};

TEST_F(AppendConcurrencyTest, ProcessesAndThreadsAppendWithoutLossOrInterleaving) {
    sandbox.InstallSharedLibrary();
    sandbox.CreateFullSyncMark();
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

    std::map<std::string, std::multiset<std::string>> journal = JournalMessages(sandbox.dataSync / "activity_sync.log");
    for (const std::string owner : {"vm01", "vm02"}) {
        std::multiset<std::string> logged = CheckLog(Log(owner), Index(owner));
        EXPECT_EQ(logged.size(), expected[owner].size()) << owner;
        EXPECT_TRUE(logged == expected[owner]) << owner;
        EXPECT_TRUE(journal[owner] == expected[owner]) << owner;
    }
    EXPECT_EQ(journal.size(), 2u);
}

}  // namespace
