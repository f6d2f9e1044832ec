// Crash-point and disk-full sweeps. Each multi-step operation is stopped after
// its file call N, for every N (the calls after it fail as a dead process
// makes no more; its mutexes are released as the OS releases a dead
// process's), optionally tearing the write it was in; or its writes stop when
// the disk fills after K bytes. Then the next ordinary calls must find a state
// in which every record whose call gave 0 is readable exactly once and in
// order, the pair is strictly consistent, and nothing is left over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <functional>
#include <optional>

#include "support/log_files_helpers.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"
#include "sync/sync_test_helpers.h"

#include "Log.h"
#include "files/new_pair.h"
#include "activity/record_append.h"
#include "files/record_bounds.h"

namespace {

using namespace testsupport;
using Faults = testsupport::FaultInjectingPlatform;
using Op = Faults::Op;

const LogSystemTime kNow = At(2024, 2, 1, 5, 0, 0);
const LogSystemTime kCut = At(2024, 2, 1, 2, 30, 0);

class CrashSweepTest;

struct Scenario {
    const char* name;
    // Puts the owner's files in the state the operation starts from.
    std::function<void(CrashSweepTest&)> setup;
    // The operation that is stopped; it records what it was told was logged.
    std::function<void(CrashSweepTest&)> operation;
    // Run before the check when the stopped operation's purpose needs it again.
    std::function<void()> retry = [] {};
    // Whether the operation, not stopped, and a read after it remove the records
    // a prune may remove.
    bool cuts = false;
    // Whether it leaves a new pair (its prune is still running elsewhere).
    bool leavesNewPair = false;
    // Whether it is stopped at every call too, or only run through.
    bool swept = true;
};

class CrashSweepTest : public testsupport::SandboxTest {
public:
    void SetUp() override {
        SandboxTest::SetUp();
        faults.SetUtcTime(kNow);
    }

    void Reset() {
        for (const std::string& name : testsupport::ListDir(sandbox.logs)) {
            if (name.find(".activity.") != std::string::npos) fs::remove(sandbox.logs / name);
        }
        WriteRecords(Log("vm"), Index("vm"),
                     {{At(2024, 2, 1, 1, 0, 0), u"old1"}, {At(2024, 2, 1, 2, 0, 0), u"old2"},
                      {At(2024, 2, 1, 3, 0, 0), u"keep3"}, {At(2024, 2, 1, 4, 0, 0), u"keep4"}});
        told = {u"old1", u"old2", u"keep3", u"keep4"};
        mayGo = {u"old1", u"old2"};
    }
    void Append(const std::u16string& text) {
        if (actlog::AppendActivityRecord(1, 0, text.c_str(), u"vm") == 0) told.push_back(text);
    }
    void Prune(LogSystemTime date = kCut) {
        PruneLog(&date, W(u"vm"));
    }

    // The owner's log, under whatever prefix a renaming gave it.
    fs::path OwnerLog() const {
        for (const std::string& name : testsupport::ListDir(sandbox.logs)) {
            if (name.size() >= 15 && name.compare(name.size() - 15, 15, "vm.activity.log") == 0) {
                return sandbox.logs / name;
            }
        }
        return Log("vm");
    }

    // Every index entry is a record boundary, every boundary has its entry,
    // and the log ends at the last one.
    void ExpectStrictPair() {
        std::vector<std::uint8_t> log = testsupport::ReadBytes(OwnerLog());
        std::vector<std::uint32_t> boundaries;
        for (std::size_t i = 2; i + 4 <= log.size(); i += 2) {
            if (actlog::IsLineEnd(log.data() + i) && actlog::IsBoundary(log.data() + i + 4, log.size() - i - 4)) {
                boundaries.push_back(static_cast<std::uint32_t>(i + 4));
            }
        }
        EXPECT_EQ(boundaries, testsupport::ReadIndex(Index("vm")));
        std::size_t start = log.size() >= 2 && log[0] == 0xFF && log[1] == 0xFE ? 2 : 0;
        EXPECT_EQ(boundaries.empty() ? start : boundaries.back(), log.size());
        EXPECT_EQ(std::vector<std::string>{}, Leftovers(sandbox.logs));
    }

