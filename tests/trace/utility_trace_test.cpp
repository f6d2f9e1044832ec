// The utility trace log: the per-process switch, the echo to standard output,
// the time-stamped lines and their bounds.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "Log.h"
#include "message_ids.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using testsupport::FaultInjectingPlatform;
using testsupport::W;

class UtilityTraceTest : public testsupport::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        LogSystemTime t = testsupport::At(2024, 3, 5, 14, 7, 9);
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
        TarnMgrUtlTrace(W(u"copied %d files"), 3);
        EXPECT_FALSE(testsupport::Exists(UtilityLog())) << flag;
    }
}

// Switched on, each call appends its stamped line (creating the file); a
// message is also echoed to standard output. The log is a text-mode file: a
// line feed inside the text is written as the platform's line end too (CR LF
// on Windows), however long the text.
TEST_F(UtilityTraceTest, OnEachCallAppendsAStampedLine) {
    SetTarnMgrUtlDebug(1);
    const std::string end = actlog::platform::kTextLineEnd;
    std::string manyEnds;
    for (int i = 0; i < 4071; ++i) manyEnds += end;
    const struct {
        std::function<void()> call;
        std::string echoed, logged;
    } rows[] = {
        {[] { TarnMgrUtlTrace(W(u"copied %d files"), 3); }, "", "copied 3 files"},
        {[] { TarnMgrUtlLog(MSG_VOLUME_SCANNED, "D:", 12); }, "Volume D: scanned: 12 files.\n",
         "Volume D: scanned: 12 files."},
        {[] { TarnMgrUtlTrace(W(u"%s on %S: %5.1f%%"), W(u"vm01"), "host", 12.75); }, "", "vm01 on host:  12.8%"},
        // 42 is no string of the message library; MSG_EMPTY formats to nothing.
        {[] { TarnMgrUtlLog(42); }, "Failed to load message for message id is 0x0000002a\n",
         "Failed to load message for message id is 0x0000002a"},
        {[] { TarnMgrUtlLog(MSG_EMPTY); }, "\n", ""},
        {[] { TarnMgrUtlLog(MSG_JOB_FAILED, reinterpret_cast<const char*>(16), "disk full"); },
         "message id is 0x000003ea in LogActivity\n", "message id is 0x000003ea in LogActivity"},
        {[] { TarnMgrUtlTrace(W(u"two\nlines")); }, "", "two" + end + "lines"},
        {[] { TarnMgrUtlTrace(W(u"%s"), std::basic_string<LOG_WCHAR>(4071, LOG_WCHAR('\n')).c_str()); }, "", manyEnds},
    };
    std::string expectedLog;
    for (const auto& row : rows) {
        testing::internal::CaptureStdout();
        row.call();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), row.echoed);
        expectedLog += Line(row.logged);
        EXPECT_EQ(UtilityText(), expectedLog);
    }
}

}  // namespace
