#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Log.h"
#include "activity/owner_rename.h"
#include "activity/record_append.h"
#include "platform/platform.h"
#include "support/sandbox.h"

#ifdef _WIN32
#define W(text) L##text
#else
#define W(text) u##text
#endif

namespace {

using namespace testsupport;

class OwnerRenameTest : public SandboxTest {
protected:
    std::vector<std::string> Listing() const {
        std::vector<std::string> names = ListDir(sandbox.logs);
        names.erase(std::remove(names.begin(), names.end(), ".locks"), names.end());
        return names;
    }
    std::size_t Records(const std::string& name) const {
        std::u16string text = ReadUtf16(sandbox.logs / name);
        return static_cast<std::size_t>(std::count(text.begin(), text.end(), u'\n'));
    }
};

TEST_F(OwnerRenameTest, NothingMovesWhenTheMoveCannotBeMade) {
    // No log yet: nothing happens and the first append uses the plain name.
    EXPECT_EQ(VMUpdateLogFileNames(W("P"), W("vm01")), 0);
    EXPECT_TRUE(Listing().empty());
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"one", u"vm01"), 0);
    EXPECT_TRUE(Exists(Log("vm01")));

    // Target taken by another file: both stay.
    WriteBytes(sandbox.logs / "T.vm01.activity.log", {1, 2});
    EXPECT_EQ(VMUpdateLogFileNames(W("T"), W("vm01")), 0);
    EXPECT_EQ(Records("vm01.activity.log"), 1u);
    EXPECT_EQ(ReadBytes(sandbox.logs / "T.vm01.activity.log"), (std::vector<std::uint8_t>{1, 2}));
}

TEST_F(OwnerRenameTest, AnotherOwnersLogIsNeverMoved) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"x", u"xvm01"), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"y", u"vm.01"), 0);
    ASSERT_EQ(VMUpdateLogFileNames(W("P"), W("xvm01")), 0);
    ASSERT_EQ(VMUpdateLogFileNames(W("P"), W("vm.01")), 0);
    const std::vector<std::string> before = Listing();
    ASSERT_EQ(before, (std::vector<std::string>{"P.vm.01.activity.log", "P.xvm01.activity.log", "vm.01.activity.idx",
                                                 "xvm01.activity.idx"}));
    EXPECT_EQ(VMUpdateLogFileNames(W("Q"), W("vm01")), 0);  // would match P.xvm01 / xvm01 by suffix
    EXPECT_EQ(VMUpdateLogFileNames(W("Q"), W("01")), 0);    // P.vm.01 is vm.01's: its index claims it
    EXPECT_EQ(Listing(), before);
    // Owner 01 starts a log of its own beside it and renames only that.
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"z", u"01"), 0);
    EXPECT_EQ(VMUpdateLogFileNames(W("Q"), W("01")), 0);
    EXPECT_EQ(Records("P.vm.01.activity.log"), 1u);
    EXPECT_EQ(Records("Q.01.activity.log"), 1u);
}

TEST_F(OwnerRenameTest, TargetThatNamesAnotherOwnerIsRefused) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"a", u"01"), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"b", u"vm.01"), 0);
    fs::remove(Log("vm.01"));  // vm.01 keeps its index
    const std::vector<std::string> before = Listing();
    // "vm" + "." + "01" would become vm.01's log.
    EXPECT_EQ(VMUpdateLogFileNames(W("vm"), W("01")), 0);
    EXPECT_EQ(Listing(), before);
}

TEST_F(OwnerRenameTest, UnsafeNamesTouchNothing) {
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"m", nullptr), 0);
    ASSERT_EQ(actlog::AppendActivityRecord(1, 0, u"m", u"vm01"), 0);
    const std::vector<std::string> before = Listing();
    const std::basic_string<LOG_WCHAR> longPrefix(300, LOG_WCHAR('p'));
    struct Row {
        const LOG_WCHAR* prefix;
        const LOG_WCHAR* owner;
    };
    const Row rows[] = {
        {W("P"), W("a/b")}, {W("../../x"), W("vm01")}, {W("c:"), W("vm01")}, {longPrefix.c_str(), W("vm01")},
        {W("P"), nullptr},  // the machine's log is not renamed
    };
    for (const Row& row : rows) EXPECT_EQ(VMUpdateLogFileNames(row.prefix, row.owner), 0);
    EXPECT_EQ(Listing(), before);
    EXPECT_EQ(ListDir(sandbox.root), (std::vector<std::string>{"DataSync", "Logs", "bin"}));
}

}  // namespace
