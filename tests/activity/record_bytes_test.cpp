// Worked examples, byte for byte: the record lines, index words and journal
// lines that appends and a prune write with a fixed clock; how the first
// record starts a pair; what an unsafe owner or a failing journal changes.
#include <gtest/gtest.h>

#include <string>

#include "Log.h"
#include "activity/record_append.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"
#include "files/file_io.h"
#include "files/journal_files.h"
#include "files/pair_tail.h"

namespace {

using namespace testsupport;
using Op = FaultInjectingPlatform::Op;

// Lines are cut to 4095 characters, line end included.
std::u16string Cut(std::u16string line) {
    return line.size() <= 4095 ? line : line.substr(0, 4093) + u"\r\n";
}

class RecordBytesTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox.CreateFullSyncMark();
    }

    FaultInjectingPlatform faults;
    ScopedPlatform installed{faults};
};

TEST_F(RecordBytesTest, AppendsAndPruneWriteExactlyTheseBytes) {
    const std::u16string longText(5000, u'x');
    struct Row {
        LogSystemTime time;
        std::uint32_t severity, job;
        const char16_t* owner;
        std::u16string text;
        std::u16string line;     // the record line
        std::u16string journal;  // its journal line; empty when not journaled
    };
    const Row rows[] = {
        {At(2009, 3, 5, 7, 8, 9), 1, 0, nullptr, u"abcd", u"2009/03/05  07:08:09 -     Error: abcd\r\n",
         u"ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - abcd\r\n"},
        {At(999, 1, 2, 3, 4, 5), 2, 255, u"vm01", u"x", u" 999/01/02  03:04:05 -   Warning: Job000000FF - x\r\n",
         u"ADD  999/01/02 03:04:05 -- vm01 -- 2 - Job255 - x\r\n"},
        {At(2009, 3, 5, 7, 8, 10), 1, 0, u"", u"abcdefghijklmn",
         u"2009/03/05  07:08:10 -     Error: abcdefghijklmn\r\n",
         u"ADD 2009/03/05 07:08:10 --  -- 1 - Job0 - abcdefghijklmn\r\n"},
        {At(2010, 12, 31, 23, 59, 58), 0, 0, nullptr, u"m", u"2010/12/31  23:59:58 -   General: m\r\n", u""},
        {At(2010, 12, 31, 23, 59, 58), 3, 0xFFFFFFFFu, nullptr, u"m",
         u"2010/12/31  23:59:58 -      Info: JobFFFFFFFF - m\r\n", u""},
        {At(2024, 2, 29, 12, 0, 0), 5, 1, nullptr, u" - a -- b - ",
         u"2024/02/29  12:00:00 -  Critical: Job00000001 -  - a -- b - \r\n",
         u"ADD 2024/02/29 12:00:00 -- <NULL> -- 5 - Job1 -  - a -- b - \r\n"},
        {At(2024, 2, 29, 12, 0, 0), 0x80000000u, 12, nullptr, u"y", u"2024/02/29  12:00:00 -   General: Job0000000C - y\r\n",
         u"ADD 2024/02/29 12:00:00 -- <NULL> -- -2147483648 - Job12 - y\r\n"},
        // A year of fewer than four digits is padded with blanks; a field wider
        // than its width is written whole.
        {At(7, 1, 2, 3, 4, 5), 1, 0, nullptr, u"y", u"   7/01/02  03:04:05 -     Error: y\r\n",
         u"ADD    7/01/02 03:04:05 -- <NULL> -- 1 - Job0 - y\r\n"},
        {At(12345, 100, 2, 3, 4, 65535), 1, 0, nullptr, u"z", u"12345/100/02  03:04:65535 -     Error: z\r\n",
         u"ADD 12345/100/02 03:04:65535 -- <NULL> -- 1 - Job0 - z\r\n"},
        {At(2024, 2, 29, 12, 0, 1), 2, 7, nullptr, longText,
         Cut(u"2024/02/29  12:00:01 -   Warning: Job00000007 - " + longText + u"\r\n"),
         Cut(u"ADD 2024/02/29 12:00:01 -- <NULL> -- 2 - Job7 - " + longText + u"\r\n")},
    };
    std::u16string machineLog = u"\xFEFF", journal = u"\xFEFF";
    std::vector<std::uint32_t> words;
    for (const Row& row : rows) {
        faults.SetUtcTime(row.time);
        ASSERT_EQ(0, actlog::AppendActivityRecord(row.severity, row.job, row.text.c_str(), row.owner));
        if (row.owner == nullptr || *row.owner == 0) {
            machineLog += row.line;
            words.push_back(static_cast<std::uint32_t>(2 * machineLog.size()));
        }
        if (!row.journal.empty()) journal += JournalRecord(row.journal);
    }
    EXPECT_EQ(ReadUtf16(Log()), machineLog);
    const std::vector<std::uint8_t> index = ReadBytes(Index());
    EXPECT_EQ(std::vector<std::uint8_t>(index.begin(), index.begin() + 8),
              (std::vector<std::uint8_t>{0x52, 0, 0, 0, 0xB6, 0, 0, 0}));
    EXPECT_EQ(ReadIndex(Index()), words);
    EXPECT_EQ(ReadUtf16(Log("vm01")), u"\xFEFF" + rows[1].line);

    // A prune that removes a record journals the date as passed, owner
    // included, behind the last whole line: a torn tail is cut first.
    std::vector<std::uint8_t> torn = ReadBytes(Journal());
    torn.insert(torn.end(), {'1', 0, '2'});
    WriteBytes(Journal(), torn);
    const LogSystemTime date = At(1000, 1, 1, 0, 0, 0);
    EXPECT_EQ(1, PruneLog(&date, W(u"vm01")));
    journal += JournalRecord(u"PRUNE 1000/01/01 00:00:00 - vm01 - \r\n");
    EXPECT_EQ(ReadUtf16(Journal()), journal);
}

