// The names of an owner's files and mutexes, the owner names refused, the log
// an owner takes among those present, and renames that must move nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "Log.h"
#include "activity/record_append.h"
#include "files/log_files.h"
#include "frame/module.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using actlog::LogFile;

class LogFilesTest : public SandboxTest {
protected:
    // The file name part of the path the library builds.
    std::string NameOf(LogFile which, const char16_t* owner) const {
        return fs::path(Utf8(actlog::ActivityPath(which, owner).view())).filename().string();
    }
    void Touch(const std::string& name) const { WriteBytes(sandbox.logs / name, {0xFF, 0xFE}); }
    static std::string Lower(std::string text) {
        for (char& c : text) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        return text;
    }
};

TEST_F(LogFilesTest, FileAndMutexNames) {
    struct Row {
        LogFile which;
        const char* machine;
        const char* owner;
    };
    const Row rows[] = {
        {LogFile::Log, "activity.log", "vm01.activity.log"},
        {LogFile::Index, "activity.idx", "vm01.activity.idx"},
        {LogFile::NewLog, "activity.log.new", "vm01.activity.log.new"},
        {LogFile::NewIndex, "activity.idx.new", "vm01.activity.idx.new"},
        {LogFile::RebuildIndex, "activity.idx.rex", "vm01.activity.idx.rex"},
        {LogFile::CarryMark, "activity.idx.car", "vm01.activity.idx.car"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(NameOf(row.which, nullptr), row.machine);
        EXPECT_EQ(NameOf(row.which, u""), row.machine);
        EXPECT_EQ(NameOf(row.which, u"vm01"), row.owner);
    }
    fs::path log(Utf8(actlog::ActivityPath(LogFile::Log, u"vm01").view()));
    EXPECT_EQ(log.parent_path().lexically_normal(), sandbox.logs.lexically_normal());
    EXPECT_EQ(actlog::LogMutexName(actlog::kWriteMutexBase, u"vm01").view(), u"$$BrevantWriteLog$$vm01");
    // Every spelling of an owner names one mutex.
    EXPECT_EQ(actlog::LogMutexName(actlog::kPruneMutexBase, u"VM\u00C401").view(), u"$$BrevantPruneLog$$vm\u00E401");
    EXPECT_EQ(actlog::LogMutexName(actlog::kReadMutexBase, u"").view(), u"$$BrevantReadLog$$");
    EXPECT_EQ(actlog::LogMutexName(actlog::kSyncMutexBase, nullptr).view(), u"$$BrevantSyncLog$$");
}

TEST_F(LogFilesTest, OwnerNameHardening) {
    // The longest owner for which the rebuild file's path still fits in 259 characters.
    const std::size_t longest = 259 - actlog::Module().logsDirectory.size() - 17;
    const std::u16string fits(longest, u'v');
    const std::u16string tooLong(longest + 1, u'v');
    const char16_t loneSurrogate[] = {u'v', 0xD800, u'x', 0};
    const char16_t loneLow[] = {u'v', 0xDC00, 0};
    const char16_t pair[] = {u'v', 0xD83D, 0xDE00, 0};
    struct Row {
        const char16_t* owner;
        bool allowed;
    };
    const Row rows[] = {
        {nullptr, true}, {u"", true}, {u"vm01", true}, {u"VM 01.x-y_z", true}, {pair, true},
        {fits.c_str(), true}, {u"a/b", false}, {u"a\\b", false}, {u"..\\x", false}, {u"c:", false},
        {u"a\nb", false}, {u"\x7f", false}, {u"tab\t", false}, {loneSurrogate, false}, {loneLow, false},
        {tooLong.c_str(), false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(actlog::OwnerNameAllowed(row.owner), row.allowed) << Utf8(row.owner ? row.owner : u"(null)");
        actlog::platform::MutexHandle mutex = actlog::OpenLogMutex(actlog::kWriteMutexBase, row.owner);
        EXPECT_EQ(mutex.valid(), row.allowed);
        if (mutex.valid()) actlog::platform::Current().CloseMutex(mutex);
    }
}

TEST_F(LogFilesTest, OwnerFileNames) {
    struct Row {
        std::vector<std::string> files;
        const char16_t* owner;
        std::string expected;       // empty: no log the owner may use
        const char* spelled = "";   // the owner as its other files spell it where case counts; "" the caller's
    };
    const Row rows[] = {
        {{}, u"vm01", "vm01.activity.log"},
        {{"P.vm01.activity.log"}, u"vm01", "P.vm01.activity.log"},
        {{"p.q.VM01.activity.log"}, u"vm01", "p.q.VM01.activity.log", "VM01"},
        // Another owner's log is never adopted.
        {{"xvm01.activity.log"}, u"vm01", "vm01.activity.log"},
        {{"P.xvm01.activity.log"}, u"vm01", "vm01.activity.log"},
        {{"vm.01.activity.log", "vm.01.activity.idx"}, u"01", "01.activity.log"},
        // Without its own index the stem is a prefix.
        {{"vm.01.activity.log"}, u"01", "vm.01.activity.log"},
        // The exact name wins over prefixed ones.
        {{"A.vm01.activity.log", "vm01.activity.log", "Z.vm01.activity.log"}, u"vm01", "vm01.activity.log"},
        // Other files of the owner do not count.
        {{"P.vm01.activity.log.new", "vm01.activity.idx"}, u"vm01", "vm01.activity.log"},
        // A log belongs to the longest owner name with an index: vm.01's renamed log is not 01's.
        {{"P.vm.01.activity.log", "vm.01.activity.idx"}, u"01", "01.activity.log"},
        {{"Archive.01.activity.log", "P.vm.01.activity.log", "vm.01.activity.idx", "01.activity.idx"}, u"01",
         "Archive.01.activity.log"},
        // 01's log renamed with prefix vm: owner vm.01 may not take it, nor write beside it.
        {{"vm.01.activity.log", "01.activity.idx"}, u"vm.01", ""},
        {{"vm.01.activity.log", "01.activity.idx"}, u"01", "vm.01.activity.log"},
        // vm.01 without its index keeps its log: 01's index belongs to 01's own log.
        {{"vm.01.activity.log", "01.activity.log", "01.activity.idx"}, u"vm.01", "vm.01.activity.log"},
        // Letter case: the owner's files follow its log on disk.
        {{"vm01.activity.log"}, u"VM01", "vm01.activity.log", "vm01"},
    };
    for (const Row& row : rows) {
        fs::remove_all(sandbox.logs);
        fs::create_directories(sandbox.logs);
        for (const std::string& file : row.files) Touch(file);
        std::string expected = row.expected;
        // Where names ignore case the caller's spelling is kept.
        if (!actlog::platform::kCaseSensitiveNames && Lower(expected) == Lower(Utf8(row.owner)) + ".activity.log") {
            expected = Utf8(row.owner) + ".activity.log";
        }
        EXPECT_EQ(NameOf(LogFile::Log, row.owner), expected) << row.files.size() << " files, " << row.expected;
        std::string spelled = actlog::platform::kCaseSensitiveNames && *row.spelled ? row.spelled : Utf8(row.owner);
        for (LogFile which : {LogFile::Index, LogFile::NewLog, LogFile::NewIndex, LogFile::RebuildIndex}) {
            EXPECT_EQ(NameOf(which, row.owner), spelled + Utf8(actlog::ActivitySuffix(which))) << row.expected;
        }
    }
}

// VMUpdateLogFileNames where nothing may move; the renames that do move are
// driven by the owner model.
TEST_F(LogFilesTest, RenameMovesNothingWhereTheMoveMayNotBeMade) {
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
