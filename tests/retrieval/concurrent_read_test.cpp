#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "activity/record_append.h"
#include "log_pair.h"
#include "support/child_process.h"
#include "support/sandbox.h"

namespace {

using namespace retrievaltest;
using testsupport::SandboxTest;

constexpr int kWriters = 3;
#ifdef _WIN32
constexpr int kRecordsPerWriter = 200;  // Wine starts processes and opens files slowly
#else
constexpr int kRecordsPerWriter = 1500;
#endif

struct Parsed {
    int writer = -1;
    int index = -1;
};

// Checks one entry against what writer w wrote as its record i (see the
// write-records child command); gives the record's writer and number.
::testing::AssertionResult Intact(const ActivityEntry& entry, Parsed* parsed) {
    std::u16string time(reinterpret_cast<const char16_t*>(entry.timeText));
    std::string message = testsupport::Utf8(reinterpret_cast<const char16_t*>(entry.messageText));
    if (time.size() != 21 || time[4] != u'/' || time[10] != u' ' || time[11] != u' ' || time[20] != u' ') {
        return ::testing::AssertionFailure() << "stamp \"" << testsupport::Utf8(time) << "\"";
    }
    if (message == " seed") {
        *parsed = {};
        return ::testing::AssertionSuccess();
    }
    int writer = -1, i = -1, used = 0;
    if (std::sscanf(message.c_str(), " w%d %d %n", &writer, &i, &used) != 2 || writer < 0 || writer >= kWriters) {
        return ::testing::AssertionFailure() << "message \"" << message << "\"";
    }
    std::string pad = message.substr(static_cast<std::size_t>(used));
    if (pad != std::string(static_cast<std::size_t>((i * 7) % 40), static_cast<char>('a' + writer)) ||
        entry.severity != static_cast<std::uint32_t>(i % 6) ||
        entry.jobNumber != (i % 3 == 0 ? 0u : static_cast<std::uint32_t>(writer + 1))) {
        return ::testing::AssertionFailure() << "record \"" << message << "\" severity " << entry.severity << " job "
                                             << entry.jobNumber;
    }
    *parsed = {writer, i};
    return ::testing::AssertionSuccess();
}

// Every record of a page is whole, and each writer's records come newest first.
void CheckPage(const ActivityEntry* entries, std::uint32_t returned) {
    std::map<int, int> last;
    for (std::uint32_t k = 0; k < returned; ++k) {
        Parsed parsed;
        ASSERT_TRUE(Intact(entries[k], &parsed));
        if (parsed.writer < 0) continue;
        auto found = last.find(parsed.writer);
        if (found != last.end()) {
            ASSERT_LT(parsed.index, found->second) << "writer " << parsed.writer;
        }
        last[parsed.writer] = parsed.index;
    }
    ASSERT_EQ(entries[returned].timeText, nullptr);
}

class ConcurrentReadTest : public SandboxTest {};

TEST_F(ConcurrentReadTest, ReadersPageWhileWritersAppend) {
    sandbox.InstallSharedLibrary();
    ASSERT_EQ(actlog::AppendActivityRecord(0, 0, u"seed", u"vm01"), 0);

    std::atomic<bool> writing{true};
    std::atomic<int> pages{0};
    auto reader = [&](int id) {
        std::uint32_t lastTotal = 1;
        std::uint32_t lastJobTotal = 0;
        for (std::uint32_t round = 0; writing.load() || round < 3; ++round) {
            Page page;
            std::uint32_t start = (round * 7 + static_cast<std::uint32_t>(id)) % 40;
            ASSERT_EQ(GetLog(start, 25, &page.entries, &page.returned, &page.total, W(u"vm01")), 0);
            ASSERT_GE(page.total, lastTotal);
            lastTotal = page.total;
            std::uint32_t expected = page.total > start ? std::min<std::uint32_t>(25, page.total - start) : 0;
            ASSERT_EQ(page.returned, expected);
            if (page.entries != nullptr) CheckPage(page.entries, page.returned);

            Page job;
            std::uint32_t wanted = static_cast<std::uint32_t>(id % kWriters) + 1;
            ASSERT_EQ(GetJobLog(wanted, round % 5, 10, &job.entries, &job.returned, &job.total, W(u"vm01")), 0);
            ASSERT_GE(job.total, lastJobTotal);
            lastJobTotal = job.total;
            CheckPage(job.entries, job.returned);
            for (std::uint32_t k = 0; k < job.returned; ++k) ASSERT_EQ(job.entries[k].jobNumber, wanted);
            ++pages;
        }
    };

    std::vector<testsupport::ChildProcess> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(testsupport::StartLogChild(
            sandbox, "write-records", {"vm01", std::to_string(w), std::to_string(kRecordsPerWriter)}));
        ASSERT_TRUE(writers.back().started());
    }
    std::vector<std::thread> readers;
    for (int r = 0; r < 2; ++r) readers.emplace_back(reader, r);
    for (auto& writer : writers) EXPECT_EQ(writer.Wait(), 0);
    writing = false;
    for (auto& thread : readers) thread.join();
    EXPECT_GT(pages.load(), 0);

    // In the end every record is there once, each writer's newest first.
    Page all;
    ASSERT_EQ(GetLog(0, 0xFFFFFFFFu, &all.entries, &all.returned, &all.total, W(u"vm01")), 0);
    ASSERT_EQ(all.total, static_cast<std::uint32_t>(kWriters * kRecordsPerWriter + 1));
    ASSERT_EQ(all.returned, all.total);
    CheckPage(all.entries, all.returned);
    std::map<int, int> seen;
    for (std::uint32_t k = 0; k < all.returned; ++k) {
        Parsed parsed;
        ASSERT_TRUE(Intact(all.entries[k], &parsed));
        if (parsed.writer >= 0) ++seen[parsed.writer];
    }
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(seen[w], kRecordsPerWriter);
}

}  // namespace
