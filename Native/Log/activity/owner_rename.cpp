#include "activity/owner_rename.h"

#include "Log.h"
#include "activity/log_files.h"
#include "frame/module.h"

namespace actlog {

std::u16string BuildPrefixedLogPath(std::u16string_view basePath, const char16_t* prefix, const char16_t* owner) {
    std::size_t at = basePath.rfind(platform::kSeparator);
    at = at == std::u16string_view::npos ? 0 : at + 1;
    std::u16string path(basePath.substr(0, at));
    if (prefix != nullptr) path += prefix;
    path += u'.';
    if (owner != nullptr) path += owner;
    path += u'.';
    path += basePath.substr(at);
    return path;
}

void RenameOwnerLog(const char16_t* prefix, const char16_t* owner) {
    // The machine's log is never moved: nothing would look for it under a prefix.
    if (!OwnerPresent(owner)) return;
    // The new stem "<prefix>.<owner>" must be as safe as an owner name: the
    // prefix is a caller's text and must not lead out of the Logs directory.
    PathText stem;
    bool fits = stem.AppendZ(prefix) && stem.Append(u'.') && stem.AppendZ(owner);
    if (!fits || !OwnerNameAllowed(stem.c_str())) return;

    LogMutex writeMutex(kWriteMutexBase, owner);
    if (!writeMutex.opened() || !writeMutex.Wait(platform::WaitTime::Infinite)) return;

    PathText present = ActivityPath(LogFile::Log, owner);
    PathText base(Module().logsDirectory.view());
    base.AppendZ(ActivitySuffix(LogFile::Log) + 1);
    std::u16string target = BuildPrefixedLogPath(base.view(), prefix, owner);
    if (EqualNoCase(present.view(), target)) return;

    platform::Platform& os = platform::Current();
    // A stem with an index of its own is another owner's name: a log moved
    // there would be taken for that owner's log.
    PathText stemIndex(Module().logsDirectory.view());
    stemIndex.Append(stem.view());
    stemIndex.AppendZ(ActivitySuffix(LogFile::Index));
    if (os.Exists(stemIndex.c_str())) return;

    os.MoveNoReplace(present.c_str(), target.c_str());
}

}  // namespace actlog

extern "C" LOG_API int32_t VMUpdateLogFileNames(const LOG_WCHAR* prefix, const LOG_WCHAR* owner) noexcept {
    try {
        actlog::RenameOwnerLog(reinterpret_cast<const char16_t*>(prefix), reinterpret_cast<const char16_t*>(owner));
    } catch (...) {
        // Out of memory for the target path: nothing was moved.
    }
    return 0;
}
