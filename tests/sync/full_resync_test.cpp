// Full resynchronisation: which logs, in which order, which records, under
// which owner names, and what becomes of the journal files.
#include <gtest/gtest.h>

#include <map>
#include <set>

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

    // The owners' log files in the order the directory search gives them.
    std::vector<std::u16string> SearchOrder() const {
        actlog::platform::Platform& os = actlog::platform::Current();
        std::u16string pattern = testsupport::U16(sandbox.logs) + actlog::platform::kSeparator + u"*.activity.log";
        char16_t name[260];
        std::vector<std::u16string> names;
        actlog::platform::SearchHandle search = os.FindFirst(pattern.c_str(), name, 260);
        if (!search.valid()) return names;
        do {
            names.emplace_back(name);
        } while (os.FindNext(search, name, 260));
        os.FindClose(search);
        return names;
    }
};

std::vector<std::u16string> Messages(const std::vector<Entry>& entries) {
    std::vector<std::u16string> out;
    for (const Entry& e : entries) out.push_back(e.message.value_or(u"?"));
    return out;
}

TEST_F(FullResyncTest, MainLogFirstThenOwnersInSearchOrderNewestFirst) {
    for (const char16_t* owner : {u"vm02", u"alpha", u"vm01"}) {
        Append(1, std::u16string(owner) + u" old", owner);
        Append(4, std::u16string(owner) + u" new", owner, 0x1Au);
    }
    Append(1, u"m1");
    Append(0, u"m2");
    Append(3, u"m3");
    Append(5, u"m4", nullptr, 0x12345678u);
    Append(2, u"m5");
    Append(7, u"m6");  // read back as severity 0

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::vector<Entry> entries = ReadFull();

    std::vector<std::u16string> expected = {u" m5", u" m4", u" m1"};
    std::vector<std::u16string> files = SearchOrder();
    ASSERT_EQ(3u, files.size());
    for (const std::u16string& file : files) {
        std::u16string owner = file.substr(0, file.find(u'.'));
        expected.push_back(u" " + owner + u" new");
        expected.push_back(u" " + owner + u" old");
    }
    EXPECT_EQ(expected, Messages(entries));

    ASSERT_EQ(9u, entries.size());
    EXPECT_EQ(u"<NULL>", entries[0].owner);
    EXPECT_EQ(5, entries[1].severity);
    EXPECT_EQ(0x12345678, entries[1].job);
    EXPECT_EQ(files[0].substr(0, files[0].find(u'.')), entries[3].owner);
    EXPECT_EQ(4, entries[3].severity);
    EXPECT_EQ(0x1A, entries[3].job);
}

TEST_F(FullResyncTest, LineIsTheReducedTimeAndTheMessageAfterTwoBlanks) {
    Append(2, u"the message", nullptr, 9);
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::u16string text = ReadUtf16(Full());
    ASSERT_GE(text.size(), 12u);
    EXPECT_EQ(u'\xFEFF', text[0]);
    std::u16string line = text.substr(12);
    ASSERT_EQ(u"ADD ", line.substr(0, 4));
    EXPECT_EQ(u" -- <NULL> -- 2 - Job9 -  the message\r\n", line.substr(23));
    EXPECT_EQ(Record(line), text.substr(1));
}

TEST_F(FullResyncTest, ExactlyOneHundredRecordsStandOnceEach) {
    for (int n = 0; n < 100; ++n) Append(1, u"r" + Number(n), u"vm01");
    Append(1, u"main");
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::vector<std::u16string> messages = Messages(ReadFull());
    ASSERT_EQ(101u, messages.size());
    EXPECT_EQ(u" main", messages[0]);
    for (int n = 0; n < 100; ++n) EXPECT_EQ(u" r" + Number(99 - n), messages[static_cast<std::size_t>(n) + 1]);
}

