// actlog trace: the utility trace log follows the switch; TarnMgrUtlLog always prints.
#include "actlog_fixture.h"

namespace actlogtest {
namespace {

using TraceTest = ActlogTest;

std::vector<std::string> UtilityLog(const Sandbox& sandbox) {
    std::vector<std::uint8_t> bytes = ReadBytes(sandbox.logs / "OrielMgrUtility.log");
    std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> lines;
    for (std::string line : Lines(text)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

TEST_F(TraceTest, TheSwitchDecidesWhatReachesTheUtilityLog) {
    RunResult on = Run({"trace", "--on", "--text", "copied 3 files, 100%"});
    ASSERT_EQ(on.status, 0) << on.err;
    std::vector<std::string> lines = UtilityLog(sandbox);
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 24u + 20u) << lines[0];
    EXPECT_EQ(lines[0].substr(24), "copied 3 files, 100%");
    EXPECT_EQ(lines[0][4], ':');

    RunResult off = Run({"trace", "--off", "--id", "1005", "C:", "7"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(off.out, "Volume C: scanned: 7 files.\n");
    EXPECT_EQ(UtilityLog(sandbox).size(), 1u) << "written while the switch was off";

    RunResult missing = Run({"trace", "--on", "--id", "42"});
    ASSERT_EQ(missing.status, 0) << missing.err;
    const std::string failed = "Failed to load message for message id is 0x0000002a";
    EXPECT_EQ(Lines(missing.out).at(0), failed);
    lines = UtilityLog(sandbox);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(24), failed);
}

}  // namespace
}  // namespace actlogtest
