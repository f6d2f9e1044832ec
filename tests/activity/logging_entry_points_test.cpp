#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>

#include "Log.h"
#include "frame/module.h"
#include "message_ids.h"
#include "platform/guarded_page.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using WideString = std::basic_string<LOG_WCHAR>;

constexpr std::size_t kStampChars = 20;

int32_t CallAutoupdateLogActivity(uint32_t severity, uint32_t id, ...) {
    va_list args;
    va_start(args, id);
    int32_t result = AutoupdateLogActivity(severity, id, args);
    va_end(args);
    return result;
}

// An address that no process can read.
const LOG_WCHAR* Unreadable() { return reinterpret_cast<const LOG_WCHAR*>(static_cast<std::uintptr_t>(0x10)); }

class EntryPointTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        sandbox.CreateFullSyncMark();
    }
    // The lines of a log without their stamps, or of the journal without
    // "%10d ADD yyyy/mm/dd hh:mm:ss".
    std::vector<std::u16string> Tails(std::string_view owner = {}, bool journal = false) const {
        std::vector<std::u16string> tails;
        for (const std::u16string& line : LogLines(journal ? Journal() : Log(owner))) {
            tails.push_back(line.substr(journal ? 11 + 23 : kStampChars));
        }
        return tails;
    }
};

TEST_F(EntryPointTest, OwnerAndJobPassing) {
    const LOG_WCHAR* job = W(u"nightly");
    struct Row {
        const char* name;
        std::function<int32_t()> call;
        std::string logOwner;
        bool jobField;
        std::u16string journalOwner;
        std::u16string message;
    };
    const std::u16string started = u"Job nightly started.";
    const Row rows[] = {
        {"LogActivity", [&] { return LogActivity(2, MSG_JOB_STARTED, job); }, "", false, u"<NULL>", started},
        {"JobLogActivity", [&] { return JobLogActivity(2, 12, MSG_JOB_STARTED, job); }, "", true, u"<NULL>", started},
        {"VMLogActivity", [&] { return VMLogActivity(W(u"vm01"), 2, MSG_JOB_STARTED, job); }, "vm01", false, u"vm01",
         started},
        {"VMLogActivity empty", [&] { return VMLogActivity(W(u""), 2, MSG_JOB_STARTED, job); }, "", false, u"",
         started},
        {"VMLogActivity null", [&] { return VMLogActivity(nullptr, 2, MSG_JOB_STARTED, job); }, "", false,
         u"<NULL>", started},
        {"VMJobLogActivity", [&] { return VMJobLogActivity(W(u"vm01"), 2, 12, MSG_JOB_STARTED, job); }, "vm01", true,
         u"vm01", started},
        {"VMJobLogActivity empty", [&] { return VMJobLogActivity(W(u""), 2, 12, MSG_JOB_STARTED, job); }, "", true,
         u"<NULL>", started},
        {"JobLogActivityEx", [&] { return CallJobLogActivityEx(W(u"vm01"), 2, 12, MSG_JOB_STARTED, job); }, "vm01",
         true, u"vm01", started},
        {"JobLogActivityEx empty", [&] { return CallJobLogActivityEx(W(u""), 2, 12, MSG_JOB_STARTED, job); }, "",
         true, u"<NULL>", started},
        {"AutoupdateLogActivity", [&] { return CallAutoupdateLogActivity(2, MSG_JOB_STARTED, job); }, "", false,
         u"<NULL>", u"AutoUpdate: " + started},
        {"AutoupdateLogActivityMSG", [&] { return AutoupdateLogActivityMSG(2, W(u"100% done %1 %n")); }, "", false,
         u"<NULL>", u"AutoUpdate: 100% done %1 %n"},
    };
    for (const Row& row : rows) {
        ClearLogs();
        fs::remove(Journal());
        ASSERT_EQ(row.call(), 0) << row.name;
        std::u16string jobField = row.jobField ? u"Job0000000C - " : u"";
        EXPECT_EQ(Tails(row.logOwner), std::vector<std::u16string>{u" -   Warning: " + jobField + row.message + u"\r\n"})
            << row.name;
        std::u16string journalJob = row.jobField ? u"12" : u"0";
        EXPECT_EQ(Tails({}, true), std::vector<std::u16string>{u" -- " + row.journalOwner + u" -- 2 - Job" +
                                                              journalJob + u" - " + row.message + u"\r\n"})
            << row.name;
    }
}