TEST_F(FullResyncTest, ClearsTheJournalsAndLeavesTheMarkAndXmlFile) {
    sandbox.CreateFullSyncMark();
    Append(1, u"kept");
    WriteJournal(Sync("activity_sync_trans.log"), Record(u"PRUNE 2001/01/01 00:00:00 - x - \r\n"));
    WriteJournal(Full(), Record(u"ADD 2001/01/01 00:00:00 -- stale -- 1 - Job0 -  old\r\n"));
    testsupport::WriteBytes(Sync("activity_sync_transXML.xml"), {'<', 'x', '/', '>'});
    ASSERT_TRUE(Exists(Sync("activity_sync.log")));  // the ADD line of "kept"

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Sync("activity_sync.log")));
    EXPECT_FALSE(Exists(Sync("activity_sync_trans.log")));
    EXPECT_TRUE(Exists(Sync("activeLogFullSyncFinished.mark")));
    EXPECT_EQ((std::vector<std::uint8_t>{'<', 'x', '/', '>'}), testsupport::ReadBytes(Sync("activity_sync_transXML.xml")));
    EXPECT_EQ(std::vector<std::u16string>{u" kept"}, Messages(ReadFull()));
}

TEST_F(FullResyncTest, OnlyFilteredOrNoRecordsLeaveNoFullJournal) {
    WriteJournal(Full(), Record(u"ADD 2001/01/01 00:00:00 -- stale -- 1 - Job0 -  old\r\n"));
    testsupport::WriteBytes(Log(), {0xFF, 0xFE});
    testsupport::WriteBytes(Index(), {});
    testsupport::WriteBytes(Log("vm01"), {});
    testsupport::WriteBytes(Index("vm01"), {});
    Append(3, u"filtered", u"vm02");
    Append(0, u"filtered too", u"vm02");

    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Full()));
    EXPECT_EQ(-1, Read(GetNextSyncLogsFull, 5).result);
}

TEST_F(FullResyncTest, RenamedAndDottedOwnersKeepTheirNames) {
    Append(1, u"main");
    Append(1, u"before rename", u"vm01");
    ASSERT_EQ(0, VMUpdateLogFileNames(W(u"P"), W(u"vm01")));
    ASSERT_TRUE(Exists(sandbox.logs / "P.vm01.activity.log"));
    Append(1, u"after rename", u"vm01");
    Append(1, u"dotted", u"vm.01");
    Append(1, u"plain", u"vm");

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

TEST_F(FullResyncTest, StaleCopyBesideAnOwnersLogIsNotExportedTwice) {
    Append(1, u"main");
    Append(1, u"live", u"vm01");
    fs::copy_file(Log("vm01"), sandbox.logs / "old.vm01.activity.log");
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    EXPECT_EQ((std::vector<std::u16string>{u" main", u" live"}), Messages(ReadFull()));
}

TEST_F(FullResyncTest, MissingIndexFailsTheRun) {
    // The machine's own index missing: nothing is exported, the journals are gone.
    Append(1, u"main");
    Append(1, u"owner", u"vm01");
    WriteJournal(Sync("activity_sync.log"), Record(u"PRUNE 2001/01/01 00:00:00 - x - \r\n"));
    fs::remove(Index());
    EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
    EXPECT_FALSE(Exists(Full()));
    EXPECT_FALSE(Exists(Sync("activity_sync.log")));

    // An owner's index missing: what was exported before it stays.
    fs::remove(Log());
    Append(1, u"main again");
    fs::remove(Index("vm01"));
    EXPECT_EQ(1, MergeAllActiveLog2LogTransFull());
    EXPECT_EQ(std::vector<std::u16string>{u" main again"}, Messages(ReadFull()));
}

TEST_F(FullResyncTest, OverLongLineIsCutAndKeepsItsLineEnd) {
    std::u16string owner(150, u'o');
    testsupport::WriteBytes(Log(), {});
    testsupport::WriteBytes(Index(), {});
    Append(1, std::u16string(4000, u'x'), owner.c_str());
    ASSERT_EQ(0, MergeAllActiveLog2LogTransFull());
    std::u16string text = ReadUtf16(Full());
    ASSERT_GT(text.size(), 12u);
    std::u16string line = text.substr(12);
    EXPECT_EQ(4095u, line.size());
    EXPECT_EQ(u"\r\n", line.substr(line.size() - 2));
    EXPECT_EQ(Record(line), text.substr(1));
    std::vector<Entry> entries = ReadFull();
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(owner, entries[0].owner);
}

}  // namespace