TEST_F(RecordBytesTest, FirstRecordStartsAFreshIndex) {
    // Records "...Error: old" and "...Error: new" are 39 characters, 78 bytes.
    faults.SetUtcTime(At(2001, 1, 1, 0, 0, 0));
    const std::vector<std::uint8_t> oldRecord = Utf16Bytes(u"2001/01/01  00:00:00 -     Error: old\r\n");
    const std::vector<std::uint8_t> stale = {7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};
    struct Row {
        std::vector<std::uint8_t> log, index;
        std::vector<std::uint32_t> indexAfter;
    };
    const Row rows[] = {
        {{}, stale, {80}},                       // empty log: mark, then the record
        {{0xFF, 0xFE}, stale, {80}},             // only the mark: the index is emptied
        {oldRecord, {78, 0, 0, 0}, {78, 156}},   // no mark: records start at 0, index continued
    };
    for (const Row& row : rows) {
        WriteBytes(Log(), row.log);
        WriteBytes(Index(), row.index);
        ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"new", nullptr), 0);
        EXPECT_EQ(ReadIndex(Index()), row.indexAfter) << row.log.size();
        EXPECT_EQ(ReadBytes(Log()).size(), row.indexAfter.back());
    }
}

TEST_F(RecordBytesTest, UnsafeOwnerOrUnwritableDirectoryTouchesNothing) {
    const std::u16string tooLong(300, u'o');
    for (const char16_t* owner : {u"../escape", u"..\\escape", u"C:x", u"a\r\nb", tooLong.c_str()}) {
        EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", owner), -1) << Utf8(owner);
    }
    EXPECT_EQ(ListDir(sandbox.logs), std::vector<std::string>{});
    EXPECT_FALSE(Exists(sandbox.root / "escape.activity.log"));
    fs::remove_all(sandbox.logs);
    WriteBytes(sandbox.logs, {1});  // a file where the directory should be
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", nullptr), -1);
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"m", u"vm01"), -1);
    EXPECT_FALSE(Exists(Journal()));
}

