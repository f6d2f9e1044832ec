// Full resynchronisation: which logs, in which order, which records, under
// which owner names, what becomes of the journal files, and its failure rows.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "support/fault_platform.h"
#include "support/fault_sweep.h"
#include "support/sandbox.h"
#include "sync_test_helpers.h"

#include "Log.h"
#include "activity/record_append.h"
#include "platform/platform.h"
#include "sync/full_resync.h"
#include "sync/journal_reader.h"

namespace {

using namespace synctest;
using testsupport::Exists;
using testsupport::ReadUtf16;
using Op = testsupport::FaultInjectingPlatform::Op;

class FullResyncTest : public SyncTest {
protected:
    static void Append(std::uint32_t severity, const std::u16string& message, const char16_t* owner = nullptr,
                       std::uint32_t job = 0) {
        ASSERT_EQ(0, actlog::AppendActivityRecord(severity, job, message.c_str(), owner));
    }

    // Every entry of the full journal, read in batches of 7.
    static std::vector<Entry> ReadFull() {
        std::vector<Entry> all;
        for (;;) {
            Batch batch = Read(GetNextSyncLogsFull, 7);
            EXPECT_NE(-1, batch.result);
            all.insert(all.end(), batch.entries.begin(), batch.entries.end());
            if (batch.result != 0) return all;
        }
    }
    static std::vector<std::u16string> Messages() {
        std::vector<std::u16string> out;
        for (const Entry& e : ReadFull()) out.push_back(e.message.value_or(u"?"));
        return out;
    }

    // The owners of the log files in the order the directory search gives them.
    std::vector<std::u16string> SearchOrder() const {
        actlog::platform::Platform& os = actlog::platform::Current();
        std::u16string pattern = testsupport::U16(sandbox.logs) + actlog::platform::kSeparator + u"*.activity.log";
        char16_t name[260];
        std::vector<std::u16string> owners;
        actlog::platform::SearchHandle search = os.FindFirst(pattern.c_str(), name, 260);
        if (!search.valid()) return owners;
        do {
            owners.push_back(std::u16string(name).substr(0, std::u16string(name).find(u'.')));
        } while (os.FindNext(search, name, 260));
        os.FindClose(search);
        return owners;
    }
};

TEST_F(FullResyncTest, MainLogFirstThenOwnersInSearchOrderNewestFirst) {
    for (const char16_t* owner : {u"vm02", u"alpha", u"vm01"}) {
        Append(1, std::u16string(owner) + u" old", owner);
        Append(4, std::u16string(owner) + u" new", owner, 0x1Au);
    }
    for (auto [severity, message] : {std::pair{1u, u"m1"}, {0u, u"m2"}, {3u, u"m3"}}) Append(severity, message);
    Append(5, u"m4", nullptr, 0x12345678u);
    Append(2, u"m5");
    Append(7, u"m6");  // read back as severity 0
    // A log name without an owner part belongs to nobody: it is left out.
    testsupport::WriteBytes(sandbox.logs / ".activity.log", {0xFF, 0xFE});

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::vector<Entry> entries = ReadFull();
    std::vector<Entry> expected = {{u"ADD", u"<NULL>", {}, u" m5", 2, 0},
                                   {u"ADD", u"<NULL>", {}, u" m4", 5, 0x12345678},
                                   {u"ADD", u"<NULL>", {}, u" m1", 1, 0}};
    for (const std::u16string& owner : SearchOrder()) {
        if (owner.empty()) continue;
        expected.push_back({u"ADD", owner, {}, u" " + owner + u" new", 4, 0x1A});
        expected.push_back({u"ADD", owner, {}, u" " + owner + u" old", 1, 0});
    }
    for (Entry& e : entries) e.time.reset();
    EXPECT_EQ(expected, entries);
}

// The line is the reduced time and the message after two blanks (a job number
// of 2^31 or more shows negative); an over-long line is cut and keeps its line end.
TEST_F(FullResyncTest, LineShapeAndOverLongLines) {
    Append(2, u"the message", nullptr, 0xFFFFFFF7u);
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::u16string text = ReadUtf16(Full());
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ(u'\xFEFF', text[0]);
    std::u16string line = text.substr(12);
    ASSERT_EQ(u"ADD ", line.substr(0, 4));
    EXPECT_EQ(u" -- <NULL> -- 2 - Job-9 -  the message\r\n", line.substr(23));
    EXPECT_EQ(Record(line), text.substr(1));

    std::u16string owner(150, u'o');
    testsupport::WriteBytes(Log(), {});
    testsupport::WriteBytes(Index(), {});
    Append(1, std::u16string(4000, u'x'), owner.c_str());
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    text = ReadUtf16(Full());
    line = text.substr(std::min<std::size_t>(12, text.size()));
    EXPECT_EQ(4095u, line.size());
    EXPECT_EQ(u"\r\n", line.substr(line.size() - 2));
    EXPECT_EQ(Record(line), text.substr(1));
    std::vector<Entry> entries = ReadFull();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(owner, entries[0].owner);
}

TEST_F(FullResyncTest, ClearsTheJournalsAndLeavesTheMarkAndXmlFile) {
    sandbox.CreateFullSyncMark();
    Append(1, u"kept");
    WriteJournal(HandOver(), Record(u"PRUNE 2001/01/01 00:00:00 - x - \r\n"));
    WriteJournal(Full(), Record(u"ADD 2001/01/01 00:00:00 -- stale -- 1 - Job0 -  old\r\n"));
    testsupport::WriteBytes(Sync("activity_sync_transXML.xml"), {'<', 'x', '/', '>'});
    ASSERT_TRUE(Exists(Journal()));  // the ADD line of "kept"

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Journal()));
    EXPECT_FALSE(Exists(HandOver()));
    EXPECT_TRUE(Exists(Sync("activeLogFullSyncFinished.mark")));
    EXPECT_EQ((std::vector<std::uint8_t>{'<', 'x', '/', '>'}), testsupport::ReadBytes(Sync("activity_sync_transXML.xml")));
    EXPECT_EQ(std::vector<std::u16string>{u" kept"}, Messages());

    // Only filtered or no records: no full journal.
    testsupport::WriteBytes(Log(), {0xFF, 0xFE});
    testsupport::WriteBytes(Index(), {});
    testsupport::WriteBytes(Log("vm01"), {});
    testsupport::WriteBytes(Index("vm01"), {});
    Append(3, u"filtered", u"vm02");
    Append(0, u"filtered too", u"vm02");
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Full()));
}

