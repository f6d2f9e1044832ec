#include <gtest/gtest.h>

#include <functional>

#include "files/log_files.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"
#include "files/journal_files.h"

namespace {

using namespace testsupport;
using Op = FaultInjectingPlatform::Op;
using actlog::platform::WaitResult;

class JournalWriterFaultTest : public SandboxTest {
protected:
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    FaultInjectingPlatform faults;
    ScopedPlatform installed{faults};
};

// A failed write is cut back: no half line is left for the next one to follow.
TEST_F(JournalWriterFaultTest, FailuresLeaveNothingBehind) {
    LogSystemTime t{};
    t.wYear = 2009;
    t.wMonth = 2;
    t.wDay = 1;
    struct Row {
        const char* name;
        std::function<void()> arm;
        bool exists;
        std::vector<std::uint8_t> after;
    };
    const Row rows[] = {
        {"sync mutex not opened", [&] { faults.FailNth(Op::MutexOpen, 1); }, false, {}},
        {"wait failed", [&] { faults.OverrideWait(1, WaitResult::Failed); }, false, {}},
        {"sync mutex abandoned", [&] { faults.OverrideWait(1, WaitResult::Abandoned); }, false, {}},
        {"journal not opened", [&] { faults.FailNth(Op::Open, 1); }, false, {}},
        {"journal not positioned", [&] { faults.FailNth(Op::Seek, 1); }, true, {}},
        {"mark not written", [&] { faults.FailNth(Op::Write, 1); }, true, {}},
        {"record not written", [&] { faults.FailNth(Op::Write, 2); }, true, {}},
        {"record written part-way", [&] { faults.FailWritePartially(2, 10); }, true, {}},
    };
    for (const Row& row : rows) {
        fs::remove(Journal());
        row.arm();
        EXPECT_EQ(actlog::SyncLogPrune(&t, u"vm01"), -1) << row.name;
        faults.Disarm();
        EXPECT_EQ(Exists(Journal()), row.exists) << row.name;
        if (row.exists) {
            EXPECT_EQ(ReadBytes(Journal()), row.after) << row.name;
        }
        // The sync mutex is free again, whatever the wait gave.
        actlog::LogMutex probe(actlog::kSyncMutexBase, nullptr);
        EXPECT_TRUE(probe.Wait(actlog::platform::WaitTime::Zero)) << row.name;
    }
}

}  // namespace
