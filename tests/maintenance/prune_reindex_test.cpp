// PruneLog and ReIndexLog where the owner model does not reach: refused
// calls, a busy prune mutex, small and large logs to rebuild, and record ends
// found across the scanner's passes. Damage is covered with the queries'.
#include <gtest/gtest.h>

#include "support/log_files_helpers.h"
#include "support/sandbox.h"

#include "Log.h"
#include "files/log_files.h"
#include "maintenance/index_scan.h"

namespace {

using namespace testsupport;

class PruneReindexTest : public SandboxTest {
protected:
    fs::path Rebuild(std::string_view owner = {}) const {
        return sandbox.logs / (owner.empty() ? std::string("activity.idx.rex") : std::string(owner) + ".activity.idx.rex");
    }
    void WriteHours(const char* owner, unsigned hours) {
        std::vector<TestRecord> records;
        for (unsigned h = 1; h <= hours; ++h) records.push_back({At(2024, 5, 1, h, 0, 0), u"rec"});
        WriteRecords(Log(owner), Index(owner), records);
    }
};

TEST_F(PruneReindexTest, RefusedCallsTouchNothing) {
    const LogSystemTime date = At(2030, 1, 1, 0, 0, 0);
    EXPECT_EQ(-1, PruneLog(&date, W(u"nobody")));
    EXPECT_EQ(-1, PruneLog(nullptr, nullptr));
    for (const char16_t* owner : {u"ghost", u"../x", u"a:b"}) EXPECT_EQ(-1, ReIndexLog(W(owner)));
    EXPECT_EQ(LogFiles(), std::vector<std::string>{});
    EXPECT_EQ(ListDir(sandbox.root), (std::vector<std::string>{"DataSync", "Logs", "bin"}));
}

// Another process holds the owner's prune mutex: a prune with something to
// remove fails at once, a rebuild gives 1; other owners are not held up.
TEST_F(PruneReindexTest, BusyPruneMutex) {
    WriteHours("vm2", 3);
    WriteHours("vm3", 3);
    std::vector<std::uint8_t> before = ReadBytes(Log("vm2"));
    {
        MutexHeldElsewhere busy(actlog::kPruneMutexBase, u"vm2");
        ASSERT_TRUE(busy.held());
        LogSystemTime date = At(2024, 5, 1, 0, 30, 0);
        EXPECT_EQ(0, PruneLog(&date, W(u"vm2")));  // nothing older: no need for the mutex
        date = At(2024, 5, 1, 23, 0, 0);
        EXPECT_EQ(-1, PruneLog(&date, W(u"vm2")));
        EXPECT_EQ(before, ReadBytes(Log("vm2")));
        EXPECT_EQ(3, PruneLog(&date, W(u"vm3")));

        fs::remove(Index("vm2"));
        EXPECT_EQ(1, ReIndexLog(W(u"vm2")));
        EXPECT_FALSE(Exists(Index("vm2")));
        EXPECT_FALSE(Exists(Rebuild("vm2")));
        fs::remove(Index("vm3"));
        EXPECT_EQ(0, ReIndexLog(W(u"vm3")));
    }
    EXPECT_EQ(0, ReIndexLog(W(u"vm2")));
    EXPECT_EQ(3u, ReadIndex(Index("vm2")).size());
}

// The longest line an append writes is a record to the prune's search; one
// character more is damage.
TEST_F(PruneReindexTest, PruneSearchKnowsTheLongestRecord) {
    for (std::size_t extra : {0u, 1u}) {
        SCOPED_TRACE(extra);
        std::u16string longest = RecordLine(At(2024, 5, 1, 1, 0, 0), 1, 0, std::u16string(5000, u'x'));
        longest.insert(longest.size() - 2, extra, u'x');
        WriteLogPair(Log(), Index(), {longest, RecordLine(At(2024, 5, 1, 2, 0, 0), 1, 0, u"kept")});
        const LogSystemTime date = At(2024, 5, 1, 1, 30, 0);
        EXPECT_EQ(extra == 0 ? 1 : -1, PruneLog(&date, nullptr));
    }
}

TEST_F(PruneReindexTest, RebuildsSmallLogs) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> log;
        std::vector<std::uint32_t> entries;
    };
    const Case cases[] = {
        {"0 bytes", {}, {}},
        {"only the mark", {0xFF, 0xFE}, {}},
        {"line end only", {0x0D, 0, 0x0A, 0}, {4}},
        {"odd trailing byte", {0x0D, 0, 0x0A, 0, 0x41}, {4}},
        {"CR without LF", {0xFF, 0xFE, 0x0D, 0, 0x41, 0, 0x0A, 0}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(Index());
        WriteBytes(Log(), c.log);
        EXPECT_EQ(0, ReIndexLog(nullptr));
        ASSERT_TRUE(Exists(Index()));
        EXPECT_EQ(c.entries, ReadIndex(Index()));
    }
}

// More records than one pass of the scanner keeps.
TEST_F(PruneReindexTest, RebuildsALogOfManyRecords) {
    std::vector<TestRecord> records(16500, {At(2024, 1, 1, 0, 0, 0), u"r"});
    WriteRecords(Log(), Index(), records);
    const std::vector<std::uint8_t> written = ReadBytes(Index());
    fs::remove(Index());
    EXPECT_EQ(0, ReIndexLog(nullptr));
    EXPECT_EQ(written, ReadBytes(Index()));
}

// A record ends at a CR LF followed by a record start or the log's end: a
// line break inside a message is no end, and a line end near the end of one
// pass is decided by what the next pass brings, wherever the passes split.
TEST_F(PruneReindexTest, ScannerFindsRecordEndsAcrossPasses) {
    const LogSystemTime t = At(2026, 1, 2, 3, 4, 5);
    std::vector<std::u16string> lines = {RecordLine(t, 1, 0, u"two\r\nlines"), RecordLine(t, 2, 7, u"next")};
    std::vector<std::uint32_t> entries = WriteLogPair(Log(), Rebuild(), lines);
    std::uint32_t size = entries.back();
    for (std::uint32_t split = 2; split <= size; split += 1) {
        SCOPED_TRACE(split);
        namespace os = actlog::platform;
        os::FileHandle out = os::Current().OpenFile(U16(Rebuild()).c_str(), os::Access::Write,
                                                    os::Disposition::CreateAlways, os::Share::Exclusive);
        os::FileHandle in = os::Current().OpenFile(U16(Log()).c_str(), os::Access::Read,
                                                   os::Disposition::OpenExisting, os::Share::All);
        ASSERT_TRUE(out.valid() && in.valid());
        {
            actlog::IndexScanner scanner(out);
            ASSERT_TRUE(scanner.Scan(in, split, actlog::ScanEnd::MoreMayFollow));
            ASSERT_TRUE(scanner.Scan(in, size, actlog::ScanEnd::Final));
            ASSERT_TRUE(scanner.Flush());
        }
        os::Current().CloseFile(out);
        os::Current().CloseFile(in);
        EXPECT_EQ(entries, ReadIndex(Rebuild()));
    }
}

}  // namespace
