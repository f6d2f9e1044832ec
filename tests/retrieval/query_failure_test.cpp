#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "files/log_files.h"
#include "log_pair.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"

namespace {

using namespace retrievaltest;
using testsupport::Exists;
using testsupport::FaultInjectingPlatform;
using testsupport::ReadBytes;
using testsupport::SandboxTest;
using Op = FaultInjectingPlatform::Op;

struct FailureRow {
    const char* name;
    Op op;
    int nth;
    const char16_t* onlyPaths;
};

// Call order of one query on a sound pair: read mutex, open index, open log,
// the tail check (both sizes, the index's last word), index size, entry array, index words buffer, byte-order mark, index words,
// records buffer, the records in one read, then a buffer for each line kept
// (GetJobLog grows its array before the first). None of these failures is
// damage: the index stays.
const FailureRow kRows[] = {
    {"read mutex not opened", Op::MutexOpen, 1, u"ReadLog"},
    {"index not opened", Op::Open, 1, u".activity.idx"},
    {"log not opened", Op::Open, 1, u".activity.log"},
    {"index size unknown", Op::Size, 3, u""},
    {"no memory for the array", Op::Allocate, 1, u""},
    {"no memory for the index words", Op::Allocate, 2, u""},
    {"index words not positioned", Op::Seek, 2, u".activity.idx"},
    {"index words not read", Op::Read, 2, u".activity.idx"},
    {"no memory for the records", Op::Allocate, 3, u""},
    {"records not positioned", Op::Seek, 2, u".activity.log"},
    {"records not read", Op::Read, 2, u".activity.log"},
    {"no memory for a kept line", Op::Allocate, 5, u""},
};

class QueryFailureTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        lines_ = {RecordLine(1, 7, u"one"), RecordLine(2, 7, u"two"), RecordLine(3, 7, u"three")};
        WritePair(Log("vm1"), Index("vm1"), lines_);
    }
    std::int32_t Query(bool job, Page& page) {
        return job ? GetJobLog(7, 0, 3, &page.entries, &page.returned, &page.total, W(u"vm1"))
                   : GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1"));
    }
    std::vector<std::u16string> lines_;
};

TEST_F(QueryFailureTest, EveryFailureReleasesAllAndKeepsTheIndex) {
    const auto log = ReadBytes(Log("vm1"));
    const auto index = ReadBytes(Index("vm1"));
    for (bool job : {false, true}) {
        for (const FailureRow& row : kRows) {
            SCOPED_TRACE(std::string(row.name) + (job ? " (GetJobLog)" : " (GetLog)"));
            testsupport::WriteBytes(Index("vm1"), index);
            Page page;
            {
                FaultInjectingPlatform faults;
                testsupport::ScopedPlatform installed(faults);
                faults.FailOnlyPaths(row.onlyPaths);
                faults.FailNth(row.op, row.nth, row.op == Op::Open);
                EXPECT_EQ(Query(job, page), -1);
            }
            EXPECT_EQ(page.entries, nullptr);
            EXPECT_EQ(page.returned, 0u);
            EXPECT_EQ(page.total, 0u);
            EXPECT_EQ(ReadBytes(Index("vm1")), index);
            EXPECT_FALSE(Exists(Index("vm1").string() + ".old0"));
            EXPECT_EQ(ReadBytes(Log("vm1")), log);
        }
    }
}

TEST_F(QueryFailureTest, FailedOrAbandonedWaitOpensNothing) {
    for (auto result : {actlog::platform::WaitResult::Failed, actlog::platform::WaitResult::Abandoned}) {
        FaultInjectingPlatform faults;
        testsupport::ScopedPlatform installed(faults);
        faults.OverrideWait(1, result);
        Page page;
        EXPECT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
        EXPECT_EQ(faults.Calls(Op::Open), 0);
        EXPECT_TRUE(Exists(Index("vm1")));
        // An abandoned mutex is handed back, not kept.
        EXPECT_TRUE(ReadMutexFree(u"vm1"));
    }
}

TEST_F(QueryFailureTest, ReadMutexCoversTheTwoOpensAndNothingElse) {
    FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    bool freeAtIndexOpen = true, freeAtLogOpen = true, freeAtBlock = false, freeAtRecord = false;
    // One hook per operation: each hook arms the next one.
    faults.RunBeforeNth(Op::Open, 1, [&] {
        freeAtIndexOpen = ReadMutexFree(u"vm1");
        faults.RunBeforeNth(Op::Open, 1, [&] { freeAtLogOpen = ReadMutexFree(u"vm1"); });
    });
    faults.RunBeforeNth(Op::Allocate, 1, [&] {
        freeAtBlock = ReadMutexFree(u"vm1");
        faults.RunBeforeNth(Op::Allocate, 2, [&] { freeAtRecord = ReadMutexFree(u"vm1"); });
    });
    Page page;
    ASSERT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), 0);
    EXPECT_FALSE(freeAtIndexOpen);
    EXPECT_FALSE(freeAtLogOpen);
    EXPECT_TRUE(freeAtBlock);
    EXPECT_TRUE(freeAtRecord);
}

TEST_F(QueryFailureTest, IndexStaysWhenEveryDiscardNameFails) {
    testsupport::WriteBytes(Index("vm1"), {1, 2, 3, 4, 5, 6});
    FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    faults.FailNth(Op::Move, 1, true);
    Page page;
    EXPECT_EQ(GetLog(0, 3, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
    EXPECT_EQ(faults.Calls(Op::Move), 10);
    EXPECT_EQ(ReadBytes(Index("vm1")).size(), 6u);
}

}  // namespace