    void ExpectInvariant(bool appendFirst) {
        if (appendFirst) {
            ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, u"after", u"vm"));
            told.push_back(u"after");
        }
        std::optional<std::vector<std::u16string>> read = LoggedMessages(W(u"vm"));
        ASSERT_TRUE(read.has_value());
        // A prune's cut is made whole or not at all.
        std::size_t gone = 0;
        for (const std::u16string& message : mayGo) gone += std::count(read->begin(), read->end(), message) == 0;
        EXPECT_TRUE(gone == 0 || gone == mayGo.size()) << gone << " of the prune's records gone";
        // As many times as acknowledged (a record whose call failed may be there once).
        for (const std::u16string& message : *read) {
            const std::ptrdiff_t wanted = std::max<std::ptrdiff_t>(1, std::count(told.begin(), told.end(), message));
            EXPECT_EQ(wanted, std::count(read->begin(), read->end(), message)) << testsupport::Utf8(message);
        }
        auto at = read->begin();
        for (const std::u16string& message : told) {
            auto found = std::find(at, read->end(), message);
            if (found == read->end()) {
                EXPECT_TRUE(std::count(mayGo.begin(), mayGo.end(), message) == 1)
                    << "lost or out of order: " << testsupport::Utf8(message);
                continue;
            }
            at = found + 1;
        }
        ExpectStrictPair();
    }

    // Stops the scenario's operation after every file call in turn.
    int Sweep(const Scenario& scenario) {
        Reset();
        scenario.setup(*this);
        faults.CrashAfter(1 << 30);
        scenario.operation(*this);
        const int calls = faults.CrashCounted();
        faults.Disarm();
        {
            // Not stopped, the operation finishes what it found and started.
            SCOPED_TRACE(testing::Message() << scenario.name << ": not stopped");
            if (!scenario.leavesNewPair) {
                EXPECT_EQ(std::vector<std::string>{}, Leftovers(sandbox.logs));
            }
            scenario.retry();
            std::optional<std::vector<std::u16string>> read = LoggedMessages(W(u"vm"));
            EXPECT_TRUE(read.has_value());
            if (!read) return 0;
            for (const std::u16string& message : mayGo) {
                EXPECT_EQ(scenario.cuts ? 0 : 1, std::count(read->begin(), read->end(), message));
            }
            if (!scenario.leavesNewPair) ExpectInvariant(false);
            if (HasFailure()) return 0;
        }
        for (int n = 0; scenario.swept && n <= calls; ++n) {
            // 150 bytes hold a whole short record and part of the next. The
            // last round appends while the dead operation's prune mutex is
            // still held: the OS releases a dead process's locks one by one.
            struct Round {
                std::uint32_t torn;
                bool appendWhileDying;
            };
            for (const Round round : {Round{0, false}, Round{3, false}, Round{150, false}, Round{0, true}}) {
                SCOPED_TRACE(testing::Message() << scenario.name << ": crash after call " << n << ", torn " << round.torn
                                                << (round.appendWhileDying ? ", append while dying" : ""));
                Reset();
                scenario.setup(*this);
                faults.CrashAfter(n, round.torn);
                scenario.operation(*this);
                faults.Disarm();
                if (round.appendWhileDying) {
                    MutexHeldElsewhere prune(actlog::kPruneMutexBase, u"vm");
                    Append(u"dying");
                }
                scenario.retry();
                ExpectInvariant(n % 2 == 1);
                if (HasFailure()) return n;
            }
        }
        return scenario.swept ? calls : 0;
    }

    fs::path OwnerIndex() const { return Index("vm"); }

    Faults faults;
    std::vector<std::u16string> told;   // records whose call gave 0
    std::vector<std::u16string> mayGo;  // records a prune may remove

private:
    testsupport::ScopedPlatform installed_{faults};
};

// A prune that made its new pair and then stopped with the prune mutex held
// elsewhere: appends go into the new pair.
void PruneStoppedAfterFronts(CrashSweepTest& t) {
    actlog::PairPaths paths(u"vm");
    std::vector<std::uint32_t> index = testsupport::ReadIndex(t.OwnerIndex());
    actlog::PruneMeasures m;
    m.count = 2;
    m.indexSize = static_cast<std::uint32_t>(4 * index.size());
    m.cutOffset = index[1];
    m.logSize = index.back();
    ASSERT_TRUE(actlog::CreateFronts(paths, m));
}

