#include "activity/owner_rename.h"

#include "Log.h"
#include "files/log_files.h"
#include "files/owner_log.h"
#include "format/probed_text.h"
#include "frame/module.h"
#include "text/export_text.h"

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

Status RenameOwnerLog(const char16_t* prefix, const char16_t* owner) {
    constexpr Status kRefused = Status::Fail(Code::InvalidArgument, Op::CheckArgument);
    // Both pointers are probed before they are read. The machine's log is
    // never moved: nothing would look for it under a prefix.
    if (!OwnerNameAllowed(owner)) return kRefused;
    if (!OwnerPresent(owner)) return Status::Ok();
    if (format::ProbedTextLength(prefix, kPathChars) == format::kUnreadableText) return kRefused;

    LogMutex writeMutex(kWriteMutexBase, owner);
    if (!writeMutex.opened() || !writeMutex.Wait(platform::WaitTime::Infinite)) {
        return Status::Fail(Code::Busy, Op::LockMutex);
    }

    // Only a log the owner may use is moved, under the name its files spell.
    std::u16string_view directory = Module().logsDirectory.view();
    OwnerLogName present = LookUpOwnerLog(directory, std::u16string_view(owner, TextLength(owner)));
    if (present.lookup == OwnerLogLookup::Unknown) return Status::Fail(Code::Io, Op::Probe);
    if (present.lookup != OwnerLogLookup::Found) return Status::Ok();  // nothing to move

    // The new stem "<prefix>.<owner>" must be as safe as an owner name: the
    // prefix is a caller's text and must not lead out of the Logs directory.
    PathText stem;
    bool fits = stem.AppendZ(prefix) && stem.Append(u'.') && stem.Append(present.spelling.view());
    if (!fits || !OwnerNameAllowed(stem.c_str())) return kRefused;

    PathText base(directory);
    base.AppendZ(ActivitySuffix(LogFile::Log) + 1);
    std::u16string target = BuildPrefixedLogPath(base.view(), prefix, present.spelling.c_str());
    if (EqualNoCase(present.log.view(), target)) return Status::Ok();

    // The moved log must stay the owner's: no other owner's index may claim
    // the new name.
    PathText claimant;
    LogClaim claim = IndexedOwnerOfLog(directory, stem.view(), claimant);
    if (claim == LogClaim::Unknown) return Status::Fail(Code::Io, Op::Probe);
    if (claim == LogClaim::Claimed && !EqualNoCase(claimant.view(), present.spelling.view())) {
        return Status::Fail(Code::AlreadyExists, Op::Move);
    }
    return platform::Current().MoveNoReplace(present.log.c_str(), target.c_str());
}

}  // namespace actlog

extern "C" LOG_API int32_t VMUpdateLogFileNames(const LOG_WCHAR* prefix, const LOG_WCHAR* owner) noexcept {
    // Always 0, as callers have always had it; a rename that failed still
    // leaves its cause as the last-error value.
    try {
        actlog::SetCallerError(actlog::RenameOwnerLog(actlog::FromExport(prefix), actlog::FromExport(owner)));
    } catch (...) {
        actlog::SetCallerError(actlog::Status::Fail(actlog::Code::NoMemory, actlog::Op::Allocate));
    }
    return 0;
}
