// VMUpdateLogFileNames where nothing may move; the renames that do move are
// driven by the owner model.
#include <gtest/gtest.h>

#include <string>

#include "Log.h"
#include "activity/record_append.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;

using OwnerRenameTest = SandboxTest;

TEST_F(OwnerRenameTest, NothingMovesWhereTheMoveMayNotBeMade) {
    const std::basic_string<LOG_WCHAR> longPrefix(300, LOG_WCHAR('p'));
    struct Row {
        const char* name;
        std::vector<const char16_t*> owners;  // each appends one record
        std::vector<std::string> files;       // then these are created
        const LOG_WCHAR* prefix;
        const LOG_WCHAR* owner;
    };
    const Row rows[] = {
        {"no log yet", {}, {}, W(u"P"), W(u"vm01")},
        {"target taken by another file", {u"vm01"}, {"T.vm01.activity.log"}, W(u"T"), W(u"vm01")},
        {"target is another owner's log", {u"01"}, {"vm.01.activity.idx"}, W(u"vm"), W(u"01")},
        {"log of an owner with a longer name", {}, {"P.xvm01.activity.log", "xvm01.activity.idx"}, W(u"Q"), W(u"vm01")},
        {"renamed log claimed by another index", {}, {"P.vm.01.activity.log", "vm.01.activity.idx"}, W(u"Q"), W(u"01")},
        {"unsafe owner", {u"vm01"}, {}, W(u"P"), W(u"a/b")},
        {"prefix climbing out", {u"vm01"}, {}, W(u"../../x"), W(u"vm01")},
        {"prefix naming a drive", {u"vm01"}, {}, W(u"c:"), W(u"vm01")},
        {"prefix too long", {u"vm01"}, {}, longPrefix.c_str(), W(u"vm01")},
        {"the machine's log", {nullptr}, {}, W(u"P"), nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearLogs();
        for (const char16_t* owner : row.owners) ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"m", owner), 0);
        for (const std::string& file : row.files) WriteBytes(sandbox.logs / file, {0xFF, 0xFE});
        const std::vector<std::string> before = LogFiles();
        EXPECT_EQ(VMUpdateLogFileNames(row.prefix, row.owner), 0);
        EXPECT_EQ(LogFiles(), before);
        EXPECT_EQ(ListDir(sandbox.root), (std::vector<std::string>{"DataSync", "Logs", "bin"}));
    }
}

}  // namespace
