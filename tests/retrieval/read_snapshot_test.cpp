#include "retrieval/read_snapshot.h"

#include <gtest/gtest.h>

#include "support/log_files_helpers.h"
#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

namespace platform = actlog::platform;

struct JobCase {
    const char16_t* text;
    std::uint32_t job;
};

TEST(ParseJobNumber, RecognisesOnlyTheExactJobField) {
    const JobCase cases[] = {
        {u" Job0000002A - message", 42},
        {u" JobFFFFFFFF - x", 0xFFFFFFFFu},
        {u" Job0000002a - message", 0},  // lower-case digit
        {u" Job0000002A -", 0},          // 14 characters
        {u"Job0000002A - message", 0},  // no leading blank
        {nullptr, 0},
    };
    for (const JobCase& c : cases) {
        EXPECT_EQ(actlog::ParseJobNumber(c.text), c.job) << Utf8(c.text ? c.text : u"(null)");
    }
}

class ReadSnapshotTest : public SandboxTest {};

TEST_F(ReadSnapshotTest, MissingIndexOrLogFailsWithoutTouchingFiles) {
    for (bool indexMissing : {true, false}) {
        WriteLogPair(Log("vm1"), Index("vm1"), {RecordLine(At(2024, 3, 5, 10, 20, 0), 1, 0, u"a")});
        fs::remove(indexMissing ? Index("vm1") : Log("vm1"));
        const auto before = LogFiles();
        actlog::ReadSnapshot snapshot(u"vm1");
        EXPECT_EQ(snapshot.status(), actlog::ReadResult::Failed);
        EXPECT_FALSE(snapshot.log().valid());
        EXPECT_EQ(snapshot.records(), 0u);
        EXPECT_EQ(LogFiles(), before);
    }
}

TEST_F(ReadSnapshotTest, StartWordFollowsTheByteOrderMark) {
    struct Case {
        std::vector<std::uint8_t> head;
        std::uint32_t start;
    } cases[] = {{{0xFF, 0xFE, 0x41, 0}, 2}, {{0xFE, 0xFF, 0, 0x41}, 0}, {{0xFF}, 0}, {{}, 0}, {{0x41, 0}, 0}};
    for (const Case& c : cases) {
        WriteBytes(Log(), c.head);
        WriteBytes(Index(), {});
        actlog::ReadSnapshot snapshot(nullptr);
        ASSERT_TRUE(snapshot.valid());
        std::uint32_t word = 99;
        ASSERT_EQ(snapshot.Words(0, 0, &word), actlog::ReadResult::Ok);
        EXPECT_EQ(word, c.start) << c.head.size() << " bytes";
        // The check positions itself: a handle read from elsewhere gives the same answer.
        EXPECT_EQ(actlog::LogHasByteOrderMark(snapshot.log()), c.start == 2);
    }
}

}  // namespace
