// ReIndexLog: gives an owner without an activity index a new one, built from
// the line ends of its log in two passes; the second, under the write mutex,
// picks up what was appended during the first.
#include "Log.h"
#include "activity/log_files.h"
#include "activity/new_pair.h"
#include "maintenance/index_scan.h"
#include "platform/export_text.h"

namespace actlog {
namespace {

// Scans the log into the open rebuild file in two passes, the second under
// the write mutex, which it leaves held.
bool ScanIntoRebuild(platform::FileHandle rebuild, const char16_t* owner, LogMutex& write) noexcept {
    PathText logPath = ActivityPath(LogFile::Log, owner);
    IndexScanner scanner(rebuild);
    if (!scanner.ready()) return false;
    std::uint32_t base = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !write.Wait(platform::WaitTime::Infinite)) return false;
        ScopedFile log =
            ScopedFile::Open(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
        std::uint32_t size = 0;
        if (!log.valid() || !FileSize32(log.get(), &size) || size < base) return false;
        if (!scanner.Scan(log.get(), size, pass == 1)) return false;
        base = size;
    }
    return scanner.Flush();
}

int ReIndex(const char16_t* owner) noexcept {
    platform::Platform& os = platform::Current();
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.opened()) return -1;
    if (!prune.Wait(platform::WaitTime::Zero)) return 1;
    // What a dead prune or rebuild left is finished first: an exchange that
    // died half-way leaves the index under another name.
    RecoverUnderPrune(owner);
    // Taken only for the second pass; declared here so that every file is
    // closed before it is released.
    LogMutex write(kWriteMutexBase, owner);
    if (!write.opened()) return -1;

    PathText indexPath = ActivityPath(LogFile::Index, owner);
    if (os.Exists(indexPath.c_str())) return 0;

    PathText rebuildPath = ActivityPath(LogFile::RebuildIndex, owner);
    bool scanned = false;
    {
        ScopedFile rebuild = ScopedFile::Open(rebuildPath.c_str(), platform::Access::Write,
                                              platform::Disposition::CreateAlways, platform::Share::Exclusive);
        if (!rebuild.valid()) return -1;
        scanned = ScanIntoRebuild(rebuild.get(), owner, write);
    }
    // An index that appeared meanwhile keeps its place.
    if (scanned && os.MoveNoReplace(rebuildPath.c_str(), indexPath.c_str())) return 0;
    // The next rebuild creates it anew.
    os.RemoveFile(rebuildPath.c_str()).Ignore();
    return scanned ? 0 : -1;
}

}  // namespace
}  // namespace actlog

extern "C" LOG_API int32_t ReIndexLog(const LOG_WCHAR* owner) noexcept {
    try {
        return actlog::ReIndex(actlog::FromExport(owner));
    } catch (...) {
        return -1;
    }
}
