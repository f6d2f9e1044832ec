#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "activity/record_append.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

constexpr std::size_t kStampChars = 20;  // "yyyy/mm/dd  hh:mm:ss"

class RecordAppendTest : public SandboxTest {
protected:
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    std::vector<std::u16string> LogLines(std::string_view owner = {}) const { return testsupport::LogLines(Log(owner)); }
    std::vector<std::u16string> JournalLines() const {
        std::vector<std::u16string> lines;
        for (const std::u16string& record : testsupport::LogLines(Journal())) lines.push_back(record.substr(11));
        return lines;
    }
    std::vector<std::string> LogsListing() const {
        std::vector<std::string> names = ListDir(sandbox.logs);
        names.erase(std::remove(names.begin(), names.end(), ".locks"), names.end());
        return names;
    }
};

TEST_F(RecordAppendTest, WorkedExampleIsByteExact) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"abcd", nullptr), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"abcdefghijklmn", nullptr), 0);

    std::vector<std::uint8_t> log = ReadBytes(Log());
    ASSERT_EQ(log.size(), 182u);
    EXPECT_EQ(log[0], 0xFF);
    EXPECT_EQ(log[1], 0xFE);
    EXPECT_EQ(ReadBytes(Index()), (std::vector<std::uint8_t>{0x52, 0, 0, 0, 0xB6, 0, 0, 0}));
    std::vector<std::u16string> lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(kStampChars), u" -     Error: abcd\r\n");
    EXPECT_EQ(lines[1].substr(kStampChars), u" -     Error: abcdefghijklmn\r\n");
    // The stamp: "%4u/%02u/%02u  %02u:%02u:%02u".
    const std::u16string& stamp = lines[0];
    for (std::size_t i : {4u, 7u}) EXPECT_EQ(stamp[i], u'/');
    EXPECT_EQ(stamp.substr(10, 2), u"  ");
    for (std::size_t i : {14u, 17u}) EXPECT_EQ(stamp[i], u':');
}

TEST_F(RecordAppendTest, LabelsAndJobField) {
    struct Row {
        std::uint32_t severity, job;
        std::u16string tail;
    };
    const Row rows[] = {
        {0, 0, u" -   General: m\r\n"},
        {1, 255, u" -     Error: Job000000FF - m\r\n"},
        {2, 0xFFFFFFFFu, u" -   Warning: JobFFFFFFFF - m\r\n"},
        {5, 1, u" -  Critical: Job00000001 - m\r\n"},
        {0xFFFFFFFFu, 0, u" -   General: m\r\n"},
    };
    for (const Row& row : rows) ASSERT_EQ(actlog::AppendActivityRecord(row.severity, row.job, u"m", nullptr), 0);
    std::vector<std::u16string> lines = LogLines();
    ASSERT_EQ(lines.size(), std::size(rows));
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].substr(kStampChars), rows[i].tail) << i;
}

TEST_F(RecordAppendTest, OverLongMessageGivesLineOfExactly4095Characters) {
    std::u16string message(5000, u'x');
    ASSERT_EQ(actlog::AppendActivityRecord(2, 7, message.c_str(), nullptr), 0);
    std::vector<std::u16string> lines = LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 4095u);
    EXPECT_EQ(lines[0].substr(4090), u"xxx\r\n");
    EXPECT_EQ(ReadIndex(Index()), std::vector<std::uint32_t>{2 + 2 * 4095});
}

TEST_F(RecordAppendTest, FirstRecordStartsAFreshIndex) {
    // Records "...Error: old" and "...Error: new" are 39 characters, 78 bytes.
    const std::vector<std::uint8_t> oldRecord = Utf16Bytes(u"2001/01/01  00:00:00 -     Error: old\r\n");
    const std::vector<std::uint8_t> stale = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    struct Row {
        std::vector<std::uint8_t> log, index;
        std::vector<std::uint32_t> indexAfter;
        std::size_t logSizeAfter;
    };
    const Row rows[] = {
        {{}, stale, {80}, 80},                        // empty log: mark, then the record
        {{0xFF, 0xFE}, stale, {80}, 80},              // only the mark: the index is emptied
        {oldRecord, {78, 0, 0, 0}, {78, 156}, 156},   // no mark: records start at 0, index continued
    };
    for (const Row& row : rows) {
        WriteBytes(Log(), row.log);
        WriteBytes(Index(), row.index);
        ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"new", nullptr), 0);
        EXPECT_EQ(ReadIndex(Index()), row.indexAfter) << row.log.size();
        EXPECT_EQ(ReadBytes(Log()).size(), row.logSizeAfter);
    }
}

TEST_F(RecordAppendTest, OwnerNamesSelectFilesAndJournalField) {
    sandbox.CreateFullSyncMark();
    WriteBytes(sandbox.logs / "P.vm02.activity.log", {});
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"a", u""), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"b", nullptr), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"c", u"vm01"), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"d", u"vm02"), 0);

    EXPECT_EQ(LogLines().size(), 2u);
    EXPECT_EQ(LogLines("vm01").size(), 1u);
    // vm02's log carries a prefix; its index keeps the plain name.
    EXPECT_EQ(testsupport::LogLines(sandbox.logs / "P.vm02.activity.log").size(), 1u);
    EXPECT_FALSE(Exists(Log("vm02")));
    EXPECT_EQ(ReadIndex(Index("vm02")).size(), 1u);

    std::vector<std::u16string> journal = JournalLines();
    ASSERT_EQ(journal.size(), 4u);
    EXPECT_EQ(journal[0].substr(23), u" --  -- 1 - Job0 - a\r\n");
    EXPECT_EQ(journal[3].substr(23), u" -- vm02 -- 1 - Job0 - d\r\n");
    // The journal carries the record's own stamp.
    std::u16string stamp = LogLines()[0].substr(0, kStampChars);
    EXPECT_EQ(journal[0].substr(0, 23), u"ADD " + stamp.substr(0, 10) + u" " + stamp.substr(12));
}

TEST_F(RecordAppendTest, UnsafeOwnerTouchesNothing) {
    sandbox.CreateFullSyncMark();
    const std::vector<std::string> before = LogsListing();
    const std::u16string tooLong(300, u'o');
    for (const char16_t* owner : {u"../escape", u"..\\escape", u"C:x", u"a\r\nb", tooLong.c_str()}) {
        EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", owner), -1) << Utf8(owner);
    }
    EXPECT_EQ(LogsListing(), before);
    EXPECT_FALSE(Exists(Journal()));
    EXPECT_FALSE(Exists(sandbox.root / "escape.activity.log"));
}

TEST_F(RecordAppendTest, UnwritableLogsDirectoryFails) {
    sandbox.CreateFullSyncMark();
    fs::remove_all(sandbox.logs);
    WriteBytes(sandbox.logs, {1});  // a file where the directory should be
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", nullptr), -1);
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", u"vm01"), -1);
    EXPECT_FALSE(Exists(Journal()));
}

}  // namespace
