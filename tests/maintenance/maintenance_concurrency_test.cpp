// Maintenance while other processes write and read: nothing a writer was told
// is logged goes missing, nothing stands twice, and the index keeps matching.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "maintenance_helpers.h"
#include "support/child_process.h"
#include "support/sandbox.h"

#include "Log.h"
#include "files/log_files.h"

namespace {

using namespace maintenancetest;
using testsupport::ChildProcess;
using testsupport::ReadBytes;
using testsupport::ReadIndex;
using testsupport::StartLogChild;

// Writers pause 10 ms between records (a Windows sleep lasts a tick, about 16 ms),
// so that they write for about three seconds and the prunes, one second
// behind, find records to remove.
#ifdef _WIN32
constexpr int kRecordsPerWriter = 200;
#else
constexpr int kRecordsPerWriter = 300;
#endif

struct Written {
    std::string text;
    int result = 0;
    long long before = 0;  // epoch second taken before the call
};

std::vector<Written> ReadWritten(const fs::path& output) {
    std::vector<Written> all;
    std::ifstream in(output);
    Written w;
    while (in >> w.text >> w.result >> w.before) all.push_back(w);
    return all;
}

std::u16string U16Text(const std::string& text) { return testsupport::U16(std::string_view(text)); }

class MaintenanceConcurrencyTest : public testsupport::SandboxTest {
protected:
    // Every record a writer was told is logged stands once, or was older than
    // the date of a completed prune.
    void ExpectNothingLost(const std::vector<Written>& written, long long lastPruneDate, const fs::path& log) {
        std::vector<std::u16string> lines = Lines(log);
        int checked = 0;
        for (const Written& w : written) {
            ASSERT_EQ(0, w.result) << w.text;
            int found = CountMessage(lines, U16Text(w.text));
            EXPECT_LE(found, 1) << w.text << " stands twice";
            if (found == 0) {
                EXPECT_LE(w.before, lastPruneDate) << w.text << " is missing";
            }
            ++checked;
        }
        EXPECT_GT(checked, 0);
    }

