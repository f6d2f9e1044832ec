// ReIndexLog: gives an owner without an activity index a new one, built from
// the line ends of its log in two passes; the second, under the write mutex,
// picks up what was appended during the first.
#include "Log.h"
#include "files/log_files.h"
#include "files/new_pair.h"
#include "maintenance/index_scan.h"
#include "text/export_text.h"

namespace actlog {
namespace {

// Scans the log into the open rebuild file in two passes, the second under
// the write mutex, which it leaves held.
Status ScanIntoRebuild(platform::FileHandle rebuild, const char16_t* owner, LogMutex& write) noexcept {
    constexpr Status kScanFailed = Status::Fail(Code::Io, Op::Read);
    PathText logPath = ActivityPath(LogFile::Log, owner);
    IndexScanner scanner(rebuild);
    if (!scanner.ready()) return Status::Fail(Code::NoMemory, Op::Allocate);
    std::uint32_t base = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !write.Wait(platform::WaitTime::Infinite)) return Status::Fail(Code::Busy, Op::LockMutex);
        ScopedFile log =
            ScopedFile::Open(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
        if (!log.valid()) return log.status();
        std::uint32_t size = 0;
        if (!FileSize32(log.get(), &size) || size < base) return kScanFailed;
        if (!scanner.Scan(log.get(), size, pass == 1 ? ScanEnd::Final : ScanEnd::MoreMayFollow)) return kScanFailed;
        base = size;
    }
    return scanner.Flush() ? Status::Ok() : Status::Fail(Code::Io, Op::Write);
}

int ReIndex(const char16_t* owner) noexcept {
    platform::Platform& os = platform::Current();
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.opened()) return ExportResult(Status::Fail(Code::Io, Op::LockMutex));
    // 1, not -1: the callers of old tell "busy, try again" from a failure.
    if (!prune.Wait(platform::WaitTime::Zero)) return ExportResult(Status::Fail(Code::Busy, Op::LockMutex), 1);
    // What a dead prune or rebuild left is finished first: an exchange that
    // died half-way leaves the index under another name.
    RecoverUnderPrune(prune, owner);
    // Taken only for the second pass; declared here so that every file is
    // closed before it is released.
    LogMutex write(kWriteMutexBase, owner);
    if (!write.opened()) return ExportResult(Status::Fail(Code::Io, Op::LockMutex));

    PathText indexPath = ActivityPath(LogFile::Index, owner);
    Status present = os.Exists(indexPath.c_str());
    if (present) return 0;
    if (present.code() != Code::NotFound) return ExportResult(present);

    PathText rebuildPath = ActivityPath(LogFile::RebuildIndex, owner);
    Status scanned;
    {
        ScopedFile rebuild = ScopedFile::Open(rebuildPath.c_str(), platform::Access::Write,
                                              platform::Disposition::CreateAlways, platform::Share::Exclusive);
        if (!rebuild.valid()) return ExportResult(rebuild.status());
        scanned = ScanIntoRebuild(rebuild.get(), owner, write);
    }
    // An index that appeared meanwhile keeps its place.
    if (scanned && os.MoveNoReplace(rebuildPath.c_str(), indexPath.c_str())) return 0;
    // The next rebuild creates it anew.
    os.RemoveFile(rebuildPath.c_str()).Ignore();
    return ExportResult(scanned);
}

}  // namespace
}  // namespace actlog

extern "C" LOG_API int32_t ReIndexLog(const LOG_WCHAR* owner) noexcept {
    try {
        return actlog::ReIndex(actlog::FromExport(owner));
    } catch (...) {
        return actlog::ExportResult(actlog::Status::Fail(actlog::Code::NoMemory, actlog::Op::Allocate));
    }
}
