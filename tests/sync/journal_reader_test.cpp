// The journal line parser, the batch readers and their shared reading
// position (as scripts of calls over written journals), the hand-over, the
// path getters, and the sweep of failing platform calls.
#include <gtest/gtest.h>

#include <climits>

#include "support/fault_platform.h"
#include "support/fault_sweep.h"
#include "support/sandbox.h"
#include "sync_test_helpers.h"

#include "Log.h"
#include "frame/module.h"
#include "sync/journal_reader.h"

namespace {

using namespace synctest;
using testsupport::Exists;
using testsupport::ReadBytes;
using Bytes = std::vector<std::uint8_t>;
using actlog::platform::WaitResult;

std::u16string AddLine(int n) { return u"ADD 2024/01/02 03:04:05 -- vm01 -- 2 - Job" + Number(n) + u" - m\r\n"; }

Bytes B(const std::u16string& text) { return testsupport::Utf16Bytes(text); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
const Bytes kMark = {0xFF, 0xFE};
Bytes Lines(int first, int count) {
    Bytes bytes = kMark;
    for (int n = first; n < first + count; ++n) bytes = bytes + B(Record(AddLine(n)));
    return bytes;
}

struct LineCase {
    const char* name;
    std::u16string line;
    int outcome;  // 1 parsed, 0 skipped, -1 failure
    Entry entry;
};

TEST(ParseJournalLine, LinesOfEveryShape) {
    const LineCase cases[] = {
        {"machine", u"ADD 2009/03/05 07:08:09 -- <NULL> -- 1 - Job0 - Volume scanned\r\n", 1,
         {u"ADD", u"<NULL>", u"2009-03-05 07:08:09", u"Volume scanned", 1, 0}},
        {"prune", u"PRUNE 2009/02/01 00:00:00 - vm01 - \r\n", 1,
         {u"PRUNE", std::nullopt, u"2009-02-01 00:00:00", std::nullopt, -1, -1}},
        {"message begins with a blank", u"ADD 2024/05/01 10:00:00 -- vm01 -- 4 - Job7 -  text\r\n", 1,
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
    for (auto [text, value] : {std::pair{u"       128 ", 128}, {u"-12", -12}, {u"abc", 0}, {u"\t\r7", 7}, {u"\b7", 0}, {u"2147483648", INT_MAX},
                               {u"-99999999999", INT_MIN}}) {
        EXPECT_EQ(value, actlog::WideToInt(text)) << testsupport::Utf8(text);
    }
}

// One reader call of a script and what it must give: the result and the job
// numbers of the entries ("" for none).
struct Step {
    bool full;
    std::uint32_t count;
    int result;
    const char* jobs;
};

struct ScriptRow {
    const char* name;
    std::optional<Bytes> handOver, full;  // nullopt: no such file
    std::vector<Step> steps;
};

std::string Jobs(const Batch& batch) {
    std::string jobs;
    for (const Entry& e : batch.entries) jobs += (jobs.empty() ? "" : " ") + std::to_string(e.job);
    return jobs;
}

TEST_F(SyncTest, ReaderScripts) {
    const Bytes cut = B(Record(AddLine(1)).substr(0, 30));
    const auto damaged = [](const std::u16string& bad) { return Lines(0, 2) + B(bad); };
    const std::vector<Step> damagedSteps = {{false, 1, 0, "0"}, {false, 5, -1, ""}, {false, 2, 0, "0 1"}};
    // A record cut short by a failed write, with records after it, is passed over.
    const auto torn = [](const Bytes& bad) { return Lines(0, 1) + bad + B(Record(AddLine(2))); };
    const std::vector<Step> tornSteps = {{false, 2, 0, "0"}, {false, 2, 1, "2"}};
    const ScriptRow rows[] = {
        // The position is closed at the end and by a count of 0: the next call starts over.
        {"batches continue where the last stopped",
         Lines(0, 5),
         std::nullopt,
         {{false, 3, 0, "0 1 2"}, {false, 3, 1, "3 4"}, {false, 5, 0, "0 1 2 3 4"}, {false, 5, 1, ""},
          {false, 2, 0, "0 1"}, {false, 0, 0, ""}, {false, 1, 0, "0"}}},
        {"byte-order mark only", kMark, std::nullopt, {{false, 4, 1, ""}}},
        {"empty file", Bytes{}, std::nullopt, {{false, 4, 1, ""}}},
        {"skipped lines count toward the batch",
         Lines(0, 1) + B(Record(u"NOISE\r\n") + Record(u"DEL x\r\n") + Record(AddLine(3))),
         std::nullopt,
         {{false, 3, 0, "0"}, {false, 3, 1, "3"}}},
        {"prefix zero", damaged(u"         0 PRUNE x - \r\n"), std::nullopt, damagedSteps},
        {"negative prefix", damaged(u"       -40 PRUNE x - \r\n"), std::nullopt, damagedSteps},
        {"length of 2 bytes", damaged(u"         2 \r\n"), std::nullopt, damagedSteps},
        {"line without CR LF", damaged(Record(u"PRUNE 2024/01/01 00:00:00 - o - \n\n")), std::nullopt, damagedSteps},
        {"short line", damaged(u"        80 PRUNE 2024/01/01 00:00:00 - o - \r\n"), std::nullopt, damagedSteps},
        {"torn in the line", torn(cut), std::nullopt, tornSteps},
        {"torn at an odd byte", torn(Bytes(cut.begin(), cut.end() - 1)), std::nullopt, tornSteps},
        {"torn in the length prefix", torn(Bytes(cut.begin(), cut.begin() + 10)), std::nullopt, tornSteps},
        {"torn without CR LF", torn(B(Record(u"PRUNE x\n\n"))), std::nullopt, tornSteps},
        // Both readers share one position; once it is closed each opens its own file.
        {"shared position",
         Lines(0, 3),
         Lines(100, 3),
         {{false, 1, 0, "0"}, {true, 5, 1, "1 2"}, {true, 5, 1, "100 101 102"}}},
        {"missing journals", std::nullopt, std::nullopt, {{false, 3, -1, ""}, {true, 3, -1, ""}}},
    };
    for (const ScriptRow& row : rows) {
        SCOPED_TRACE(row.name);
        actlog::CloseSyncReadingPosition();
        fs::remove(HandOver());
        fs::remove(Full());
        if (row.handOver) testsupport::WriteBytes(HandOver(), *row.handOver);
        if (row.full) testsupport::WriteBytes(Full(), *row.full);
        for (const Step& step : row.steps) {
            SCOPED_TRACE(testing::Message() << "step " << (&step - row.steps.data()));
            Batch batch = Read(step.full ? GetNextSyncLogsFull : GetNextSyncLogs, step.count);
            EXPECT_EQ(step.result, batch.result);
            EXPECT_EQ(step.jobs, Jobs(batch));
            EXPECT_EQ(step.result != -1 && step.count != 0, batch.arrayHandedOut);
            EXPECT_TRUE(batch.terminated);
        }
    }
    FreeSyncLog(nullptr);
    SyncLogEntry* entries = nullptr;
    std::uint32_t returned = 0;
    EXPECT_EQ(-1, GetNextSyncLogs(1, nullptr, &returned));
    EXPECT_EQ(-1, GetNextSyncLogsFull(1, &entries, nullptr));
}

// Platform call N of a reader's second batch or of a switch fails, once or
// from then on: a failed batch hands out nothing and closes the position, a
// failed switch moves nothing, and the next call finds the journal whole.
TEST_F(SyncTest, EveryFailingPlatformCallLeavesTheJournalWhole) {
    testsupport::FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    auto readerPrepare = [&] {
        actlog::CloseSyncReadingPosition();
        testsupport::WriteBytes(HandOver(), Lines(0, 5));
        ASSERT_EQ("0 1", Jobs(Read(GetNextSyncLogs, 2)));
    };
    testsupport::SweepFailingCalls(faults, readerPrepare, [&](auto) {
        Batch batch = Read(GetNextSyncLogs, 2);
        faults.Disarm();
        EXPECT_TRUE(batch.terminated);
        if (batch.result == -1) {
            EXPECT_FALSE(batch.arrayHandedOut);
            EXPECT_EQ("0 1 2 3 4", Jobs(Read(GetNextSyncLogs, 5)));
        } else {
            EXPECT_EQ(0, batch.result);
            EXPECT_EQ("2 3", Jobs(batch));
            EXPECT_EQ("4", Jobs(Read(GetNextSyncLogs, 5)));
        }
    });
    actlog::CloseSyncReadingPosition();

    const Bytes journal = Lines(0, 2);
    auto switchPrepare = [&] {
        fs::remove(HandOver());
        testsupport::WriteBytes(Journal(), journal);
    };
    testsupport::SweepFailingCalls(faults, switchPrepare, [&](auto) {
        const int result = SwitchSyncLog4Trans();
        faults.Disarm();
        if (result != 0) {
            EXPECT_EQ(-1, result);
            EXPECT_FALSE(Exists(HandOver()));
            EXPECT_EQ(journal, ReadBytes(Journal()));
            EXPECT_EQ(0, SwitchSyncLog4Trans());
        }
        EXPECT_FALSE(Exists(Journal()));
        EXPECT_EQ(journal, ReadBytes(HandOver()));
    });
}

TEST_F(SyncTest, SwitchMovesTheJournalOnlyWhenNoHandOverExists) {
    testsupport::FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    EXPECT_FALSE(Exists(HandOver()));

    testsupport::WriteBytes(Journal(), Lines(0, 2));
    const Bytes first = ReadBytes(Journal());
    faults.OverrideWait(1, WaitResult::Abandoned);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
    EXPECT_FALSE(Exists(HandOver()));
    // After an abandoned wait the mutex was given back: the next switch works.
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    EXPECT_FALSE(Exists(Journal()));
    EXPECT_EQ(first, ReadBytes(HandOver()));

    // A hand-over journal present: the new journal stays where it is.
    testsupport::WriteBytes(Journal(), Lines(10, 1));
    const Bytes second = ReadBytes(Journal());
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    EXPECT_EQ(first, ReadBytes(HandOver()));
    EXPECT_EQ(second, ReadBytes(Journal()));

    // Without a sync journal, and after a failed wait, the hand-over still counts.
    fs::remove(Journal());
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    faults.OverrideWait(1, WaitResult::Failed);
    EXPECT_EQ(0, SwitchSyncLog4Trans());
    faults.FailNth(testsupport::FaultInjectingPlatform::Op::MutexOpen, 1);
    EXPECT_EQ(-1, SwitchSyncLog4Trans());
}

TEST_F(SyncTest, PathGettersCutToTheBuffer) {
    using Getter = int32_t (*)(LOG_WCHAR*, int32_t) noexcept;
    const std::pair<Getter, const char16_t*> getters[] = {
        {GetLogSyncFileTransName, u"activity_sync_trans.log"},
        {GetLogSyncFileTransNameFull, u"activity_sync_trans_full.log"},
        {GetLogSyncFileTransXMLName, u"activity_sync_transXML.xml"},
    };
    for (const auto& [getter, file] : getters) {
        SCOPED_TRACE(testsupport::Utf8(file));
        std::u16string expected = std::u16string(actlog::Module().dataSyncDirectory.view()) + file;
        LOG_WCHAR whole[260];
        EXPECT_EQ(0, getter(whole, static_cast<int32_t>(expected.size() + 1)));
        EXPECT_EQ(expected, Copy(whole));

        LOG_WCHAR ten[12];
        ten[10] = ten[11] = u'#';
        EXPECT_NE(0, getter(ten, 10));
        EXPECT_EQ(expected.substr(0, 9), Copy(ten));
        EXPECT_EQ(u'#', ten[10]);

        LOG_WCHAR untouched[1] = {u'#'};
        EXPECT_NE(0, getter(untouched, 0));
        EXPECT_NE(0, getter(untouched, -5));
        EXPECT_EQ(u'#', untouched[0]);
        EXPECT_NE(0, getter(nullptr, 260));
    }
}

}  // namespace
