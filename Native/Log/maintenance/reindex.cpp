// ReIndexLog: gives an owner without an activity index a new one, built from
// the line ends of its log in two passes; the second, under the write mutex,
// picks up what was appended during the first.
#include "Log.h"
#include "activity/log_files.h"
#include "maintenance/index_scan.h"

namespace actlog {
namespace {

int ReIndex(const char16_t* owner) noexcept {
    platform::Platform& os = platform::Current();
    LogMutex prune(kPruneMutexBase, owner);
    if (!prune.opened()) return -1;
    if (!prune.Wait(platform::WaitTime::Zero)) return 1;
    // Taken only for the second pass; declared here so that every file is
    // closed before it is released.
    LogMutex write(kWriteMutexBase, owner);

    PathText indexPath = ActivityPath(LogFile::Index, owner);
    if (os.Exists(indexPath.c_str())) return 0;

    PathText rebuildPath = ActivityPath(LogFile::RebuildIndex, owner);
    ScopedFile rebuild = ScopedFile::Open(rebuildPath.c_str(), platform::Access::Write,
                                          platform::Disposition::CreateAlways, platform::Share::Exclusive);
    if (!rebuild.valid()) return -1;
    PathText logPath = ActivityPath(LogFile::Log, owner);
    IndexScanner scanner(rebuild.get());
    if (!scanner.ready()) return -1;

    std::uint32_t base = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1) {
            if (!write.opened() || !write.Wait(platform::WaitTime::Infinite)) return -1;
        }
        ScopedFile log =
            ScopedFile::Open(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
        std::uint32_t size = 0;
        if (!log.valid() || !FileSize32(log.get(), &size)) return -1;
        if (size == base) break;
        if (size < base) return -1;
        if (!scanner.Scan(log.get(), size)) return -1;
        base = size;
    }
    if (!scanner.Flush()) return -1;
    rebuild.Close();
    // An index that appeared meanwhile keeps its place; the rebuild file then stays.
    os.MoveNoReplace(rebuildPath.c_str(), indexPath.c_str());
    return 0;
}

}  // namespace
}  // namespace actlog

extern "C" LOG_API int32_t ReIndexLog(const LOG_WCHAR* owner) noexcept {
    try {
        return actlog::ReIndex(reinterpret_cast<const char16_t*>(owner));
    } catch (...) {
        return -1;
    }
}