// A dead prune's new pair that holds one appended record.
void DeadPruneHolding(CrashSweepTest& t, const std::u16string& text) {
    PruneStoppedAfterFronts(t);
    MutexHeldElsewhere prune(actlog::kPruneMutexBase, u"vm");
    t.Append(text);
}

// The main pair's last record and the first appended to the new pair are
// byte for byte the same (one stamp, one text): both must stay.
void RepeatedAcrossFronts(CrashSweepTest& t) {
    t.Append(u"same");
    DeadPruneHolding(t, u"same");
}

const Scenario kScenarios[] = {
    {"append to the main pair", [](CrashSweepTest&) {}, [](CrashSweepTest& t) { t.Append(u"new"); }},
    {"append to a new pair", PruneStoppedAfterFronts,
     [](CrashSweepTest& t) {
         MutexHeldElsewhere prune(actlog::kPruneMutexBase, u"vm");
         t.Append(u"new1");
         t.Append(u"new2");
     },
     [] {}, true, true},
    // The dead prune is finished: its front is filled again from the main pair.
    {"recovery of a dead prune's new pair", PruneStoppedAfterFronts, [](CrashSweepTest& t) { t.Append(u"new"); },
     [] {}, true},
    // Without a main index the front cannot be filled: the new pair's records
    // go back to the main pair, whose index is rebuilt first.
    {"recovery of a dead prune's new pair without a main index",
     [](CrashSweepTest& t) {
         PruneStoppedAfterFronts(t);
         {
             MutexHeldElsewhere prune(actlog::kPruneMutexBase, u"vm");
             t.Append(u"new1");
             t.Append(u"new1b");
         }
         fs::remove(t.OwnerIndex());
     },
     [](CrashSweepTest& t) { t.Append(u"new2"); }, [] { ReIndexLog(W(u"vm")); }},
    // A refill that fails sends the records back to the indexed main pair. The
    // carried record is as long as a surviving one, so that a main pair grown
    // by a part-done carry-back still looks like the one the front was cut from.
    {"recovery of a dead prune's new pair whose refill fails",
     [](CrashSweepTest& t) { DeadPruneHolding(t, u"new01"); },
     [](CrashSweepTest& t) {
         t.faults.FailOnlyPaths(u".activity.log.new");
         t.faults.FailNth(Op::Write, 1);
         t.Append(u"new2");
     }},
    // While the new index will not open, recovery cannot finish the dead
    // prune: an append is refused rather than sent around the new pair (it is
    // as long as a surviving record: the main pair it grew would pass the
    // refill's size check), and a prune does not make its new pair over that one.
    {"a dead prune's new pair that recovery cannot finish",
     [](CrashSweepTest& t) { DeadPruneHolding(t, u"new1"); },
     [](CrashSweepTest& t) {
         t.faults.FailOnlyPaths(u".activity.idx.new");
         t.faults.FailNth(Op::Open, 1, true);
         t.Append(u"late5");
         t.Prune();
     },
     [] {}, true, true},
    {"recovery of a dead prune whose new record repeats the main pair's last", RepeatedAcrossFronts,
     [](CrashSweepTest& t) { t.Append(u"new2"); }, [] {}, true},
    {"carry-back of a record that repeats the main pair's last",
     [](CrashSweepTest& t) {
         RepeatedAcrossFronts(t);
         fs::remove(t.OwnerIndex());
     },
     [](CrashSweepTest& t) { t.Append(u"new2"); }, [] { ReIndexLog(W(u"vm")); }},
    // Nothing survives: the new pair starts empty.
    {"prune of every record", [](CrashSweepTest& t) { t.mayGo = t.told; }, [](CrashSweepTest& t) { t.Prune(kNow); },
     [] {}, true},
    // The owner's log is also renamed while the prune fills: the exchange
    // takes the log under the name it has then, and recovery finds that name
    // from the log's backup.
    {"prune with a rename and appends while it fills", [](CrashSweepTest&) {},
     [](CrashSweepTest& t) {
         t.faults.FailOnlyPaths(u".activity.log.new");
         t.faults.RunBeforeNth(Op::Open, 2, [&t] {
             Faults::Exempt exempt;
             VMUpdateLogFileNames(W(u"P"), W(u"vm"));
             t.Append(u"during1");
             t.Append(u"during2");
         });
         t.Prune();
     },
     [] {}, true},
    // The new log is there but will not open (an I/O error, not absence):
    // the append fails rather than write to the main pair the prune drops.
    {"prune whose append cannot open the new log", [](CrashSweepTest&) {},
     [](CrashSweepTest& t) {
         t.faults.FailOnlyPaths(u".activity.log.new");
         t.faults.RunBeforeNth(Op::Open, 2, [&t] {
             t.faults.FailNth(Op::Open, 1);
             t.Append(u"late5");
         });
         t.Prune();
     },
     [] {}, true},
    {"rebuild", [](CrashSweepTest& t) { fs::remove(t.OwnerIndex()); }, [](CrashSweepTest&) { ReIndexLog(W(u"vm")); },
     [] { ReIndexLog(W(u"vm")); }},
    {"rename", [](CrashSweepTest&) {}, [](CrashSweepTest&) { VMUpdateLogFileNames(W(u"P"), W(u"vm")); }},
};

