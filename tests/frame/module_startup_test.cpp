#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "Log.h"
#include "activity/record_append.h"
#include "frame/module.h"
#include "message_ids.h"
#include "support/child_process.h"
#include "support/fault_platform.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace {

using namespace testsupport;
using actlog::platform::kSeparator;
using Op = FaultInjectingPlatform::Op;

// Records the directories start-up creates and the message libraries it
// tries, without creating anything itself; libraries load for real.
class RecordingPlatform : public FaultInjectingPlatform {
public:
    std::vector<std::u16string> madeDirectories, triedLibraries;

    actlog::Status MakeDirectory(const char16_t* path) override {
        madeDirectories.emplace_back(path);
        return actlog::Status::Fail(actlog::Code::Io, actlog::Op::MakeDirectory);
    }
    actlog::platform::LibraryHandle LoadMessageLibrary(const char16_t* path) override {
        triedLibraries.emplace_back(path);
        return FaultInjectingPlatform::LoadMessageLibrary(path);
    }
};

std::u16string Label(std::uint32_t severity) { return std::u16string(actlog::SeverityLabel(severity).view()); }

// A path from parts joined with the platform's separator.
std::u16string Joined(std::initializer_list<std::u16string_view> parts) {
    std::u16string out;
    for (std::u16string_view part : parts) out.append(part) += kSeparator;
    out.pop_back();
    return out;
}

TEST(ModuleStartup, DirectoriesComeFromTheModulePath) {
#ifdef _WIN32
    const std::u16string drive = u"D:";
#else
    const std::u16string drive = u"";
#endif
    const std::u16string bin = Joined({drive, u"App", u"Bin"});
    // 253 characters: the module path, the directories and the library path all get cut.
    const std::u16string longDirectory = Joined({drive, std::u16string(252 - drive.size(), u'd')});
    const std::u16string cRoot = u"C:\\";
    struct Case {
        const char* name;
        std::u16string modulePath, logs, dataSync;
        std::vector<std::u16string> made;
        std::u16string libraryDirectory;  // the message library is looked for here + separator
    };
    const std::u16string longLogs = (longDirectory + Joined({u"", u"..", u"Logs", u""})).substr(0, 259);
    const Case cases[] = {
        {"installed", Joined({bin, u"Log.dll"}), Joined({bin, u"..", u"Logs", u""}),
         Joined({bin, u"..", u"DataSync", u""}), {Joined({bin, u"..", u"Logs", u""})}, bin},
        {"no separator", u"Log.dll", cRoot, cRoot, {}, cRoot},
        {"no module path", u"", u"", u"", {}, u""},
        {"cut at the buffer", Joined({longDirectory, u"Log.dll"}), longLogs,
         (longDirectory + Joined({u"", u"..", u"DataSync", u""})).substr(0, 259), {longLogs}, longDirectory},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPlatform os;
        ScopedPlatform installed(os);
        os.SetLanguage(1033);
        actlog::ResetLogModule();
        EXPECT_EQ(actlog::InitializeLogModuleAt(c.modulePath.c_str()), 0) << "no message library exists there";
        const actlog::ModuleValues& module = actlog::Module();
        EXPECT_EQ(std::u16string(module.logsDirectory.view()), c.logs);
        EXPECT_EQ(std::u16string(module.dataSyncDirectory.view()), c.dataSync);
        EXPECT_EQ(std::u16string(module.utilityLogPath.view()), c.logs.empty() ? u"" : c.logs + u"OrielMgrUtility.log");
        EXPECT_EQ(os.madeDirectories, c.made) << "only the Logs directory is created";
        // The language's library, then the English one, both beside the module.
        const std::u16string english = (c.libraryDirectory + kSeparator + u"bvmsg.enu.dll").substr(0, 259);
        EXPECT_EQ(os.triedLibraries, (std::vector<std::u16string>{english, english}));
        EXPECT_EQ(Label(0), u"");
    }
    actlog::ResetLogModule();
}

TEST(ModuleStartup, LanguageTable) {
    struct Row {
        std::uint16_t language;
        const char16_t* file;
    };
    const Row rows[] = {
        {1028, u"bvmsg.cht.dll"}, {1029, u"bvmsg.csy.dll"}, {1030, u"bvmsg.dan.dll"}, {1031, u"bvmsg.grm.dll"},
        {1032, u"bvmsg.ell.dll"}, {1035, u"bvmsg.fin.dll"}, {1036, u"bvmsg.frn.dll"}, {1038, u"bvmsg.hun.dll"},
        {1040, u"bvmsg.ita.dll"}, {1041, u"bvmsg.jpn.dll"}, {1042, u"bvmsg.krn.dll"}, {1043, u"bvmsg.nld.dll"},
        {1044, u"bvmsg.nor.dll"}, {1045, u"bvmsg.plk.dll"}, {1046, u"bvmsg.prb.dll"}, {1049, u"bvmsg.run.dll"},
        {1053, u"bvmsg.sve.dll"}, {1055, u"bvmsg.tur.dll"}, {2052, u"bvmsg.chs.dll"}, {3082, u"bvmsg.spa.dll"},
        // Whole identifiers, sublanguage included: everything else is English.
        {1033, u"bvmsg.enu.dll"}, {1034, u"bvmsg.enu.dll"}, {2055, u"bvmsg.enu.dll"}, {7, u"bvmsg.enu.dll"},
        {0, u"bvmsg.enu.dll"}, {0xFFFF, u"bvmsg.enu.dll"},
    };
    FaultInjectingPlatform os;
    ScopedPlatform installed(os);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.language);
        os.SetLanguage(row.language);
        actlog::PathText name(u"previous contents");
        EXPECT_EQ(actlog::SelectMessageLibraryName(name), 1);
        EXPECT_EQ(std::u16string(name.view()), row.file);
    }
}

