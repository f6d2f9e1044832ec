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