TEST_F(CrashSweepTest, EveryCrashPointKeepsEveryAcknowledgedRecord) {
    int points = 0;
    for (const Scenario& scenario : kScenarios) {
        int calls = Sweep(scenario);
        points += calls + 1;
        if (HasFailure()) return;
    }
    std::printf("crash points swept: %d (each also with two torn writes and an append while dying)\n", points);
}

// Reads a journal to its end in batches of 7; false when a batch fails.
bool ReadsToTheEnd(synctest::Reader next, int* lines) {
    for (int round = 0; round < 1000; ++round) {
        synctest::Batch batch = synctest::Read(next, 7);
        if (batch.result == -1) return false;
        *lines += static_cast<int>(batch.entries.size());
        if (batch.result == 1) return true;
    }
    return false;
}

// The journal writers, the hand-over and the full resynchronisation stopped
// at every call: the journals stay readable to their end afterwards.
TEST_F(CrashSweepTest, JournalsStayReadableAfterEveryCrashPoint) {
    sandbox.CreateFullSyncMark();
    const std::function<void()> operations[] = {
        [this] { Append(u"journaled"); },
        [this] { Prune(); },
        [] { SwitchSyncLog4Trans(); },
        [] { MergeAllActiveLog2LogTransFull(); },
    };
    for (const auto& operation : operations) {
        for (int n = 0;; ++n) {
            SCOPED_TRACE(testing::Message() << "operation " << (&operation - operations) << ", crash after " << n);
            Reset();
            fs::remove(sandbox.dataSync / "activity_sync.log");
            fs::remove(sandbox.dataSync / "activity_sync_trans.log");
            Append(u"before");
            faults.CrashAfter(n, 5);
            operation();
            bool done = faults.CrashCounted() <= n;
            faults.Disarm();
            // A resynchronisation that died is run again by its caller.
            if (&operation == &operations[3]) MergeAllActiveLog2LogTransFull();
            Append(u"after");
            // A hand-over left in place is read first; the journal follows.
            int lines = 0;
            for (int round = 0; round < 2; ++round) {
                SwitchSyncLog4Trans();
                if (!testsupport::Exists(sandbox.dataSync / "activity_sync_trans.log")) break;
                EXPECT_TRUE(ReadsToTheEnd(GetNextSyncLogs, &lines));
                fs::remove(sandbox.dataSync / "activity_sync_trans.log");
            }
            // A resynchronisation replaces the live journal by the full one.
            if (testsupport::Exists(sandbox.dataSync / "activity_sync_trans_full.log")) {
                EXPECT_TRUE(ReadsToTheEnd(GetNextSyncLogsFull, &lines));
            }
            EXPECT_GE(lines, &operation == &operations[3] ? 1 : 2);
            if (HasFailure() || done) break;
        }
    }
}

TEST_F(CrashSweepTest, DiskFullCutsWritesBackAndNothingAcknowledgedGoes) {
    for (std::uint64_t room = 0; room < 420; room += 7) {
        SCOPED_TRACE(room);
        Reset();
        faults.DiskFullAfter(room);
        Append(u"first");
        Append(u"second");
        Prune();
        // A prune that runs out of room drops its new pair at once.
        EXPECT_EQ(std::vector<std::string>{}, Leftovers(sandbox.logs));
        faults.Disarm();
        ExpectInvariant(room % 2 == 1);
        if (HasFailure()) return;
    }
}

}  // namespace
