#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "Log.h"
#include "activity/record_append.h"
#include "retrieval/paged_queries.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

// A record line stamped 2024/03/05 10:20:<second>.
std::u16string Line(std::uint32_t severity, std::uint32_t job, std::u16string_view message, int second = 0) {
    return RecordLine(At(2024, 3, 5, 10, 20, static_cast<unsigned>(second)), severity, job, message);
}

std::u16string Rec(int k) { return u" record " + std::u16string(1, static_cast<char16_t>(u'0' + k)); }

// A walk's bytes for a line: its characters, the terminator and the line feed.
std::uint32_t WalkBytes(const std::u16string& line) { return static_cast<std::uint32_t>((line.size() + 2) * 2); }

std::vector<std::u16string> Recs(std::initializer_list<int> ks) {
    std::vector<std::u16string> out;
    for (int k : ks) out.push_back(Rec(k));
    return out;
}

using PagedQueryTest = SandboxTest;

TEST_F(PagedQueryTest, RecordThatDoesNotSplitIsDroppedButStillCountsForStart) {
    std::vector<std::u16string> lines;
    for (int k = 0; k < 10; ++k) lines.push_back(Line(2, 0, Rec(k).substr(1), k));
    lines[8] = u"2024/03/05  10:20:08 - no colon after the hyphen\r\n";
    lines[3] = u"no hyphen at all: record 3\r\n";
    WriteLogPair(Log(), Index(), lines);

    struct Case {
        std::uint32_t start, count;
        std::vector<std::u16string> messages;
    } cases[] = {
        {0, 3, Recs({9, 7, 6})},
        {3, 3, Recs({6, 5, 4})},  // starts at record 6 again
        {5, 3, Recs({4, 2, 1})},
        {0, 0xFFFFFFFFu, Recs({9, 7, 6, 5, 4, 2, 1, 0})},
    };
    for (const Case& c : cases) {
        Page page;
        ASSERT_EQ(GetLog(c.start, c.count, &page.entries, &page.returned, &page.total, nullptr), 0);
        EXPECT_EQ(Messages(page.entries), c.messages) << "start " << c.start;
        EXPECT_EQ(page.returned, c.messages.size());
        EXPECT_EQ(page.total, 10u);
    }
    // A dropped record is no match for the job query either.
    Page job;
    ASSERT_EQ(GetJobLog(0, 0, 20, &job.entries, &job.returned, &job.total, nullptr), 0);
    EXPECT_EQ(Messages(job.entries), Recs({9, 7, 6, 5, 4, 2, 1, 0}));
    EXPECT_EQ(job.total, 8u);
}

// Severities without a label of their own come back as 0. A label part that
// differs from a real one only inside ("Erxor": length, first, middle and last
// characters alike) is no label either, before and after the real one. Only
// GetLog confines the search to the label part: GetJobLog finds severity 2's
// label ("Warning") inside the oldest record's message.
TEST_F(PagedQueryTest, SeverityComesBackOnlyFromItsExactLabel) {
    std::u16string error = Line(1, 0, u"text");
    std::u16string lookalike = error;
    lookalike[lookalike.find(u':', lookalike.find(u'-')) - 3] = u'x';
    WriteLogPair(Log(), Index(), {Line(0, 0, u"Warning: disk nearly full"), Line(6, 0, u"text"),
                                  Line(0xFFFFFFFFu, 0, u"text"), error, lookalike, error, lookalike});
    Page page, job;
    ASSERT_EQ(GetLog(0, 7, &page.entries, &page.returned, &page.total, nullptr), 0);
    ASSERT_EQ(page.returned, 7u);
    const std::uint32_t newestFirst[] = {0, 1, 0, 1, 0, 0, 0};
    for (std::uint32_t i = 0; i < 7; ++i) EXPECT_EQ(page.entries[i].severity, newestFirst[i]) << "entry " << i;
    ASSERT_EQ(GetJobLog(0, 6, 1, &job.entries, &job.returned, &job.total, nullptr), 0);
    ASSERT_EQ(job.returned, 1u);
    EXPECT_EQ(job.entries[0].severity, 2u);
}

// Records longer than the walk's span: read whole, or up to a NUL that comes early.
TEST_F(PagedQueryTest, RecordsLongerThanASpan) {
    // Written directly: an append would cut such a message.
    auto longLine = [](char16_t c, int second) {
        std::u16string line = Line(2, 0, u"", second);
        line.insert(line.size() - 2, 600000, c);
        return line;
    };
    std::u16string cut = longLine(u'y', 2);
    cut[cut.find(u'y') + 4] = 0;
    WriteLogPair(Log(), Index(), {Line(1, 0, u"short"), longLine(u'x', 1), cut, Line(3, 0, u"last", 3)});
    Page page;
    ASSERT_EQ(GetLog(0, 4, &page.entries, &page.returned, &page.total, nullptr), 0);
    const std::vector<std::u16string> expected = {u" last", u" yyyy", u" " + std::u16string(600000, u'x'), u" short"};
    EXPECT_TRUE(Messages(page.entries) == expected);
}

