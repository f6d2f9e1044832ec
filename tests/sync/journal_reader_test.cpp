// Journal hand-over, the batch readers and their shared reading position, and
// the path getters.
#include <gtest/gtest.h>

#include <climits>

#include "support/sandbox.h"
#include "sync_test_helpers.h"

#include "Log.h"
#include "frame/module.h"
#include "sync/journal_reader.h"

namespace {

using namespace synctest;
using testsupport::ReadBytes;

const std::u16string kAddLine = u"ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - Volume scanned\r\n";
const std::u16string kPruneLine = u"PRUNE 2009/02/01 00:00:00 - vm01 - \r\n";

std::u16string AddLine(int n) {
    return u"ADD 2024/01/02 03:04:05 -- vm01 -- 2 - Job" + Number(n) + u" - line " +
           Number(n) + u"\r\n";
}

class SyncReaderTest : public SyncTest {
protected:
    void WriteLines(const fs::path& path, int first, int count) const {
        std::u16string text;
        for (int n = first; n < first + count; ++n) text += Record(AddLine(n));
        WriteJournal(path, text);
    }
};

TEST_F(SyncReaderTest, AddAndPruneLinesParseFieldByField) {
    WriteJournal(HandOver(), Record(kAddLine) + Record(kPruneLine));
    Batch batch = Read(GetNextSyncLogs, 10);
    EXPECT_EQ(1, batch.result);
    ASSERT_EQ(2u, batch.entries.size());
    EXPECT_TRUE(batch.terminated);
    EXPECT_EQ((Entry{u"ADD", u"<NULL>", u"2009-03-05 07:08:09", u"Volume scanned", 1, 0}), batch.entries[0]);
    EXPECT_EQ((Entry{u"PRUNE", std::nullopt, u"2009-02-01 00:00:00", std::nullopt, -1, -1}), batch.entries[1]);
}

struct LineCase {
    const char* name;
    std::u16string line;
    int outcome;  // 1 parsed, 0 skipped, -1 failure
    Entry entry;
};

TEST(ParseJournalLine, LinesOfEveryShape) {
    const LineCase cases[] = {
        {"full-journal line: message begins with a blank",
         u"ADD 2024/05/01 10:00:00 -- vm01 -- 4 - Job7 -  text\r\n", 1,
         {u"ADD", u"vm01", u"2024-05-01 10:00:00", u" text", 4, 7}},
        // The minus sign of a job number of 2^31 or more is taken for the separator.
        {"job 2^31", u"ADD 2024/05/01 10:00:00 -- o -- 1 - Job-2147483648 - m\r\n", 1,
         {u"ADD", u"o", u"2024-05-01 10:00:00", u"147483648 - m", 1, INT_MIN}},
        // An owner holding "--" cuts the owner and shifts every later field.
        {"owner with --", u"ADD 2024/05/01 10:00:00 -- a--b -- 1 - Job0 - m\r\n", 1,
         {u"ADD", u"", u"2024-05-01 10:00:00", u"Job0 - m", 0, 0}},
        {"year below 1000", u"PRUNE  999/02/01 00:00:00 - vm01 - \r\n", 1,
         {u"PRUNE", std::nullopt, u" 999-02-01 00:00:00", std::nullopt, -1, -1}},
        {"no blank", u"ADD\r\n", 0, {}},
        {"unknown kind", u"DEL 2024/05/01 10:00:00 -- o -- 1 - Job0 - m\r\n", 0, {}},
        {"ADD without --", u"ADD 2024/05/01 10:00:00 - o - 1 - Job0 - m\r\n", 0, {}},
        // Fields that would start past the end of the line never point outside it.
        {"ADD ending at --", u"ADD --\r\n", 0, {}},
        {"ADD job dash at end", u"ADD -- o -- 1 - -\r\n", 0, {}},
        {"ADD ending after the severity", u"ADD 2024/05/01 10:00:00 -- o -- 1\r\n", 0, {}},
        {"ADD job field at the end", u"ADD 2024/05/01 10:00:00 -- o -- 1 - \r\n", 0, {}},
        {"no CR LF", u"ADD 2024/05/01 10:00:00 -- o -- 1 - Job0 - m\n\n", -1, {}},
    };
    for (const LineCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::u16string block = c.line;
        SyncLogEntry entry{};
        int outcome = actlog::ParseJournalLine(block.data(), static_cast<std::uint32_t>(block.size()), entry);
        EXPECT_EQ(c.outcome, outcome);
        if (outcome == 1) {
            EXPECT_EQ(c.entry, Copy(entry));
            EXPECT_EQ(static_cast<const void*>(block.data()), static_cast<const void*>(entry.kindText));
        }
    }
}

TEST(WideToInt, ConvertsLikeTheRuntime) {
    const struct {
        const char16_t* text;
        std::int32_t value;
    } cases[] = {
        {u"       128 ", 128}, {u"-12", -12}, {u"abc", 0}, {u"2147483648", INT_MAX}, {u"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testsupport::Utf8(c.text));
        EXPECT_EQ(c.value, actlog::WideToInt(c.text));
    }
}

TEST_F(SyncReaderTest, EmptyJournalEndsAtOnceWithTerminatedArray) {
    for (bool mark : {true, false}) {
        SCOPED_TRACE(mark ? "byte-order mark only" : "empty file");
        WriteJournal(HandOver(), u"", mark);
        Batch batch = Read(GetNextSyncLogs, 4);
        EXPECT_EQ(1, batch.result);
        EXPECT_TRUE(batch.arrayHandedOut);
        EXPECT_TRUE(batch.entries.empty());
        EXPECT_TRUE(batch.terminated);
    }
}

TEST_F(SyncReaderTest, BatchesContinueWhereThePreviousCallStopped) {
    WriteLines(HandOver(), 0, 5);
    Batch first = Read(GetNextSyncLogs, 3);
    EXPECT_EQ(0, first.result);
    ASSERT_EQ(3u, first.entries.size());
    Batch second = Read(GetNextSyncLogs, 3);
    EXPECT_EQ(1, second.result);
    ASSERT_EQ(2u, second.entries.size());
    EXPECT_EQ(u"line 3", second.entries[0].message);
    EXPECT_EQ(4, second.entries[1].job);
    EXPECT_TRUE(second.terminated);

    // The position was closed at the end: the file is read again from its start.
    Batch again = Read(GetNextSyncLogs, 5);
    EXPECT_EQ(0, again.result);
    ASSERT_EQ(5u, again.entries.size());
    EXPECT_EQ(u"line 0", again.entries[0].message);
    Batch end = Read(GetNextSyncLogs, 5);
    EXPECT_EQ(1, end.result);
    EXPECT_TRUE(end.entries.empty());

    // Count 0 abandons a journal read halfway: the next call starts over.
    ASSERT_EQ(0, Read(GetNextSyncLogs, 2).result);
    Batch closing = Read(GetNextSyncLogs, 0);
    EXPECT_EQ(0, closing.result);
    EXPECT_FALSE(closing.arrayHandedOut);
    Batch restart = Read(GetNextSyncLogs, 1);
    ASSERT_EQ(1u, restart.entries.size());
    EXPECT_EQ(0, restart.entries[0].job);
}

TEST_F(SyncReaderTest, SkippedLinesCountTowardTheBatch) {
    WriteJournal(HandOver(), Record(AddLine(0)) + Record(u"NOISE\r\n") + Record(u"DEL x\r\n") + Record(AddLine(3)));
    Batch first = Read(GetNextSyncLogs, 3);
    EXPECT_EQ(0, first.result);
    ASSERT_EQ(1u, first.entries.size());
    EXPECT_TRUE(first.terminated);
    Batch second = Read(GetNextSyncLogs, 3);
    EXPECT_EQ(1, second.result);
    ASSERT_EQ(1u, second.entries.size());
    EXPECT_EQ(3, second.entries[0].job);
}

TEST_F(SyncReaderTest, DamagedRecordDropsTheBatchAndTheNextCallStartsOver) {
    const struct {
        const char* name;
        std::u16string bad;
    } cases[] = {
        {"prefix zero", u"         0 PRUNE x - \r\n"},
        {"negative prefix", u"       -40 PRUNE x - \r\n"},
        {"length of 2 bytes", u"         2 \r\n"},
        {"line without CR LF", Record(u"PRUNE 2024/01/01 00:00:00 - o - \n\n")},
        {"short line", u"        80 PRUNE 2024/01/01 00:00:00 - o - \r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteJournal(HandOver(), Record(AddLine(0)) + Record(AddLine(1)) + c.bad);
        ASSERT_EQ(0, Read(GetNextSyncLogs, 1).result);
        Batch failed = Read(GetNextSyncLogs, 5);
        EXPECT_EQ(-1, failed.result);
        EXPECT_FALSE(failed.arrayHandedOut);
        EXPECT_TRUE(failed.terminated);  // returned is 0
        Batch restart = Read(GetNextSyncLogs, 2);
        EXPECT_EQ(0, restart.result);
        ASSERT_EQ(2u, restart.entries.size());
        EXPECT_EQ(u"line 0", restart.entries[0].message);
        actlog::CloseSyncReadingPosition();
    }
}

// A record cut short by a failed write, with records written after it, is
// passed over (as a skipped line); the collector is never stuck on it.
TEST_F(SyncReaderTest, TornRecordInTheMiddleIsSkipped) {
    const std::vector<std::uint8_t> cut = testsupport::Utf16Bytes(Record(AddLine(1)).substr(0, 30));
    const std::vector<std::uint8_t> torn[] = {
        cut,                                                       // cut in the line
        std::vector<std::uint8_t>(cut.begin(), cut.end() - 1),     // cut at an odd byte
        std::vector<std::uint8_t>(cut.begin(), cut.begin() + 10),  // cut in the length prefix
        testsupport::Utf16Bytes(Record(u"PRUNE x\n\n")),           // no CR LF
    };
    for (const std::vector<std::uint8_t>& bad : torn) {
        std::vector<std::uint8_t> bytes = {0xFF, 0xFE};
        for (const auto& part : {testsupport::Utf16Bytes(Record(AddLine(0))), bad,
                                 testsupport::Utf16Bytes(Record(AddLine(2)))}) {
            bytes.insert(bytes.end(), part.begin(), part.end());
        }
        testsupport::WriteBytes(HandOver(), bytes);
        Batch first = Read(GetNextSyncLogs, 2);
        Batch second = Read(GetNextSyncLogs, 2);
        EXPECT_EQ(0, first.result);
        EXPECT_EQ(1, second.result);
        ASSERT_EQ(1u, first.entries.size());
        ASSERT_EQ(1u, second.entries.size());
        EXPECT_EQ(2, second.entries[0].job);
        actlog::CloseSyncReadingPosition();
    }
}

TEST_F(SyncReaderTest, BothReadersShareOneReadingPosition) {
    WriteLines(HandOver(), 0, 3);
    WriteLines(Full(), 100, 3);
    ASSERT_EQ(0, Read(GetNextSyncLogs, 1).result);
    Batch full = Read(GetNextSyncLogsFull, 5);
    EXPECT_EQ(1, full.result);
    ASSERT_EQ(2u, full.entries.size());
    EXPECT_EQ(1, full.entries[0].job);
    EXPECT_EQ(2, full.entries[1].job);
    // Closed now: the full reader opens its own file.
    Batch own = Read(GetNextSyncLogsFull, 5);
    ASSERT_EQ(3u, own.entries.size());
    EXPECT_EQ(100, own.entries[0].job);
}

TEST_F(SyncReaderTest, MissingJournalFailsToOpen) {
    Batch batch = Read(GetNextSyncLogs, 3);
    EXPECT_EQ(-1, batch.result);
    EXPECT_FALSE(batch.arrayHandedOut);
    EXPECT_EQ(-1, Read(GetNextSyncLogsFull, 3).result);
    FreeSyncLog(nullptr);
}

TEST_F(SyncReaderTest, SwitchMovesTheJournalOnlyWhenNoHandOverExists) {
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    EXPECT_FALSE(testsupport::Exists(HandOver()));

    WriteLines(Journal(), 0, 2);
    std::vector<std::uint8_t> first = ReadBytes(Journal());
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    EXPECT_FALSE(testsupport::Exists(Journal()));
    EXPECT_EQ(first, ReadBytes(HandOver()));

    // A hand-over journal present: the new journal stays where it is.
    WriteLines(Journal(), 10, 1);
    std::vector<std::uint8_t> second = ReadBytes(Journal());
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    EXPECT_EQ(first, ReadBytes(HandOver()));
    EXPECT_EQ(second, ReadBytes(Journal()));

    // Without a sync journal the existing hand-over journal still counts.
    fs::remove(Journal());
    EXPECT_EQ(0, SwitchSyncLog4Trans());
}

TEST_F(SyncReaderTest, PathGettersCutToTheBuffer) {
    using Getter = int32_t (*)(LOG_WCHAR*, int32_t) noexcept;
    const struct {
        Getter getter;
        const char16_t* file;
    } getters[] = {
        {GetLogSyncFileTransName, u"activity_sync_trans.log"},
        {GetLogSyncFileTransNameFull, u"activity_sync_trans_full.log"},
        {GetLogSyncFileTransXMLName, u"activity_sync_transXML.xml"},
    };
    for (const auto& g : getters) {
        SCOPED_TRACE(testsupport::Utf8(g.file));
        std::u16string expected = std::u16string(actlog::Module().dataSyncDirectory.view()) + g.file;
        LOG_WCHAR whole[260];
        EXPECT_EQ(0, g.getter(whole, 260));
        EXPECT_EQ(expected, Copy(whole));

        LOG_WCHAR exact[260];
        EXPECT_EQ(0, g.getter(exact, static_cast<int32_t>(expected.size() + 1)));
        EXPECT_EQ(expected, Copy(exact));

        LOG_WCHAR ten[12];
        ten[10] = ten[11] = u'#';
        EXPECT_NE(0, g.getter(ten, 10));
        EXPECT_EQ(expected.substr(0, 9), Copy(ten));
        EXPECT_EQ(u'#', ten[10]);

        LOG_WCHAR untouched[1] = {u'#'};
        EXPECT_NE(0, g.getter(untouched, 0));
        EXPECT_NE(0, g.getter(untouched, -5));
        EXPECT_EQ(u'#', untouched[0]);
        EXPECT_NE(0, g.getter(nullptr, 260));
    }
}

}  // namespace
