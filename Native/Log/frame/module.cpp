// Module start-up: the Logs and DataSync directories, the utility log path, the
// message library of the system language and the six severity labels.
#include "frame/module.h"
#include "platform/status.h"
#include "text/export_text.h"

namespace actlog {
namespace {

ModuleValues g_module;

struct LanguageRow {
    std::uint16_t id;
    const char16_t* file;
};

constexpr LanguageRow kLanguages[] = {
    {1028, u"bvmsg.cht.dll"}, {1029, u"bvmsg.csy.dll"}, {1030, u"bvmsg.dan.dll"}, {1031, u"bvmsg.grm.dll"},
    {1032, u"bvmsg.ell.dll"}, {1035, u"bvmsg.fin.dll"}, {1036, u"bvmsg.frn.dll"}, {1038, u"bvmsg.hun.dll"},
    {1040, u"bvmsg.ita.dll"}, {1041, u"bvmsg.jpn.dll"}, {1042, u"bvmsg.krn.dll"}, {1043, u"bvmsg.nld.dll"},
    {1044, u"bvmsg.nor.dll"}, {1045, u"bvmsg.plk.dll"}, {1046, u"bvmsg.prb.dll"}, {1049, u"bvmsg.run.dll"},
    {1053, u"bvmsg.sve.dll"}, {1055, u"bvmsg.tur.dll"}, {2052, u"bvmsg.chs.dll"}, {3082, u"bvmsg.spa.dll"},
};
constexpr char16_t kEnglishLibrary[] = u"bvmsg.enu.dll";

// Absolute directories a system-wide package bakes in at build time; empty
// ones keep the directories beside the library.
#ifdef LOG_INSTALLED_LOGS_DIR
constexpr char16_t kInstalledLogs[] = u"" LOG_INSTALLED_LOGS_DIR;
#else
constexpr char16_t kInstalledLogs[] = u"";
#endif
#ifdef LOG_INSTALLED_DATASYNC_DIR
constexpr char16_t kInstalledDataSync[] = u"" LOG_INSTALLED_DATASYNC_DIR;
#else
constexpr char16_t kInstalledDataSync[] = u"";
#endif
#ifdef LOG_INSTALLED_MESSAGES_DIR
constexpr char16_t kInstalledMessages[] = u"" LOG_INSTALLED_MESSAGES_DIR;
#else
constexpr char16_t kInstalledMessages[] = u"";
#endif

// A baked-in directory with the separator at its end.
PathText Installed(const char16_t* directory) {
    PathText text(std::u16string_view(directory, TextLength(directory)));
    text.Append(platform::kSeparator);
    return text;
}

// "\..\Logs\" with the platform's separator.
PathText Relative(std::u16string_view name) {
    PathText text;
    text.Append(platform::kSeparator);
    text.Append(u"..");
    text.Append(platform::kSeparator);
    text.Append(name);
    text.Append(platform::kSeparator);
    return text;
}

}  // namespace

const ModuleValues& Module() noexcept { return g_module; }

const PathText& SeverityLabel(std::uint32_t severity) noexcept {
    return g_module.labels[severity >= 1 && severity <= 5 ? severity : 0];
}

const char16_t* MessageLibraryNameFor(std::uint16_t languageId) noexcept {
    for (const LanguageRow& row : kLanguages) {
        if (row.id == languageId) return row.file;
    }
    return kEnglishLibrary;
}

int SelectMessageLibraryName(PathText& buffer) noexcept {
    buffer.Assign(MessageLibraryNameFor(platform::Current().SystemDefaultLanguage()));
    return 1;
}

void ResetLogModule() noexcept { g_module = ModuleValues{}; }

int InitializeLogModuleAt(const char16_t* modulePath) noexcept {
    platform::Platform& os = platform::Current();
    // The work buffer: the module directory, and for a while the Logs directory.
    PathText work(std::u16string_view(modulePath ? modulePath : u"", TextLength(modulePath)));
    std::size_t cut = work.size();
    bool found = false;
    if (!work.empty()) {
        for (std::size_t i = work.size(); i-- > 0;) {
            if (work[i] == platform::kSeparator) {
                cut = i;
                found = true;
                break;
            }
        }
        if (found) {
            work.Truncate(cut);
            g_module.dataSyncDirectory.Assign(work.view());
            g_module.dataSyncDirectory.Append(Relative(u"DataSync").view());
            work.Append(Relative(u"Logs").view());
            // Usually already there; a missing one shows when a log is opened.
            if (kInstalledLogs[0] == 0) os.MakeDirectory(work.c_str()).Ignore();
        } else {
            PathText root(u"C:\\");
            work = root;
            g_module.dataSyncDirectory = root;
        }
        g_module.logsDirectory = work;
        g_module.utilityLogPath.Assign(work.view());
        g_module.utilityLogPath.Append(u"OrielMgrUtility.log");
        if (found) work.Truncate(cut);
    }
    if (kInstalledLogs[0] != 0) {
        g_module.logsDirectory = Installed(kInstalledLogs);
        g_module.utilityLogPath.Assign(g_module.logsDirectory.view());
        g_module.utilityLogPath.Append(u"OrielMgrUtility.log");
        os.MakeDirectory(g_module.logsDirectory.c_str()).Ignore();  // as above
    }
    if (kInstalledDataSync[0] != 0) g_module.dataSyncDirectory = Installed(kInstalledDataSync);
    if (kInstalledMessages[0] != 0) work.Assign(std::u16string_view(kInstalledMessages, TextLength(kInstalledMessages)));
    os.SetMutexDirectory(g_module.logsDirectory.c_str());

    if (g_module.messageLibrary.valid()) return 1;

    PathText name;
    SelectMessageLibraryName(name);
    PathText path(work.view());
    path.Append(platform::kSeparator);
    path.Append(name.view());
    g_module.messageLibrary = os.LoadMessageLibrary(path.c_str());
    if (!g_module.messageLibrary.valid()) {
        path.Assign(work.view());
        path.Append(platform::kSeparator);
        path.Append(kEnglishLibrary);
        g_module.messageLibrary = os.LoadMessageLibrary(path.c_str());
        if (!g_module.messageLibrary.valid()) return 0;
    }
    for (int i = 0; i < kLabelCount; ++i) {
        PathText& label = g_module.labels[i];
        os.LoadStringWide(g_module.messageLibrary, kLabelIds[i], label.data(), static_cast<int>(kPathChars));
        label.Recount();
    }
    return 1;
}

int InitializeLogModule() noexcept {
    char16_t path[kPathChars] = {};
    std::size_t n = platform::Current().ModulePath(path, kPathChars);
    return InitializeLogModuleAt(n == 0 ? nullptr : path);
}

}  // namespace actlog

extern "C" LOG_API int32_t JobLoadString(uint32_t id, LOG_WCHAR* buffer, int32_t bufferSize) noexcept {
    int copied = actlog::platform::Current().LoadStringWide(actlog::Module().messageLibrary, id,
                                                            actlog::FromExport(buffer), bufferSize);
    if (copied > 0) return 0;
    const bool noRoom = buffer == nullptr || bufferSize < 1;
    return actlog::ExportResult(noRoom ? actlog::Status::Fail(actlog::Code::InvalidArgument, actlog::Op::CheckArgument)
                                       : actlog::Status::Fail(actlog::Code::NoMessage, actlog::Op::LoadMessage));
}
