// ReIndexLog: an index rebuilt from the log's line ends, only where none exists.
#include <gtest/gtest.h>

#include "maintenance_helpers.h"
#include "support/sandbox.h"

#include "Log.h"
#include "files/log_files.h"
#include "activity/record_append.h"
#include "maintenance/index_scan.h"

namespace {

using namespace maintenancetest;
using testsupport::ReadBytes;
using testsupport::ReadIndex;
using testsupport::WriteBytes;

class ReIndexTest : public testsupport::SandboxTest {
protected:
    fs::path Rebuild(std::string_view owner = {}) const {
        return sandbox.logs / (owner.empty() ? std::string("activity.idx.rex") : std::string(owner) + ".activity.idx.rex");
    }
};

TEST_F(ReIndexTest, SmallLogs) {
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
        std::filesystem::remove(Index());
        WriteBytes(Log(), c.log);
        EXPECT_EQ(0, ReIndexLog(nullptr));
        ASSERT_TRUE(testsupport::Exists(Index()));
        EXPECT_EQ(c.entries, ReadIndex(Index()));
    }
}

// More records than one pass of the scanner keeps.
TEST_F(ReIndexTest, RebuildsALogOfManyRecords) {
    std::vector<TestRecord> records(16500, {At(2024, 1, 1, 0, 0, 0), u"r"});
    WriteLogPair(Log(), Index(), records);
    const std::vector<std::uint8_t> written = ReadBytes(Index());
    std::filesystem::remove(Index());
    EXPECT_EQ(0, ReIndexLog(nullptr));
    EXPECT_EQ(written, ReadBytes(Index()));
}

TEST_F(ReIndexTest, BusyPruneMutexGivesOne) {
    WriteLogPair(Log("vm"), Index("vm"), {{At(2024, 1, 1, 0, 0, 0), u"x"}});
    WriteLogPair(Log("other"), Index("other"), {{At(2024, 1, 1, 0, 0, 0), u"y"}});
    std::filesystem::remove(Index("vm"));
    std::filesystem::remove(Index("other"));
    {
        MutexHeldElsewhere busy(actlog::kPruneMutexBase, u"vm");
        ASSERT_TRUE(busy.held());
        EXPECT_EQ(1, ReIndexLog(W(u"vm")));
        EXPECT_FALSE(testsupport::Exists(Index("vm")));
        EXPECT_FALSE(testsupport::Exists(Rebuild("vm")));
        EXPECT_EQ(0, ReIndexLog(W(u"other")));  // other owners' mutexes are others
    }
    EXPECT_EQ(0, ReIndexLog(W(u"vm")));
    EXPECT_EQ(LineEndOffsets(Log("vm")), ReadIndex(Index("vm")));
}

TEST_F(ReIndexTest, MissingLogFailsAndLeavesNoRebuildFile) {
    EXPECT_EQ(-1, ReIndexLog(W(u"ghost")));
    EXPECT_FALSE(testsupport::Exists(Index("ghost")));
    EXPECT_FALSE(testsupport::Exists(Rebuild("ghost")));
}

TEST_F(ReIndexTest, UnsafeOwnerNamesAreRefused) {
    EXPECT_EQ(-1, ReIndexLog(W(u"../x")));
    EXPECT_EQ(-1, ReIndexLog(W(u"a:b")));
}

// A record ends at a CR LF followed by a record start or the log's end: a
// line break inside a message is no end, and a line end near the end of one
// pass is decided by what the next pass brings, wherever the passes split.
TEST_F(ReIndexTest, ScannerFindsRecordEndsAcrossPasses) {
    const LogSystemTime t = testsupport::At(2026, 1, 2, 3, 4, 5);
    std::vector<std::u16string> lines = {testsupport::RecordLine(t, 1, 0, u"two\r\nlines"),
                                         testsupport::RecordLine(t, 2, 7, u"next")};
    std::vector<std::uint32_t> entries = testsupport::WriteLogPair(Log(), Rebuild(), lines);
    std::uint32_t size = entries.back();
    for (std::uint32_t split = 2; split <= size; split += 1) {
        SCOPED_TRACE(split);
        namespace os = actlog::platform;
        os::FileHandle out = os::Current().OpenFile(testsupport::U16(Rebuild()).c_str(), os::Access::Write,
                                                    os::Disposition::CreateAlways, os::Share::Exclusive);
        os::FileHandle in = os::Current().OpenFile(testsupport::U16(Log()).c_str(), os::Access::Read,
                                                   os::Disposition::OpenExisting, os::Share::All);
        ASSERT_TRUE(out.valid() && in.valid());
        {
            actlog::IndexScanner scanner(out);
            ASSERT_TRUE(scanner.Scan(in, split, false));
            ASSERT_TRUE(scanner.Scan(in, size, true));
            ASSERT_TRUE(scanner.Flush());
        }
        os::Current().CloseFile(out);
        os::Current().CloseFile(in);
        EXPECT_EQ(entries, ReadIndex(Rebuild()));
    }
}

}  // namespace