// Pages whose index words lie within the index's last 4 KiB (read with the
// tail check), across its edge and beyond it; dropped records make a page
// read past what it first asked for.
TEST_F(PagedQueryTest, PagesNearAndFarFromTheNewestRecords) {
    for (std::uint32_t n : {300u, 1500u}) {
        std::vector<std::u16string> lines;
        for (std::uint32_t k = 0; k < n; ++k) {
            std::string number = std::to_string(k);
            lines.push_back(k % 7 == 3 ? u"dropped\r\n" : Line(2, 0, std::u16string(number.begin(), number.end())));
        }
        WriteLogPair(Log(), Index(), lines);
        for (std::uint32_t start : {0u, 200u, 920u, 923u, 1000u, 1450u}) {
            for (std::uint32_t count : {3u, 100u}) {
                if (start >= n) continue;
                std::vector<std::u16string> expected;
                for (std::uint32_t k = n - start; k-- > 0 && expected.size() < count;) {
                    std::string number = std::to_string(k);
                    if (k % 7 != 3) expected.push_back(u" " + std::u16string(number.begin(), number.end()));
                }
                Page page;
                ASSERT_EQ(GetLog(start, count, &page.entries, &page.returned, &page.total, nullptr), 0);
                EXPECT_EQ(Messages(page.entries), expected) << n << " records, start " << start << ", count " << count;
                EXPECT_EQ(page.total, n);
            }
        }
    }
}

// A line split at every alignment in a walk-like buffer (16-byte aligned,
// zero padding behind the terminator): the ':' is the first one after the
// '-', also where colons before the '-' share its 16-byte block. A memo
// holding more label parts than it has slots gives what a search gives.
TEST_F(PagedQueryTest, SplittingAtEveryAlignment) {
    struct Case {
        std::u16string line;
        bool splits;
        std::u16string time, message;
        std::uint32_t job = 0;
    } cases[] = {
        {u"2024/03/05  10:20:08 -     Error: text", true, u"2024/03/05  10:20:08 ", u" text"},
        {u"12:34-ab:cd", true, u"12:34", u"cd"},
        {u"-:", true, u"", u""},
        {u"1:2:3:4:5:6:7-" + std::u16string(20, u'x') + u": Job0000001F - m", true, u"1:2:3:4:5:6:7", u" m", 0x1F},
        {u"a:b:c:d:e:f-g", false, u"", u""},
        {u"no hyphen: at all", false, u"", u""},
        {u"", false, u"", u""},
    };
    alignas(16) char16_t buffer[128];
    for (const Case& c : cases) {
        for (std::size_t offset = 0; offset < 8; ++offset) {
            std::fill(std::begin(buffer), std::end(buffer), u'\0');
            std::copy(c.line.begin(), c.line.end(), buffer + offset);
            actlog::RecordParts parts;
            ASSERT_EQ(actlog::SplitRecordLine(buffer + offset, WalkBytes(c.line), parts), c.splits) << "offset " << offset;
            if (!c.splits) continue;
            EXPECT_EQ(std::u16string(parts.timeText), c.time);
            EXPECT_EQ(std::u16string(parts.messageText), c.message);
            EXPECT_EQ(parts.jobNumber, c.job);
        }
    }

    actlog::SeverityMemo memo;
    const std::u16string labels[] = {u"    Error", u"  Warning", u"Information", u"Error", u"x"};
    for (int pass = 0; pass < 3; ++pass) {
        for (int k = 0; k < 40; ++k) {
            std::u16string line = u"t -" + labels[k % 5] + std::u16string(static_cast<std::size_t>(k / 5), u' ') + u": m";
            actlog::RecordParts remembered, searched;
            std::fill(std::begin(buffer), std::end(buffer), u'\0');
            std::copy(line.begin(), line.end(), buffer);
            ASSERT_TRUE(actlog::SplitRecordLine(buffer, WalkBytes(line), remembered, &memo));
            std::copy(line.begin(), line.end(), buffer);
            ASSERT_TRUE(actlog::SplitRecordLine(buffer, WalkBytes(line), searched));
            EXPECT_EQ(remembered.severity, searched.severity) << "part " << k << ", pass " << pass;
        }
    }
}

