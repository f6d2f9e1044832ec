#include <gtest/gtest.h>

#include <string>

#include "support/log_files_helpers.h"
#include "support/sandbox.h"
#include "files/journal_files.h"

namespace {

using namespace testsupport;

// Day of week and milliseconds are set to show that they are left out.
LogSystemTime Time(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute, unsigned second) {
    LogSystemTime t = At(year, month, day, hour, minute, second);
    t.wDayOfWeek = 4;
    t.wMilliseconds = 999;
    return t;
}

// A journal record as it stands in the file: "%10d " + line.
std::u16string Record(std::u16string_view line) {
    std::string prefix = std::to_string(line.size() * 2);
    prefix = std::string(10 - prefix.size(), ' ') + prefix + " ";
    return U16(std::string_view(prefix)) + std::u16string(line);
}

class JournalWriterTest : public SandboxTest {
protected:
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
};

TEST_F(JournalWriterTest, AddRecordIsByteExact) {
    sandbox.CreateFullSyncMark();
    LogSystemTime t = Time(2009, 3, 5, 7, 8, 9);
    ASSERT_EQ(actlog::SyncLogAdd(1, 0, &t, u"Volume scanned", nullptr), 0);

    std::u16string line = u"ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - Volume scanned\r\n";
    ASSERT_EQ(line.size() * 2, 128u);
    std::vector<std::uint8_t> expected = {0xFF, 0xFE};
    std::vector<std::uint8_t> record = Utf16Bytes(u"       128 " + line);
    expected.insert(expected.end(), record.begin(), record.end());
    EXPECT_EQ(ReadBytes(Journal()), expected);
}

TEST_F(JournalWriterTest, PruneRecordIsByteExactAndNeedsNoMark) {
    LogSystemTime t = Time(2009, 2, 1, 0, 0, 0);
    ASSERT_EQ(actlog::SyncLogPrune(&t, u"vm01"), 0);
    EXPECT_EQ(ReadUtf16(Journal()), u"\xFEFF        74 PRUNE 2009/02/01 00:00:00 - vm01 - \r\n");
}

TEST_F(JournalWriterTest, LaterRecordsFollowWithoutSecondByteOrderMark) {
    sandbox.CreateFullSyncMark();
    LogSystemTime t = Time(2010, 12, 31, 23, 59, 58);
    ASSERT_EQ(actlog::SyncLogAdd(2, 7, &t, u"first", u"vm01"), 0);
    ASSERT_EQ(actlog::SyncLogPrune(&t, nullptr), 0);
    ASSERT_EQ(actlog::SyncLogAdd(4, 0, &t, u"third", u"vm01"), 0);
    ASSERT_EQ(actlog::SyncLogPrune(&t, u""), 0);
    EXPECT_EQ(ReadUtf16(Journal()),
              u"\xFEFF" + Record(u"ADD 2010/12/31 23:59:58 -- vm01 -- 2 - Job7 - first\r\n") +
                  Record(u"PRUNE 2010/12/31 23:59:58 - <NULL> - \r\n") +
                  Record(u"ADD 2010/12/31 23:59:58 -- vm01 -- 4 - Job0 - third\r\n") +
                  Record(u"PRUNE 2010/12/31 23:59:58 -  - \r\n"));
}

TEST_F(JournalWriterTest, AddLineFields) {
    sandbox.CreateFullSyncMark();
    struct Row {
        std::uint32_t severity, job;
        const char16_t* owner;
        LogSystemTime time;
        const char16_t* message;
        std::u16string line;
    };
    const Row rows[] = {
        {1, 0, u"", Time(2009, 3, 5, 7, 8, 9), u"x", u"ADD 2009/03/05 07:08:09 --  -- 1 - Job0 - x\r\n"},
        {2, 0xFFFFFFFFu, nullptr, Time(999, 1, 2, 3, 4, 5), u"y",
         u"ADD  999/01/02 03:04:05 -- <NULL> -- 2 - Job-1 - y\r\n"},
        {0x80000000u, 12, u"vm01", Time(2024, 2, 29, 12, 0, 0), u" - a -- b - ",
         u"ADD 2024/02/29 12:00:00 -- vm01 -- -2147483648 - Job12 -  - a -- b - \r\n"},
        {7, 255, u"VM 02", Time(2024, 10, 11, 1, 2, 3), u"", u"ADD 2024/10/11 01:02:03 -- VM 02 -- 7 - Job255 - \r\n"},
    };
    std::u16string expected = u"\xFEFF";
    for (const Row& row : rows) {
        ASSERT_EQ(actlog::SyncLogAdd(row.severity, row.job, &row.time, row.message, row.owner), 0);
        expected += Record(row.line);
    }
    EXPECT_EQ(ReadUtf16(Journal()), expected);
}

TEST_F(JournalWriterTest, FilteredSeveritiesAndMissingMarkWriteNothing) {
    LogSystemTime t = Time(2009, 3, 5, 7, 8, 9);
    // Without the mark no severity is journaled.
    for (std::uint32_t severity : {0u, 1u, 2u, 3u, 4u, 5u, 6u}) {
        EXPECT_EQ(actlog::SyncLogAdd(severity, 0, &t, u"m", nullptr), 0) << severity;
    }
    EXPECT_FALSE(Exists(Journal()));
    // With it, 0 and 3 still are not.
    sandbox.CreateFullSyncMark();
    EXPECT_EQ(actlog::SyncLogAdd(0, 0, &t, u"m", nullptr), 0);
    EXPECT_EQ(actlog::SyncLogAdd(3, 0, &t, u"m", nullptr), 0);
    EXPECT_FALSE(Exists(Journal()));
}

TEST_F(JournalWriterTest, MissingDataSyncDirectoryIsCreated) {
    fs::remove_all(sandbox.dataSync);
    LogSystemTime t = Time(2009, 2, 1, 0, 0, 0);
    ASSERT_EQ(actlog::SyncLogPrune(&t, u"vm01"), 0);
    EXPECT_EQ(ReadUtf16(Journal()), u"\xFEFF" + Record(u"PRUNE 2009/02/01 00:00:00 - vm01 - \r\n"));
}

TEST_F(JournalWriterTest, OverLongMessageIsCutAndKeepsLineEnd) {
    sandbox.CreateFullSyncMark();
    LogSystemTime t = Time(2009, 3, 5, 7, 8, 9);
    std::u16string message(5000, u'm');
    ASSERT_EQ(actlog::SyncLogAdd(1, 0, &t, message.c_str(), nullptr), 0);
    std::u16string text = ReadUtf16(Journal());
    ASSERT_EQ(text.size(), 1u + 11u + 4095u);
    EXPECT_EQ(text.substr(1, 11), u"      8190 ");
    EXPECT_EQ(text.substr(text.size() - 3), u"m\r\n");
}

TEST_F(JournalWriterTest, AppendFileWithBomOffsets) {
    fs::path empty = sandbox.logs / "empty.bin";
    WriteBytes(empty, {});
    const std::vector<std::uint8_t> line = {0xFF, 0xFE, 'x', 0, 0x0D, 0, 0x0A, 0};
    fs::path holding = sandbox.logs / "holding.bin";
    WriteBytes(holding, line);
    // A line that a dead writer left half-written is cut off first.
    fs::path torn = sandbox.logs / "torn.bin";
    std::vector<std::uint8_t> tornBytes = line;
    tornBytes.insert(tornBytes.end(), {'y', 0, 'z'});
    WriteBytes(torn, tornBytes);
    fs::path missing = sandbox.logs / "missing.bin";
    const char16_t data[] = u"ab";

    using actlog::platform::Disposition;
    struct Row {
        fs::path path;
        Disposition disposition;
        std::int64_t offset;
        std::vector<std::uint8_t> after;
    };
    const Row rows[] = {
        {missing, Disposition::OpenExisting, -1, {}},
        {empty, Disposition::OpenExisting, 2, {0xFF, 0xFE, 'a', 0, 'b', 0}},
        {holding, Disposition::OpenAlways, 8, {0xFF, 0xFE, 'x', 0, 0x0D, 0, 0x0A, 0, 'a', 0, 'b', 0}},
        {torn, Disposition::OpenAlways, 8, {0xFF, 0xFE, 'x', 0, 0x0D, 0, 0x0A, 0, 'a', 0, 'b', 0}},
        {missing, Disposition::OpenAlways, 2, {0xFF, 0xFE, 'a', 0, 'b', 0}},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(actlog::AppendFileWithBom(U16(row.path).c_str(), row.disposition, data, 4), row.offset)
            << row.path;
        EXPECT_EQ(ReadBytes(row.path), row.after) << row.path;
    }
}

}  // namespace
