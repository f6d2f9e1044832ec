// Failure rows of the hand-over, the batch readers and the full
// resynchronisation, driven through the fault-injecting platform.
#include <gtest/gtest.h>

#include "support/fault_platform.h"
#include "support/sandbox.h"
#include "sync_test_helpers.h"

#include "Log.h"
#include "activity/record_append.h"
#include "sync/journal_reader.h"

namespace {

using namespace synctest;
using testsupport::Exists;
using testsupport::FaultInjectingPlatform;
using Op = FaultInjectingPlatform::Op;
using actlog::platform::WaitResult;

std::u16string AddLine(int n) { return u"ADD 2024/01/02 03:04:05 -- vm01 -- 2 - Job" + Number(n) + u" - m\r\n"; }

class SyncFaultTest : public SyncTest {
protected:
    FaultInjectingPlatform faults;
};

struct ReaderRow {
    const char* name;
    Op op;
    int nth;  // counted from the first call of the batch that fails
    const char16_t* onlyPaths;
};

TEST_F(SyncFaultTest, ReaderFailureDropsTheBatchAndClosesThePosition) {
    // Second batch of 2 over five lines: array, then per line a prefix read,
    // a block and a line read.
    const ReaderRow rows[] = {
        {"no memory for the array", Op::Allocate, 1, u""},
        {"no memory for the second block", Op::Allocate, 3, u""},
        {"first prefix read fails", Op::Read, 1, u"activity_sync_trans"},
        {"second line read fails", Op::Read, 4, u"activity_sync_trans"},
    };
    std::u16string text;
    for (int n = 0; n < 5; ++n) text += Record(AddLine(n));
    WriteJournal(HandOver(), text);
    for (const ReaderRow& row : rows) {
        SCOPED_TRACE(row.name);
        {
            testsupport::ScopedPlatform installed(faults);
            ASSERT_EQ(0, Read(GetNextSyncLogs, 2).result);
            faults.FailOnlyPaths(row.onlyPaths);
            faults.FailNth(row.op, row.nth);
            Batch failed = Read(GetNextSyncLogs, 2);
            EXPECT_EQ(-1, failed.result);
            EXPECT_FALSE(failed.arrayHandedOut);
            EXPECT_TRUE(failed.terminated);
            faults.Disarm();
        }
        Batch restart = Read(GetNextSyncLogs, 5);
        EXPECT_EQ(0, restart.result);
        ASSERT_EQ(5u, restart.entries.size());
        EXPECT_EQ(0, restart.entries[0].job);
        actlog::CloseSyncReadingPosition();
    }
}

TEST_F(SyncFaultTest, SwitchFailures) {
    testsupport::ScopedPlatform installed(faults);
    WriteJournal(Sync("activity_sync.log"), Record(AddLine(0)));

    faults.FailNth(Op::MutexOpen, 1);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    faults.OverrideWait(1, WaitResult::Failed);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    faults.OverrideWait(1, WaitResult::Abandoned);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    faults.FailNth(Op::Move, 1);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    EXPECT_TRUE(Exists(Sync("activity_sync.log")));
    EXPECT_FALSE(Exists(HandOver()));

    // After an abandoned wait the mutex was given back: the next switch works.
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    EXPECT_FALSE(Exists(Sync("activity_sync.log")));

    // A failed wait still reports the hand-over journal that exists.
    faults.OverrideWait(1, WaitResult::Failed);
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    faults.FailNth(Op::MutexOpen, 1);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
}

class ResyncFaultTest : public SyncFaultTest {
protected:
    void SetUp() override {
        SyncFaultTest::SetUp();
        for (int n = 0; n < 3; ++n) {
            ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, (u"main" + Number(n)).c_str(), nullptr));
            ASSERT_EQ(0, actlog::AppendActivityRecord(1, 0, (u"vm" + Number(n)).c_str(), u"vm01"));
        }
        WriteJournal(Sync("activity_sync.log"), Record(AddLine(0)));
    }
};

struct ResyncRow {
    const char* name;
    Op op;
    int nth;
    const char16_t* onlyPaths;
    bool partialWrite;
};

TEST_F(ResyncFaultTest, FullJournalThatCannotBeWrittenIsDeleted) {
    const ResyncRow rows[] = {
        {"not opened", Op::Open, 1, u"activity_sync_trans_full", false},
        {"not positioned", Op::Seek, 1, u"activity_sync_trans_full", false},
        {"byte-order mark not written", Op::Write, 1, u"activity_sync_trans_full", false},
        {"records not written", Op::Write, 2, u"activity_sync_trans_full", false},
        {"records written in part", Op::Write, 2, u"activity_sync_trans_full", true},
    };
    for (const ResyncRow& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::ScopedPlatform installed(faults);
        faults.FailOnlyPaths(row.onlyPaths);
        if (row.partialWrite) {
            faults.FailWritePartially(row.nth, 30);
        } else {
            faults.FailNth(row.op, row.nth);
        }
        EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
        EXPECT_FALSE(Exists(Full()));
        EXPECT_FALSE(Exists(Sync("activity_sync.log")));
        faults.Disarm();
    }
}

TEST_F(ResyncFaultTest, UnreadableRecordsStopTheRunAndKeepEarlierLogs) {
    testsupport::ScopedPlatform installed(faults);
    // The owner's records cannot be read: a read the OS refused is no damage, so
    // the index stays, and what was exported before stays in the full journal.
    faults.FailOnlyPaths(u"vm01.activity.log");
    faults.FailNth(Op::Read, 2);  // byte-order mark, then the records
    EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
    faults.Disarm();
    EXPECT_TRUE(Exists(Index("vm01")));
    std::vector<std::u16string> messages;
    for (;;) {
        Batch batch = Read(GetNextSyncLogsFull, 10);
        for (const Entry& e : batch.entries) messages.push_back(*e.message);
        if (batch.result != 0) break;
    }
    EXPECT_EQ((std::vector<std::u16string>{u" main2", u" main1", u" main0"}), messages);
}

}  // namespace