class LabelsTest : public SandboxTest {
protected:
    int Restart(std::uint16_t language) {
        os.SetLanguage(language);
        return Reinitialize();
    }
    FaultInjectingPlatform os;
    ScopedPlatform installed{os};
};

TEST_F(LabelsTest, SeveritiesSelectTheirLabels) {
    ASSERT_EQ(Restart(1033), 1);
    struct Row {
        std::uint32_t severity;
        const char16_t* english;
        const char16_t* german;
    };
    const Row rows[] = {
        {0, u"General", u"Allgemein"}, {1, u"Error", u"Fehler"},       {2, u"Warning", u"Warnung"},
        {3, u"Info", u"Hinweis"},      {4, u"Success", u"Erfolg"},     {5, u"Critical", u"Kritisch"},
        {6, u"General", u"Allgemein"}, {0xFFFFFFFF, u"General", u"Allgemein"},
    };
    for (const Row& row : rows) EXPECT_EQ(Label(row.severity), row.english) << row.severity;
    ASSERT_EQ(Restart(1031), 1);
    for (const Row& row : rows) EXPECT_EQ(Label(row.severity), row.german) << row.severity;
}

// The English library stands in for a missing language. With none at all the
// labels are empty, yet start-up still makes the Logs directory; no message
// can be logged, and records written otherwise, having no label to match,
// come back with severity 2.
TEST_F(LabelsTest, MissingLibraries) {
    struct Case {
        std::vector<std::string> languages;
        int started;
        const char16_t* general;
        const char16_t* critical;
    };
    const Case cases[] = {{{"enu"}, 1, u"General", u"Critical"}, {{}, 0, u"", u""}};
    for (const Case& c : cases) {
        actlog::ResetLogModule();
        Sandbox partial(c.languages);
        os.SetLanguage(1031);
        ASSERT_EQ(actlog::InitializeLogModuleAt(U16(partial.ModulePath()).c_str()), c.started);
        EXPECT_TRUE(Exists(partial.logs));
        EXPECT_EQ(Label(0), c.general);
        EXPECT_EQ(Label(5), c.critical);
        EXPECT_EQ(LogActivity(1, MSG_JOB_STARTED, W(u"x")), c.started - 1);
        EXPECT_EQ(AutoupdateLogActivityMSG(1, W(u"text")), c.started - 1);
        EXPECT_EQ(Exists(partial.logs / "activity.log"), c.started == 1);
        const std::uint32_t severities[] = {0, 1, 3, 5};
        for (std::uint32_t severity : severities) {
            ASSERT_EQ(actlog::AppendActivityRecord(severity, 4, u"x", nullptr), 0);
        }
        Page log, job;
        ASSERT_EQ(GetLog(0, 4, &log.entries, &log.returned, &log.total, nullptr), 0);
        ASSERT_EQ(GetJobLog(4, 0, 9, &job.entries, &job.returned, &job.total, nullptr), 0);
        ASSERT_EQ(log.returned, 4u);
        ASSERT_EQ(job.returned, 4u);
        for (std::uint32_t i = 0; i < 4; ++i) {
            EXPECT_EQ(log.entries[i].severity, c.started == 1 ? severities[3 - i] : 2u) << i;
            EXPECT_EQ(job.entries[i].severity, c.started == 1 ? severities[3 - i] : 2u) << i;
        }
    }
    LOG_WCHAR buffer[16] = {LOG_WCHAR('x')};
    EXPECT_EQ(JobLoadString(MSG_LABEL_DEFAULT, buffer, 16), -1);
}

// Another process loads the shipped library from a sandbox bin/: start-up
// finds its own file there, makes bin/../Logs and loads the message library.
TEST(LibraryLoad, StartUpInAnotherProcessUsesTheLibrarysOwnPath) {
    Sandbox sandbox;
    sandbox.InstallSharedLibrary();
    ASSERT_FALSE(Exists(sandbox.logs));
    struct Case {
        std::string id, size, expected;
    };
    const Case cases[] = {
        {"256", "260", "result=0 text=General\n"},
        {"264", "5", "result=0 text=Crit\n"},
        {"9999", "260", "result=-1 text=\n"},
        {"256", "1", "result=-1 text=\n"},  // no room for a character is no bad argument
    };
    int run = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        fs::path output = sandbox.root / ("child" + std::to_string(run++) + ".txt");
        ChildProcess child = StartLogChild(sandbox, "load-string", {c.id, c.size}, output);
        ASSERT_TRUE(child.started());
        EXPECT_EQ(child.Wait(), 0);
        std::vector<std::uint8_t> text = ReadBytes(output);
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        EXPECT_EQ(std::string(text.begin(), text.end()), c.expected);
    }
    EXPECT_TRUE(fs::is_directory(sandbox.logs));
    EXPECT_FALSE(Exists(sandbox.root / "Logs" / "activity.log")) << "start-up writes no record";
}

}  // namespace