    // The index matches the log byte for byte: the rebuild of a copy gives the same.
    void ExpectIndexMatches(const std::string& owner) {
        std::filesystem::copy_file(Log(owner), Log("copy"), std::filesystem::copy_options::overwrite_existing);
        std::filesystem::remove(Index("copy"));
        ASSERT_EQ(0, ReIndexLog(W(u"copy")));
        EXPECT_EQ(ReadBytes(Index("copy")), ReadBytes(Index(owner)));
        EXPECT_EQ(LineEndOffsets(Log(owner)), ReadIndex(Index(owner)));
    }
};

TEST_F(MaintenanceConcurrencyTest, PruneWhileWritingAndReading) {
    sandbox.InstallSharedLibrary();
    const fs::path stop = sandbox.root / "stop";
    std::vector<ChildProcess> writers;
    for (int p = 0; p < 4; ++p) {
        writers.push_back(StartLogChild(sandbox, "maint-write",
                                        {"vm7", std::to_string(kRecordsPerWriter), "w" + std::to_string(p), "10"},
                                        sandbox.root / ("w" + std::to_string(p) + ".out")));
        ASSERT_TRUE(writers.back().started());
    }
    const fs::path stopPruning = sandbox.root / "stop-pruning";
    ChildProcess pruner = StartLogChild(sandbox, "maint-prune",
                                        {"vm7", testsupport::Utf8(testsupport::U16(stopPruning)), "100", "1"},
                                        sandbox.root / "prune.out");
    ChildProcess reader = StartLogChild(sandbox, "maint-read", {"vm7", testsupport::Utf8(testsupport::U16(stop))},
                                        sandbox.root / "read.out");
    ASSERT_TRUE(pruner.started() && reader.started());
    for (ChildProcess& w : writers) EXPECT_EQ(0, w.Wait());
    testsupport::WriteBytes(stopPruning, {});
    EXPECT_EQ(0, pruner.Wait());
    testsupport::WriteBytes(stop, {});
    EXPECT_EQ(0, reader.Wait());

    long long lastDate = 0;
    int removed = 0;
    std::ifstream prunes(sandbox.root / "prune.out");
    int result = 0;
    long long date = 0;
    while (prunes >> result >> date) {
        EXPECT_GE(result, 0) << "a prune failed with nobody else pruning";
        if (result > 0) {
            removed += result;
            lastDate = std::max(lastDate, date);
        }
    }
    EXPECT_GT(removed, 0) << "no prune removed anything: the test proves nothing";

    std::vector<Written> written;
    for (int p = 0; p < 4; ++p) {
        std::vector<Written> one = ReadWritten(sandbox.root / ("w" + std::to_string(p) + ".out"));
        EXPECT_EQ(static_cast<std::size_t>(kRecordsPerWriter), one.size());
        written.insert(written.end(), one.begin(), one.end());
    }
    ExpectNothingLost(written, lastDate, Log("vm7"));
    // The last prune's date lies a second behind the writers' end: their newest records must stand.
    EXPECT_GT(Lines(Log("vm7")).size(), 0u);
    ExpectIndexMatches("vm7");
    EXPECT_TRUE(Leftovers(sandbox.logs).empty());

    std::ifstream reads(sandbox.root / "read.out");
    std::string word;
    long value = 0;
    long pages = 0;
    while (reads >> word >> value) {
        EXPECT_NE("fail", word) << "a reader failed at start " << value;
        if (word == "pages") pages = value;
    }
    EXPECT_GT(pages, 0);
}

TEST_F(MaintenanceConcurrencyTest, RebuildWhileWriting) {
    sandbox.InstallSharedLibrary();
    std::vector<ChildProcess> writers;
    for (int p = 0; p < 2; ++p) {
        writers.push_back(StartLogChild(sandbox, "maint-write",
                                        {"vm8", std::to_string(kRecordsPerWriter), "r" + std::to_string(p), "2"},
                                        sandbox.root / ("r" + std::to_string(p) + ".out")));
        ASSERT_TRUE(writers.back().started());
    }
    // Wait for some records, then take the index away between two appends.
    for (int tries = 0; tries < 2000 && (!testsupport::Exists(Index("vm8")) || ReadIndex(Index("vm8")).size() < 20);
         ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    {
        actlog::LogMutex write(actlog::kWriteMutexBase, u"vm8");
        ASSERT_TRUE(write.Wait(actlog::platform::WaitTime::Infinite));
        std::filesystem::remove(Index("vm8"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(0, ReIndexLog(W(u"vm8")));
    for (ChildProcess& w : writers) EXPECT_EQ(0, w.Wait());

    EXPECT_EQ(LineEndOffsets(Log("vm8")), ReadIndex(Index("vm8")));
    std::map<std::u16string, int> seen;
    for (std::uint32_t start = 0;; start += 100) {
        ActivityEntry* entries = nullptr;
        std::uint32_t returned = 0;
        std::uint32_t total = 0;
        ASSERT_EQ(0, GetLog(start, 100, &entries, &returned, &total, W(u"vm8")));
        for (std::uint32_t i = 0; i < returned; ++i) {
            std::u16string text(reinterpret_cast<const char16_t*>(entries[i].messageText));
            ++seen[text.substr(text.find_first_not_of(u' '))];
        }
        FreeLog(entries);
        if (start + 100 >= total) break;
    }
    int zero = 0;
    for (int p = 0; p < 2; ++p) {
        for (const Written& w : ReadWritten(sandbox.root / ("r" + std::to_string(p) + ".out"))) {
            if (w.result != 0) continue;
            ++zero;
            EXPECT_EQ(1, seen[U16Text(w.text)]) << w.text;
        }
    }
    EXPECT_GT(zero, kRecordsPerWriter);
    EXPECT_TRUE(Leftovers(sandbox.logs).empty());
}

}  // namespace
