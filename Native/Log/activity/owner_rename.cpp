#include "activity/owner_rename.h"

#include "Log.h"
#include "activity/log_files.h"
#include "activity/owner_log.h"
#include "frame/module.h"
#include "platform/probed_text.h"

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
    // Both pointers are probed before they are read. The machine's log is
    // never moved: nothing would look for it under a prefix.
    if (!OwnerNameAllowed(owner) || !OwnerPresent(owner)) return;
    if (platform::ProbedTextLength(prefix, kPathChars) == platform::kUnreadableText) return;

    LogMutex writeMutex(kWriteMutexBase, owner);
    if (!writeMutex.opened() || !writeMutex.Wait(platform::WaitTime::Infinite)) return;

    // Only a log the owner may use is moved, under the name its files spell.
    std::u16string_view directory = Module().logsDirectory.view();
    OwnerLogName present = LookUpOwnerLog(directory, std::u16string_view(owner, TextLength(owner)));
    if (present.lookup != OwnerLogLookup::Found) return;

    // The new stem "<prefix>.<owner>" must be as safe as an owner name: the
    // prefix is a caller's text and must not lead out of the Logs directory.
    PathText stem;
    bool fits = stem.AppendZ(prefix) && stem.Append(u'.') && stem.Append(present.spelling.view());
    if (!fits || !OwnerNameAllowed(stem.c_str())) return;

    PathText base(directory);
    base.AppendZ(ActivitySuffix(LogFile::Log) + 1);
    std::u16string target = BuildPrefixedLogPath(base.view(), prefix, present.spelling.c_str());
    if (EqualNoCase(present.log.view(), target)) return;

    // The moved log must stay the owner's: no other owner's index may claim
    // the new name.
    PathText claimant;
    if (IndexedOwnerOfLog(directory, stem.view(), claimant) == LogClaim::Claimed &&
        !EqualNoCase(claimant.view(), present.spelling.view())) {
        return;
    }
    platform::Current().MoveNoReplace(present.log.c_str(), target.c_str());
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
