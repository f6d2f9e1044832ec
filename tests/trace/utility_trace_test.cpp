// The utility trace log: the per-process switch, the echo to standard output,
// the time-stamped lines and their bounds.
#include <gtest/gtest.h>

#include <string>

#include "Log.h"
#include "message_ids.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"

#ifdef _WIN32
#define LW(text) L##text
#else
#define LW(text) u##text
#endif

namespace {

using testsupport::FaultInjectingPlatform;

class UtilityTraceTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        LogSystemTime t{};
        t.wYear = 2024;
        t.wMonth = 3;
        t.wDay = 5;
        t.wHour = 14;
        t.wMinute = 7;
        t.wSecond = 9;
        t.wMilliseconds = 45;
        clock.SetLocalTime(t);
    }
    void TearDown() override {
        SetTarnMgrUtlDebug(0);
        SandboxTest::TearDown();
    }

    testsupport::fs::path UtilityLog() const { return sandbox.logs / "OrielMgrUtility.log"; }
    std::string UtilityText() const {
        std::vector<std::uint8_t> bytes = testsupport::ReadBytes(UtilityLog());
        return std::string(bytes.begin(), bytes.end());
    }
    static std::string Line(const std::string& text) {
        return "2024:03:05:14:07:09:045 " + text + actlog::platform::kTextLineEnd;
    }

    FaultInjectingPlatform clock;
    testsupport::ScopedPlatform installed{clock};
};

TEST_F(UtilityTraceTest, OffAfterLoadAndForAnyValueButOne) {
    for (int flag : {0, 2, 255}) {
        SetTarnMgrUtlDebug(static_cast<unsigned char>(flag));
        testing::internal::CaptureStdout();
        TarnMgrUtlLog(MSG_JOB_STARTED, "nightly");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Job nightly started.\n") << flag;
        TarnMgrUtlTrace(LW("copied %d files"), 3);
        EXPECT_FALSE(testsupport::Exists(UtilityLog())) << flag;
    }
}

TEST_F(UtilityTraceTest, OnWritesStampedLinesCreatingTheFile) {
    SetTarnMgrUtlDebug(1);
    TarnMgrUtlTrace(LW("copied %d files"), 3);
    EXPECT_EQ(UtilityText(), Line("copied 3 files"));
    testing::internal::CaptureStdout();
    TarnMgrUtlLog(MSG_VOLUME_SCANNED, "D:", 12);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Volume D: scanned: 12 files.\n");
    EXPECT_EQ(UtilityText(), Line("copied 3 files") + Line("Volume D: scanned: 12 files."));
}

TEST_F(UtilityTraceTest, TraceTakesWideAndNarrowStringArguments) {
    SetTarnMgrUtlDebug(1);
    TarnMgrUtlTrace(LW("%s on %S: %5.1f%%"), LW("vm01"), "host", 12.75);
    EXPECT_EQ(UtilityText(), Line("vm01 on host:  12.8%"));
}

TEST_F(UtilityTraceTest, FailureTextsGoToOutputAndLog) {
    SetTarnMgrUtlDebug(1);
    struct Case {
        std::uint32_t id;
        const char* expected;
    };
    // 42 is no string of the message library; MSG_EMPTY formats to nothing.
    const Case cases[] = {{42, "Failed to load message for message id is 0x0000002a"}, {MSG_EMPTY, ""}};
    std::string expectedLog;
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        TarnMgrUtlLog(c.id);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), std::string(c.expected) + "\n");
        expectedLog += Line(c.expected);
    }
    EXPECT_EQ(UtilityText(), expectedLog);
}

TEST_F(UtilityTraceTest, UnreadableInsertGivesTheFallbackText) {
    SetTarnMgrUtlDebug(1);
    testing::internal::CaptureStdout();
    TarnMgrUtlLog(MSG_JOB_FAILED, reinterpret_cast<const char*>(16), "disk full");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "message id is 0x000003ea in LogActivity\n");
    EXPECT_EQ(UtilityText(), Line("message id is 0x000003ea in LogActivity"));
}

// The log is a text-mode file: a line feed inside the text is written as the
// platform's line end too (CR LF on Windows), however long the text.
TEST_F(UtilityTraceTest, LineFeedsInTheTextBecomeLineEnds) {
    SetTarnMgrUtlDebug(1);
    const std::string end = actlog::platform::kTextLineEnd;
    TarnMgrUtlTrace(LW("two\nlines"));
    std::basic_string<LOG_WCHAR> feeds(4071, LW('\n'));
    TarnMgrUtlTrace(LW("%s"), feeds.c_str());
    std::string manyEnds;
    for (int i = 0; i < 4071; ++i) manyEnds += end;
    EXPECT_EQ(UtilityText(), Line("two" + end + "lines") + Line(manyEnds));
}

}  // namespace
