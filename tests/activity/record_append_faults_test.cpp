#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "files/log_files.h"
#include "activity/record_append.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using Op = FaultInjectingPlatform::Op;
using actlog::platform::WaitResult;
using Bytes = std::vector<std::uint8_t>;

// Every record of these tests is "2009/03/05  07:08:09 -     Error: <text>\r\n".
std::u16string Line(std::u16string_view text) {
    return u"2009/03/05  07:08:09 -     Error: " + std::u16string(text) + u"\r\n";
}
Bytes LogBytes(std::initializer_list<std::u16string_view> texts, bool mark = true) {
    std::u16string all = mark ? u"\xFEFF" : u"";
    for (std::u16string_view text : texts) all += Line(text);
    return Utf16Bytes(all);
}
std::vector<std::uint32_t> Ends(std::initializer_list<std::u16string_view> texts) {
    std::vector<std::uint32_t> ends;
    std::uint32_t at = 2;
    for (std::u16string_view text : texts) ends.push_back(at += static_cast<std::uint32_t>(2 * Line(text).size()));
    return ends;
}

class RecordAppendFaultTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        faults.SetUtcTime(At(2009, 3, 5, 7, 8, 9));
        sandbox.CreateFullSyncMark();
    }
    int Append(const char16_t* text) { return actlog::AppendActivityRecord(1, 0, text, nullptr); }
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    fs::path NewLog() const { return sandbox.logs / "activity.log.new"; }
    fs::path NewIndex() const { return sandbox.logs / "activity.idx.new"; }
    std::size_t JournalRecords() const {
        std::u16string text = ReadUtf16(Journal());
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), u'\n'));
    }

    FaultInjectingPlatform faults;
    ScopedPlatform installed{faults};
};

TEST_F(RecordAppendFaultTest, FixedClockGivesByteExactRecordAndJournalLine) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"Volume scanned", nullptr), 0);
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"Volume scanned"}));
    EXPECT_EQ(ReadUtf16(Journal()),
              u"\xFEFF       128 ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - Volume scanned\r\n");

    faults.SetUtcTime(At(999, 1, 2, 3, 4, 5));
    ASSERT_EQ(actlog::AppendActivityRecord(2, 255, u"x", u"vm01"), 0);
    EXPECT_EQ(ReadUtf16(Log("vm01")), u"\xFEFF 999/01/02  03:04:05 -   Warning: Job000000FF - x\r\n");
}

// Rows where nothing may be written at all.
TEST_F(RecordAppendFaultTest, MutexFailuresTouchNothing) {
    struct Row {
        const char* name;
        std::function<void()> arm;
    };
    const Row rows[] = {
        {"mutex not opened", [&] { faults.FailNth(Op::MutexOpen, 1); }},
        {"wait failed", [&] { faults.OverrideWait(1, WaitResult::Failed); }},
        {"wait timed out", [&] { faults.OverrideWait(1, WaitResult::TimedOut); }},
        {"mutex abandoned", [&] { faults.OverrideWait(1, WaitResult::Abandoned); }},
    };
    for (const Row& row : rows) {
        row.arm();
        EXPECT_EQ(Append(u"m"), -1) << row.name;
        faults.Disarm();
        EXPECT_FALSE(Exists(Log())) << row.name;
        EXPECT_FALSE(Exists(Index())) << row.name;
        EXPECT_FALSE(Exists(Journal())) << row.name;
        // Whatever the wait gave, the mutex is free again afterwards.
        actlog::LogMutex probe(actlog::kWriteMutexBase, nullptr);
        EXPECT_TRUE(probe.Wait(actlog::platform::WaitTime::Zero)) << row.name;
    }
}

TEST_F(RecordAppendFaultTest, JournalFailureDoesNotFailTheRecord) {
    faults.FailOnlyPaths(u"activity_sync");
    faults.FailNth(Op::Open, 1);
    EXPECT_EQ(Append(u"a"), 0);
    faults.Disarm();
    faults.FailNth(Op::MutexOpen, 2);  // the write mutex opens, the sync mutex does not
    EXPECT_EQ(Append(u"b"), 0);
    faults.Disarm();
    EXPECT_EQ(ReadBytes(Log()), LogBytes({u"a", u"b"}));
    EXPECT_EQ(ReadIndex(Index()), Ends({u"a", u"b"}));
    EXPECT_FALSE(Exists(Journal()));
}

}  // namespace