// Journal trouble never fails the record: the journal stays unwritten.
TEST_F(RecordBytesTest, JournalFailureDoesNotFailTheRecord) {
    faults.FailOnlyPaths(u"activity_sync");
    faults.FailNth(Op::Open, 1);
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"a", nullptr), 0);
    faults.Disarm();
    faults.FailNth(Op::MutexOpen, 2);  // the write mutex opens, the sync mutex does not
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"b", nullptr), 0);
    faults.Disarm();
    EXPECT_EQ(ReadIndex(Index()).size(), 2u);
    EXPECT_FALSE(Exists(Journal()));
    // Without the mark nothing is journaled; the directory is made when needed.
    fs::remove_all(sandbox.dataSync);
    EXPECT_EQ(actlog::AppendActivityRecord(1, 0, u"c", nullptr), 0);
    EXPECT_FALSE(Exists(Journal()));
    const LogSystemTime t = At(2009, 2, 1, 0, 0, 0);
    ASSERT_TRUE(actlog::SyncLogPrune(&t, u"vm01"));
    EXPECT_EQ(ReadUtf16(Journal()), u"\xFEFF" + JournalRecord(u"PRUNE 2009/02/01 00:00:00 - vm01 - \r\n"));
}

// A remembered index end is only a guess: from any guess, right, behind,
// beyond or torn, the tail check ends where the files' sizes lead it, with
// the same bytes in both files.
TEST_F(RecordBytesTest, TailCheckFromAnyGuessEndsAsFromTheSizes) {
    ScopedPlatform native(actlog::platform::Native());  // its reads that stop at a file's end
    std::vector<std::u16string> lines;
    for (unsigned i = 0; i < 80; ++i) {
        lines.push_back(RecordLine(At(2020, 1, 1, 0, 0, i % 60), 1, 0, u"m" + std::u16string(i % 7, u'x')));
    }
    const std::vector<std::uint32_t> ends = WriteLogPair(Log(), Index(), lines);
    const std::vector<std::uint8_t> log = ReadBytes(Log());
    const std::vector<std::uint8_t> index = ReadBytes(Index());
    // The bytes with `drop` cut from their end and `more` added.
    auto edit = [](std::vector<std::uint8_t> bytes, std::size_t drop, std::vector<std::uint8_t> more = {}) {
        bytes.resize(bytes.size() - drop);
        bytes.insert(bytes.end(), more.begin(), more.end());
        return bytes;
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> log, index;
    };
    const Case cases[] = {
        {"sound", log, index},
        {"records without entries", log, edit(index, 12)},
        {"a torn record", edit(log, 6), edit(index, 4)},
        {"a torn entry", log, edit(index, 2)},
        {"a torn record after a whole line end", edit(log, 0, {'2', 0, '0', 0}), index},
        {"an entry past the log", edit(log, 2), index},
        {"entries past the log's end", edit(log, log.size() - ends[69]), index},
        {"a line end that is no record's end", edit(log, 0, Utf16Bytes(u"\r\n")), index},
    };
    struct Outcome {
        actlog::TailState state;
        std::uint32_t logEnd, indexEnd;
        std::vector<std::uint8_t> log, index;
        bool operator==(const Outcome&) const = default;
    };
    auto check = [&](const Case& c, std::uint32_t guess) {
        WriteBytes(Log(), c.log);
        WriteBytes(Index(), c.index);
        Outcome out{};
        {
            using actlog::platform::Access;
            using actlog::platform::Disposition;
            actlog::ScopedFile l = actlog::ScopedFile::Open(U16(Log()).c_str(), Access::ReadWrite, Disposition::OpenExisting);
            actlog::ScopedFile i = actlog::ScopedFile::Open(U16(Index()).c_str(), Access::ReadWrite, Disposition::OpenExisting);
            actlog::PairEnds pair{l.get(), i.get()};
            pair.indexGuess = guess;
            out.state = actlog::RepairTail(pair);
            if (out.state == actlog::TailState::Sound) {
                out.logEnd = pair.logEnd;
                out.indexEnd = pair.indexEnd;
            }
        }
        out.log = ReadBytes(Log());
        out.index = ReadBytes(Index());
        return out;
    };
    for (const Case& c : cases) {
        const Outcome expected = check(c, 0);
        for (std::uint32_t guess = 2; guess <= index.size() + 8; guess += 2) {
            ASSERT_TRUE(check(c, guess) == expected) << c.name << ", guess " << guess;
        }
    }
    // The sound pair from the sizes: the log ends at the last entry.
    EXPECT_TRUE(check(cases[0], 0) == (Outcome{actlog::TailState::Sound, ends.back(), 4 * 80u, log, index}));
}

}  // namespace