TEST_F(EntryPointTest, FaultingInsertLogsFallbackText) {
    const LOG_WCHAR* bad = Unreadable();
    struct Row {
        std::function<int32_t()> call;
        std::u16string message;
    };
    const Row rows[] = {
        {[&] { return LogActivity(1, MSG_JOB_STARTED, bad); }, u"message id is 0x000003e8 in LogActivity"},
        {[&] { return JobLogActivity(1, 5, MSG_JOB_STARTED, bad); }, u"message id is 0x000003e8 in JobLogActivity"},
        {[&] { return VMLogActivity(W(u""), 1, MSG_JOB_STARTED, bad); }, u"message id is 0x000003e8 in VMLogActivity"},
        {[&] { return VMJobLogActivity(nullptr, 1, 0, MSG_JOB_FAILED, W(u"x"), bad); },
         u"message id is 0x000003ea in VMJobLogActivity"},
        {[&] { return CallJobLogActivityEx(W(u""), 1, 0, MSG_VM_BACKUP_DONE, bad); },
         u"message id is 0x000003eb in VMJobLogActivity"},
        {[&] { return CallAutoupdateLogActivity(1, MSG_JOB_STARTED, bad); },
         u"AutoUpdate: message id is 0x000003e8 in LogActivity"},
    };
    std::vector<std::u16string> expected;
    for (const Row& row : rows) {
        ASSERT_EQ(row.call(), 0) << Utf8(row.message);
        expected.push_back(row.message + u"\r\n");
    }
    std::vector<std::u16string> tails = Tails();
    ASSERT_EQ(tails.size(), expected.size());
    for (std::size_t i = 0; i < tails.size(); ++i) {
        EXPECT_EQ(tails[i].substr(tails[i].size() - expected[i].size()), expected[i]);
    }
    // The owner's probe went with the unreadable insert's: the record is still the owner's.
    ASSERT_EQ(VMJobLogActivity(W(u"vm01"), 1, 0, MSG_JOB_STARTED, bad), 0);
    EXPECT_EQ(Tails("vm01"), std::vector<std::u16string>{u" -     Error: message id is 0x000003e8 in VMJobLogActivity\r\n"});
}

TEST_F(EntryPointTest, MissingMessageIdWritesNothing) {
    const uint32_t missing = 4242;
    EXPECT_EQ(LogActivity(1, missing), -1);
    EXPECT_EQ(CallAutoupdateLogActivity(1, missing), -1);
    EXPECT_FALSE(Exists(Log()));
    EXPECT_FALSE(Exists(Log("vm01")));
    EXPECT_FALSE(Exists(Journal()));
}

// Owner names and trace formats in unreadable or unterminated memory: the
// failure result, no file touched, no fault.
TEST_F(EntryPointTest, UnreadableOwnersAndFormatsFailWithoutFaulting) {
    GuardedPage page;
    auto* unterminated = reinterpret_cast<LOG_WCHAR*>(page.Readable() + page.Size() - 4 * sizeof(LOG_WCHAR));
    for (int i = 0; i < 4; ++i) unterminated[i] = LOG_WCHAR('v');
    const LogSystemTime date{2030, 1, 0, 1, 0, 0, 0, 0};
    for (const LOG_WCHAR* owner : {Unreadable(), static_cast<const LOG_WCHAR*>(unterminated)}) {
        ActivityEntry* entries = nullptr;
        uint32_t returned = 0, total = 0;
        const std::pair<const char*, std::function<int32_t()>> rows[] = {
            {"VMLogActivity", [&] { return VMLogActivity(owner, 1, MSG_JOB_STARTED, W(u"x")); }},
            {"VMJobLogActivity", [&] { return VMJobLogActivity(owner, 1, 2, MSG_JOB_STARTED, W(u"x")); }},
            {"JobLogActivityEx", [&] { return CallJobLogActivityEx(owner, 1, 2, MSG_JOB_STARTED, W(u"x")); }},
            {"GetLog", [&] { return GetLog(0, 10, &entries, &returned, &total, owner); }},
            {"GetJobLog", [&] { return GetJobLog(2, 0, 10, &entries, &returned, &total, owner); }},
            {"PruneLog", [&] { return PruneLog(&date, owner); }},
            {"ReIndexLog", [&] { return ReIndexLog(owner); }},
            // Always 0; nothing may move.
            {"VMUpdateLogFileNames owner", [&] { return VMUpdateLogFileNames(W(u"P"), owner) - 1; }},
            {"VMUpdateLogFileNames prefix", [&] { return VMUpdateLogFileNames(owner, W(u"vm01")) - 1; }},
            {"TarnMgrUtlTrace", [&] {
                 SetTarnMgrUtlDebug(1);
                 TarnMgrUtlTrace(owner);
                 SetTarnMgrUtlDebug(0);
                 return -1;
             }},
        };
        ASSERT_EQ(VMLogActivity(W(u"vm01"), 1, MSG_JOB_STARTED, W(u"x")), 0);
        const std::vector<std::string> before = ListDir(sandbox.logs);
        for (const auto& [name, call] : rows) EXPECT_EQ(call(), -1) << name;
        EXPECT_EQ(ListDir(sandbox.logs), before);  // the trace log included
    }
}

// An unreadable text logs the prefix alone; one that runs unterminated into an
// unreadable page keeps what was read.
TEST_F(EntryPointTest, UnreadableAutoupdateText) {
    GuardedPage page;
    auto* text = reinterpret_cast<LOG_WCHAR*>(page.Readable() + page.Size() - 3 * sizeof(LOG_WCHAR));
    text[0] = LOG_WCHAR('a');
    text[1] = LOG_WCHAR('b');
    text[2] = LOG_WCHAR('c');
    ASSERT_EQ(AutoupdateLogActivityMSG(1, nullptr), 0);
    ASSERT_EQ(AutoupdateLogActivityMSG(1, Unreadable()), 0);
    EXPECT_EQ(AutoupdateLogActivityMSG(4, text), 0);
    EXPECT_EQ(Tails(), (std::vector<std::u16string>{u" -     Error: AutoUpdate: \r\n", u" -     Error: AutoUpdate: \r\n",
                                                    u" -   Success: AutoUpdate: abc\r\n"}));
}

}  // namespace
