#include "retrieval/read_snapshot.h"

#include <gtest/gtest.h>

#include "activity/log_files.h"
#include "log_pair.h"
#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

using namespace retrievaltest;
using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::SandboxTest;
using testsupport::WriteBytes;

namespace platform = actlog::platform;

struct JobCase {
    const char16_t* text;
    std::uint32_t job;
};

TEST(ParseJobNumber, RecognisesOnlyTheExactJobField) {
    const JobCase cases[] = {
        {u" Job0000002A - message", 42},
        {u" Job0000002A - ", 42},
        {u" JobFFFFFFFF - x", 0xFFFFFFFFu},
        {u" Job000000FF - x", 255},
        {u" Job0000002a - message", 0},  // lower-case digit
        {u" Job0000002A -", 0},          // 14 characters
        {u" job0000002A - message", 0},
        {u" Job0000002A : message", 0},
        {u"Job0000002A - message", 0},  // no leading blank
        {u" Job0000 02A - message", 0},
        {u" Job0000002G - message", 0},
        {u"", 0},
        {nullptr, 0},
    };
    for (const JobCase& c : cases) {
        EXPECT_EQ(actlog::ParseJobNumber(c.text), c.job) << testsupport::Utf8(c.text ? c.text : u"(null)");
    }
}

// Owns what OpenLogForRead hands out.
struct Opened {
    platform::FileHandle log;
    std::uint32_t* block = reinterpret_cast<std::uint32_t*>(1);  // must be reset by the call
    std::uint32_t size = 7;

    explicit Opened(const char16_t* owner) { log = actlog::OpenLogForRead(&block, &size, owner); }
    ~Opened() {
        if (log.valid()) platform::Current().CloseFile(log);
        if (block != nullptr && log.valid()) platform::Current().Free(block);
    }
};

class ReadSnapshotTest : public SandboxTest {};

TEST_F(ReadSnapshotTest, MissingIndexFailsWithoutTouchingFiles) {
    WritePair(Log(), Index(), {RecordLine(1, 0, u"a")});
    fs::remove(Index());
    auto before = ReadBytes(Log());
    Opened opened(nullptr);
    EXPECT_FALSE(opened.log.valid());
    EXPECT_EQ(opened.block, nullptr);
    EXPECT_EQ(opened.size, 0u);
    EXPECT_EQ(ReadBytes(Log()), before);
    EXPECT_FALSE(Exists(Index()));
}

TEST_F(ReadSnapshotTest, MissingLogFailsAndKeepsTheIndex) {
    WriteIndex(Index("vm1"), {2});
    Opened opened(u"vm1");
    EXPECT_FALSE(opened.log.valid());
    EXPECT_EQ(opened.block, nullptr);
    EXPECT_TRUE(Exists(Index("vm1")));
}

TEST_F(ReadSnapshotTest, LoadsTheWholeIndexBehindTheStartWord) {
    auto entries = WritePair(Log("vm1"), Index("vm1"), {RecordLine(1, 0, u"a"), RecordLine(2, 9, u"bb")});
    Opened opened(u"vm1");
    ASSERT_TRUE(opened.log.valid());
    ASSERT_EQ(opened.size, 8u);
    EXPECT_EQ(opened.block[0], 2u);
    EXPECT_EQ(opened.block[1], entries[0]);
    EXPECT_EQ(opened.block[2], entries[1]);
}

TEST_F(ReadSnapshotTest, EmptyIndexGivesOnlyTheStartWord) {
    WriteBytes(Log(), {0xFF, 0xFE});
    WriteBytes(Index(), {});
    Opened opened(u"");
    ASSERT_TRUE(opened.log.valid());
    EXPECT_EQ(opened.size, 0u);
    ASSERT_NE(opened.block, nullptr);
    EXPECT_EQ(opened.block[0], 2u);
}

TEST_F(ReadSnapshotTest, StartWordFollowsTheByteOrderMark) {
    struct Case {
        std::vector<std::uint8_t> head;
        std::uint32_t start;
    } cases[] = {{{0xFF, 0xFE, 0x41, 0}, 2}, {{0xFE, 0xFF, 0, 0x41}, 0}, {{0xFF}, 0}, {{}, 0}, {{0x41, 0}, 0}};
    for (const Case& c : cases) {
        WriteBytes(Log(), c.head);
        WriteBytes(Index(), {});
        Opened opened(nullptr);
        ASSERT_TRUE(opened.log.valid());
        EXPECT_EQ(opened.block[0], c.start) << c.head.size() << " bytes";
        // The check positions itself: a handle read from elsewhere gives the same answer.
        EXPECT_EQ(actlog::LogHasByteOrderMark(opened.log), c.start == 2);
    }
}

TEST_F(ReadSnapshotTest, IndexNotAMultipleOfFourIsDiscardedToTheFirstFreeName) {
    WritePair(Log("VM1"), Index("VM1"), {RecordLine(1, 0, u"a")});
    WriteBytes(Index("VM1"), {1, 2, 3, 4, 5, 6});
    fs::path old0 = Index("VM1").string() + ".old0";
    fs::path old1 = Index("VM1").string() + ".old1";
    WriteBytes(old0, {9});
    auto logBefore = ReadBytes(Log("VM1"));

    Opened opened(u"VM1");
    EXPECT_FALSE(opened.log.valid());
    EXPECT_EQ(opened.block, nullptr);
    EXPECT_EQ(opened.size, 0u);
    EXPECT_FALSE(Exists(Index("VM1")));
    EXPECT_EQ(ReadBytes(old0), std::vector<std::uint8_t>{9});  // the earlier discard stays as it was
    EXPECT_FALSE(Exists(old1));                                // moved there, then deleted
    EXPECT_EQ(ReadBytes(Log("VM1")), logBefore);
}

TEST_F(ReadSnapshotTest, ReadMutexIsFreeOnceTheSnapshotIsOpen) {
    WritePair(Log("vm1"), Index("vm1"), {RecordLine(1, 0, u"a")});
    Opened opened(u"vm1");
    ASSERT_TRUE(opened.log.valid());
    EXPECT_TRUE(ReadMutexFree(u"vm1"));
}

TEST_F(ReadSnapshotTest, RefusedOwnerNameOpensNothing) {
    WritePair(sandbox.logs / "x.activity.log", sandbox.logs / "x.activity.idx", {RecordLine(1, 0, u"a")});
    Opened opened(u"../Logs/x");
    EXPECT_FALSE(opened.log.valid());
    EXPECT_EQ(opened.block, nullptr);
}

}  // namespace