// SplitRecordLine reads a line as the append writes it at fixed places and
// any other by a search (SplitAnyRecordLine): both give the same parts and
// leave the same text, at every alignment, with and without memos that live
// across lines (more label parts than slots). Each line ends its buffer as in
// a walk (terminator, line feed, 16 zero bytes), so ASan sees a read past it.
TEST_F(PagedQueryTest, FixedPlaceSplitMatchesTheSearch) {
    const std::u16string usual = Line(1, 0x1F, u"m: x").substr(0, 52);  // no CR LF
    ASSERT_EQ(usual.substr(20, 16), u" -     Error: Jo");
    auto with = [&](std::size_t at, std::u16string_view text) {
        std::u16string line = usual;
        return line.replace(at, text.size(), text);
    };
    std::vector<std::u16string> lines = {
        with(4, u"-"), with(21, u"x"), with(22, u":"), with(23, u":"), with(22, u"     Erxor"), with(22, u"x    Error"),
        with(22, u"     Errox"), with(21, std::u16string(1, 0)), with(23, std::u16string(1, 0)), with(25, u":"), with(27, std::u16string(1, 0)),
        with(32, u"x"), with(10, std::u16string(1, 0)), with(33, std::u16string(1, 0)), with(36, u"B"),
        with(40, u"f"), with(40, u"G"), with(40, u"/"), with(40, u":"), with(40, u"@"), with(40, u"\u0130"),
        with(40, u"\uFF10"), with(44, std::u16string(1, 0)), with(46, u"_"), with(47, std::u16string(1, 0)),
        with(34, u"job"), with(37, u"00000000"), usual.substr(0, 21), usual.substr(0, 22), usual.substr(0, 33), usual.substr(0, 44),
        u"", u"-:", u"12:34-ab:cd"};
    for (std::uint32_t severity = 0; severity < 6; ++severity) {
        for (std::uint32_t job : {0u, 0x1Fu, 0xFFFFFFFFu, 0xA0B1C2D3u}) lines.push_back(Line(severity, job, u" m"));
    }
    const std::u16string labels[] = {u"Error", u"Warning", u"Info", u"Success", u"Critical", u"General", u"x"};
    for (std::size_t k = 0; k < 40; ++k) {
        std::u16string part(10, u' ');
        const std::u16string& label = labels[k % 7];
        part.replace((k / 7) % (11 - label.size()), label.size(), label);
        lines.push_back(with(22, part));
    }

    actlog::SeverityMemo fixedMemo, searchMemo;
    for (int pass = 0; pass < 2; ++pass) {
        for (const std::u16string& line : lines) {
            for (std::size_t offset = 0; offset < 8; ++offset) {
                for (bool memo : {false, true}) {
                    std::vector<char16_t> fixed(offset + line.size() + 10, u'\0');
                    std::copy(line.begin(), line.end(), fixed.begin() + static_cast<std::ptrdiff_t>(offset));
                    fixed[offset + line.size() + 1] = u'\n';
                    std::vector<char16_t> searched = fixed;
                    actlog::RecordParts a, b;
                    bool split = actlog::SplitRecordLine(fixed.data() + offset, WalkBytes(line), a, memo ? &fixedMemo : nullptr);
                    ASSERT_EQ(split, actlog::SplitAnyRecordLine(searched.data() + offset, b, memo ? &searchMemo : nullptr))
                        << Utf8(line);
                    EXPECT_EQ(fixed, searched) << Utf8(line);
                    if (!split) continue;
                    EXPECT_EQ(a.severity, b.severity) << Utf8(line);
                    EXPECT_EQ(a.jobNumber, b.jobNumber) << Utf8(line);
                    EXPECT_EQ(a.timeText - fixed.data(), b.timeText - searched.data()) << Utf8(line);
                    EXPECT_EQ(a.messageText - fixed.data(), b.messageText - searched.data()) << Utf8(line);
                }
            }
        }
    }
}

TEST_F(PagedQueryTest, MissingOutputsOrRefusedOwnerFail) {
    ASSERT_EQ(actlog::AppendActivityRecord(2, 0, u"x", nullptr), 0);
    ActivityEntry* entries = nullptr;
    std::uint32_t returned = 0, total = 0;
    EXPECT_EQ(GetLog(0, 1, nullptr, &returned, &total, nullptr), -1);
    EXPECT_EQ(GetLog(0, 1, &entries, nullptr, &total, nullptr), -1);
    EXPECT_EQ(GetJobLog(0, 0, 1, &entries, &returned, nullptr, nullptr), -1);
    Page refused;
    EXPECT_EQ(GetLog(0, 1, &refused.entries, &refused.returned, &refused.total, W(u"a/b")), -1);
    EXPECT_EQ(refused.entries, nullptr);
    EXPECT_EQ(refused.total, 0u);
    EXPECT_TRUE(Exists(Index()));
}

