// The sync journal end to end: processes log while a collector takes the
// journal over batch by batch and a prune runs; full resynchronisations while
// processes log.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "support/child_process.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"
#include "sync_test_helpers.h"

#include "Log.h"
#include "activity/record_append.h"
#include "platform/platform.h"
#include "sync/journal_reader.h"

namespace {

using namespace synctest;
using testsupport::ChildProcess;
using testsupport::StartLogChild;

#ifdef _WIN32
constexpr int kRecordsPerWriter = 120;  // processes start slowly under the emulation layer
#else
constexpr int kRecordsPerWriter = 1500;
#endif

struct Writer {
    const char* owner;      // child argument: "-" for the machine
    const char16_t* field;  // the owner field of its ADD lines
    const char* tag;
};
const Writer kWriters[] = {{"-", u"<NULL>", "m"}, {"vmA", u"vmA", "a"}, {"vmB", u"vmB", "b"}};

std::string Key(const std::u16string& owner, int severity, int job, const std::u16string& message) {
    return testsupport::Utf8(owner) + "|" + std::to_string(severity) + "|" + std::to_string(job) + "|" +
           testsupport::Utf8(message);
}

std::u16string U16Text(const std::string& text) { return testsupport::U16(std::string_view(text)); }

class SyncConcurrencyTest : public SyncTest {
protected:
    void SetUp() override {
        SyncTest::SetUp();
        sandbox.InstallSharedLibrary();
    }

    std::vector<ChildProcess> StartWriters() {
        std::vector<ChildProcess> children;
        for (const Writer& w : kWriters) {
            children.push_back(StartLogChild(sandbox, "sync-log", {w.owner, std::to_string(kRecordsPerWriter), w.tag},
                                             sandbox.root / (std::string(w.tag) + ".out")));
            EXPECT_TRUE(children.back().started());
        }
        return children;
    }

    void ExpectWritersSucceeded(std::vector<ChildProcess>& children) {
        for (std::size_t i = 0; i < children.size(); ++i) {
            EXPECT_EQ(0, children[i].Wait());
            std::ifstream failed(sandbox.root / (std::string(kWriters[i].tag) + ".out"));
            std::string line;
            EXPECT_FALSE(std::getline(failed, line)) << "a record failed: " << line;
        }
    }

    // One hand-over: switch, read in batches of 7, free, delete the hand-over
    // journal. False when there was nothing to take over.
    bool TakeOver(std::vector<Entry>& collected, int& failures) {
        if (SwitchSyncLog4Trans() != 0) return false;
        for (;;) {
            Batch batch = Read(GetNextSyncLogs, 7);
            if (batch.result == -1) {
                ++failures;
                break;
            }
            collected.insert(collected.end(), batch.entries.begin(), batch.entries.end());
            if (batch.result == 1) break;
        }
        LOG_WCHAR path[260];
        EXPECT_EQ(0, GetLogSyncFileTransName(path, 260));
        EXPECT_TRUE(actlog::platform::Current().RemoveFile(reinterpret_cast<const char16_t*>(path)));
        return true;
    }
};

TEST_F(SyncConcurrencyTest, CollectorTakesEveryJournaledRecordOnceWhileProcessesLogAndPrune) {
    {
        // Old records of one owner, logged before the mark existed, for the prune.
        testsupport::FaultInjectingPlatform faults;
        faults.SetUtcTime({2001, 6, 0, 15, 12, 0, 0, 0});
        testsupport::ScopedPlatform installed(faults);
        for (int i = 0; i < 5; ++i) ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, u"old", u"vmA"));
    }
    sandbox.CreateFullSyncMark();

    std::vector<ChildProcess> children = StartWriters();
    std::atomic<bool> done{false};
    std::thread waiter([&] {
        ExpectWritersSucceeded(children);
        done = true;
    });

    std::vector<Entry> collected;
    int failures = 0;
    int pruned = -1;
    const LogSystemTime cutOff{2010, 1, 0, 1, 0, 0, 0, 0};
    for (int round = 0; !done; ++round) {
        TakeOver(collected, failures);
        if (round == 2) pruned = PruneLog(&cutOff, W(u"vmA"));
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    waiter.join();
    if (pruned == -1) pruned = PruneLog(&cutOff, W(u"vmA"));
    while (TakeOver(collected, failures)) {
    }
    EXPECT_EQ(0, failures);
    EXPECT_EQ(5, pruned);

    std::map<std::string, int> expected;
    for (const Writer& w : kWriters) {
        for (int i = 0; i < kRecordsPerWriter; ++i) {
            if (i % 6 == 0 || i % 6 == 3) continue;
            expected[Key(w.field, i % 6, i, U16Text(w.tag + std::string("-") + std::to_string(i)))] = 1;
        }
    }
    std::map<std::string, int> adds;
    int prunes = 0;
    for (const Entry& e : collected) {
        if (e.kind == u"ADD") {
            ++adds[Key(e.owner.value_or(u"?"), e.severity, e.job, e.message.value_or(u"?"))];
        } else if (e.kind == u"PRUNE") {
            ++prunes;
            EXPECT_EQ(u"2010-01-01 00:00:00", e.time);
        }
    }
    EXPECT_EQ(expected, adds);
    EXPECT_EQ(1, prunes);
}

}  // namespace