// Renamed and dotted owners keep their names; a stale copy beside an owner's
// log is not exported twice; a missing DataSync directory is made.
TEST_F(FullResyncTest, OwnersKeepTheirNames) {
    Append(1, u"main");
    Append(1, u"before rename", u"vm01");
    ASSERT_EQ(0, VMUpdateLogFileNames(W(u"P"), W(u"vm01")));
    ASSERT_TRUE(Exists(sandbox.logs / "P.vm01.activity.log"));
    Append(1, u"after rename", u"vm01");
    Append(1, u"dotted", u"vm.01");
    Append(1, u"plain", u"vm");
    fs::copy_file(Log("vm"), sandbox.logs / "old.vm.activity.log");
    fs::remove_all(sandbox.dataSync);  // the run makes it again

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::map<std::u16string, std::multiset<std::u16string>> byOwner;
    for (const Entry& e : ReadFull()) byOwner[e.owner.value_or(u"?")].insert(e.message.value_or(u"?"));
    std::map<std::u16string, std::multiset<std::u16string>> expected = {
        {u"<NULL>", {u" main"}},
        {u"vm01", {u" before rename", u" after rename"}},
        {u"vm.01", {u" dotted"}},
        {u"vm", {u" plain"}},
    };
    EXPECT_EQ(expected, byOwner);
}

TEST_F(FullResyncTest, MissingIndexFailsTheRun) {
    // The machine's own index missing: nothing is exported, the journals are gone.
    Append(1, u"main");
    Append(1, u"owner", u"vm01");
    WriteJournal(Journal(), Record(u"PRUNE 2001/01/01 00:00:00 - x - \r\n"));
    fs::remove(Index());
    EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Full()));
    EXPECT_FALSE(Exists(Journal()));

    // An owner's index missing: what was exported before it stays.
    fs::remove(Log());
    Append(1, u"main again");
    fs::remove(Index("vm01"));
    EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
    EXPECT_EQ(std::vector<std::u16string>{u" main again"}, Messages());
}

// Platform call N of the run fails, once or from then on: the run gives 1 or
// a whole export (a failed wait gives 0 with nothing written, as the export
// always has), keeps every index, and the next run exports every record.
TEST_F(FullResyncTest, EveryFailingPlatformCallLeavesAWholeExportToTheNextRun) {
    for (int n = 0; n < 3; ++n) {
        Append(1, u"main" + Number(n));
        Append(1, u"vm" + Number(n), u"vm01");
    }
    const std::vector<std::u16string> all = {u" main2", u" main1", u" main0", u" vm2", u" vm1", u" vm0"};
    testsupport::FaultInjectingPlatform faults;
    testsupport::ScopedPlatform installed(faults);
    auto prepare = [&] {
        fs::remove(Full());
        WriteJournal(Journal(), Record(u"PRUNE 2001/01/01 00:00:00 - x - \r\n"));
    };
    testsupport::SweepFailingCalls(faults, prepare, [&](auto failing) {
        const int result = MergeAllActiveLog2LogTransFull();
        faults.Disarm();
        if (result != 0) {
            EXPECT_EQ(1, result);
            // A full journal that could not be written goes whole; a log that
            // could not be read keeps what was exported before it.
            EXPECT_TRUE(failing != Op::Write || !Exists(Full()));
        } else if (failing != Op::MutexWait) {
            EXPECT_EQ(all, Messages());
        }
        EXPECT_TRUE(Exists(Index()));
        EXPECT_TRUE(Exists(Index("vm01")));
        EXPECT_EQ(0, MergeAllActiveLog2LogTransFull());
        EXPECT_FALSE(Exists(Journal()));
        EXPECT_EQ(all, Messages());
    });
}

}  // namespace
