#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "Log.h"
#include "log_pair.h"
#include "support/sandbox.h"

namespace {

using namespace retrievaltest;
using testsupport::Exists;
using testsupport::ReadBytes;
using testsupport::SandboxTest;

// Five good records; each case then damages the pair.
struct DamageCase {
    const char* name;
    std::function<void(std::vector<std::u16string>& lines, std::vector<std::uint32_t>& entries)> damage;
};

std::vector<std::u16string> FiveLines() {
    std::vector<std::u16string> lines;
    for (int k = 0; k < 5; ++k) lines.push_back(RecordLine(1, k == 2 ? 7u : 0u, u"message", static_cast<std::uint16_t>(k)));
    return lines;
}

const DamageCase kDamage[] = {
    {"entries less than 4 bytes apart", [](auto&, auto& e) { e[2] = e[1] + 2; }},
    {"entries equal", [](auto&, auto& e) { e[2] = e[1]; }},
    {"entries going backwards", [](auto&, auto& e) { e[3] = e[1]; }},
    {"first record shorter than 4 bytes", [](auto&, auto& e) { e[0] = 4; }},
    {"record without CR LF", [](auto& l, auto&) { l[1] = u"2024/03/05  10:20:01 -     Error: cut off"; }},
    {"record ending in LF alone", [](auto& l, auto&) { l[3] = u"2024/03/05  10:20:03 -     Error: x\n\n"; }},
    {"entry beyond the end of the log", [](auto&, auto& e) { e[4] += 200; }},
    {"record starting at 2 GiB, past the log's end", [](auto&, auto& e) { e[3] = 0x80000000u, e[4] = 0x80000040u; }},
};

class QueryDamageTest : public SandboxTest {
protected:
    // Writes the damaged pair for the owner vm1; gives the log's bytes.
    std::vector<std::uint8_t> Prepare(const DamageCase& c) {
        std::vector<std::u16string> lines = FiveLines();
        std::vector<std::uint32_t> entries = WritePair(Log("vm1"), Index("vm1"), lines);
        const std::vector<std::uint32_t> sound = entries;
        c.damage(lines, entries);
        // A changed line gets its true offsets; changed offsets replace them.
        WritePair(Log("vm1"), Index("vm1"), lines);
        if (entries != sound) WriteIndex(Index("vm1"), entries);
        return ReadBytes(Log("vm1"));
    }
    void ExpectDiscarded(const std::vector<std::uint8_t>& log) {
        EXPECT_FALSE(Exists(Index("vm1")));
        EXPECT_FALSE(Exists(Index("vm1").string() + ".old0"));
        EXPECT_EQ(ReadBytes(Log("vm1")), log);
    }
};

TEST_F(QueryDamageTest, BothQueriesFailAndDiscardTheIndex) {
    for (bool job : {false, true}) {
        for (const DamageCase& c : kDamage) {
            SCOPED_TRACE(std::string(c.name) + (job ? " (GetJobLog)" : " (GetLog)"));
            auto log = Prepare(c);
            Page page;
            // Job 7 is record 2: the failure comes whether or not the damaged record matches.
            std::int32_t result = job ? GetJobLog(7, 0, 10, &page.entries, &page.returned, &page.total, W(u"vm1"))
                                      : GetLog(0, 10, &page.entries, &page.returned, &page.total, W(u"vm1"));
            EXPECT_EQ(result, -1);
            EXPECT_EQ(page.entries, nullptr);
            EXPECT_EQ(page.returned, 0u);
            EXPECT_EQ(page.total, 0u);
            ExpectDiscarded(log);
        }
    }
}

TEST_F(QueryDamageTest, GetLogReadsOnlyItsPage) {
    // Damage below the page is never read, so the query succeeds.
    auto log = Prepare(kDamage[4]);  // record 1 lacks its line end
    Page page;
    ASSERT_EQ(GetLog(0, 2, &page.entries, &page.returned, &page.total, W(u"vm1")), 0);
    EXPECT_EQ(page.returned, 2u);
    EXPECT_TRUE(Exists(Index("vm1")));
}

// A discard name left by an earlier run is cleared first (nobody holds it).
TEST_F(QueryDamageTest, StaleDiscardNameIsClearedAndLaterQueriesFail) {
    auto log = Prepare(kDamage[0]);
    fs::path old0 = Index("vm1").string() + ".old0";
    fs::path old1 = Index("vm1").string() + ".old1";
    testsupport::WriteBytes(old0, {1, 2, 3});
    Page page;
    EXPECT_EQ(GetLog(0, 10, &page.entries, &page.returned, &page.total, W(u"vm1")), -1);
    EXPECT_FALSE(Exists(Index("vm1")));
    EXPECT_FALSE(Exists(old0));
    EXPECT_FALSE(Exists(old1));
    EXPECT_EQ(ReadBytes(Log("vm1")), log);

    Page again;
    EXPECT_EQ(GetLog(0, 10, &again.entries, &again.returned, &again.total, W(u"vm1")), -1);
    EXPECT_EQ(again.entries, nullptr);
}

}  // namespace