// 600 records of 4 KB: a page's texts span several blocks, and every
// entry's text stays whole until FreeLog.
TEST_F(PagedQueryTest, PageOfLongRecordsComesBackWhole) {
    std::vector<std::u16string> lines, messages, jobMessages;
    for (int k = 0; k < 600; ++k) {
        std::string number = std::to_string(k);
        std::u16string message = u" " + std::u16string(number.begin(), number.end()) +
                                 std::u16string(2000, static_cast<char16_t>(u'a' + k % 26));
        lines.push_back(Line(2, k % 3 == 0 ? 7u : 0u, message.substr(1), k % 60));
        messages.insert(messages.begin(), message);
        if (k % 3 != 0) jobMessages.insert(jobMessages.begin(), message);
    }
    WriteLogPair(Log(), Index(), lines);
    Page page;
    ASSERT_EQ(GetLog(0, 1000, &page.entries, &page.returned, &page.total, nullptr), 0);
    EXPECT_EQ(Messages(page.entries), messages);
    Page job;
    ASSERT_EQ(GetJobLog(0, 0, 1000, &job.entries, &job.returned, &job.total, nullptr), 0);
    EXPECT_EQ(Messages(job.entries), jobMessages);
}

#ifndef _WIN32
// A sparse log just under 4 GiB: record 0 is the hole (zeros, then CR LF), the
// nine real records lie past 2 GiB and end 16 bytes below 4 GiB. Every reader
// reaches them, and a record 0 that long costs no memory (it has no text).
TEST_F(PagedQueryTest, LogNearFourGiBIsReadByEveryReader) {
    std::vector<std::u16string> lines;
    for (int k = 1; k <= 9; ++k) {
        lines.push_back(Line(k % 3 == 0 ? 4 : 1, k % 2 == 0 ? 7u : 0u, Rec(k).substr(1), k));
    }
    std::uint64_t tail = 0;
    for (const auto& line : lines) tail += line.size() * 2;
    const std::uint64_t firstEnd = 0xFFFFFFF0u - tail;
    std::vector<std::uint32_t> entries = {static_cast<std::uint32_t>(firstEnd)};
    {
        std::ofstream log(Log("vm01"), std::ios::binary);
        log.write("\xFF\xFE", 2);
        log.seekp(static_cast<std::streamoff>(firstEnd - 4));
        log.write("\r\0\n\0", 4);
        for (const auto& line : lines) {
            for (char16_t c : line) log.put(static_cast<char>(c & 0xFF)).put(static_cast<char>(c >> 8));
            entries.push_back(static_cast<std::uint32_t>(log.tellp()));
        }
        ASSERT_TRUE(log.good());
    }
    WriteIndex(Index("vm01"), entries);

    Page page;
    ASSERT_EQ(GetLog(0, 0xFFFFFFFFu, &page.entries, &page.returned, &page.total, W(u"vm01")), 0);
    EXPECT_EQ(Messages(page.entries), Recs({9, 8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(page.total, 10u);
    Page job;
    ASSERT_EQ(GetJobLog(7, 0, 10, &job.entries, &job.returned, &job.total, W(u"vm01")), 0);
    EXPECT_EQ(Messages(job.entries), Recs({8, 6, 4, 2}));

    WriteLogPair(Log(), Index(), {});  // the machine's own log, exported first
    ASSERT_EQ(MergeAllActiveLog2LogTransFull(), 0);
    SyncLogEntry* full = nullptr;
    std::uint32_t exported = 0;
    EXPECT_GE(GetNextSyncLogsFull(100, &full, &exported), 0);
    EXPECT_EQ(exported, 9u);
    FreeSyncLog(full);

    // The log ends 16 bytes below 4 GiB: a record would pass the 32-bit
    // offsets, so the append fails and changes nothing.
    EXPECT_EQ(-1, actlog::AppendActivityRecord(1, 0, u"one too many", u"vm01"));
    EXPECT_EQ(fs::file_size(Log("vm01")), 0xFFFFFFF0u);
    EXPECT_EQ(ReadIndex(Index("vm01")), entries);

    // Records 1 to 4 are older than second 5; the search never needs record 0.
    LogSystemTime cutOff = At(2024, 3, 5, 10, 20, 5);
    EXPECT_EQ(PruneLog(&cutOff, W(u"vm01")), 5);
    Page after;
    ASSERT_EQ(GetLog(0, 10, &after.entries, &after.returned, &after.total, W(u"vm01")), 0);
    EXPECT_EQ(Messages(after.entries), Recs({9, 8, 7, 6, 5}));
}
#endif

}  // namespace
