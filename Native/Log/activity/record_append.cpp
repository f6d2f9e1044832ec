// The record append: one record line into the owner's new pair (while a prune
// builds one) or main pair, under the owner's write mutex, then the journal.
#include "activity/record_append.h"

#include "activity/log_files.h"
#include "activity/record_line.h"
#include "sync/journal_files.h"

namespace actlog {
namespace {

constexpr std::uint64_t kLow32 = 0xFFFFFFFFu;

// Appends one index entry at the end of the index file. False when the file
// does not open, cannot be positioned or the entry is not written whole.
bool AppendIndexEntry(const char16_t* path, platform::Disposition disposition, std::uint32_t entry) noexcept {
    platform::Platform& os = platform::Current();
    platform::FileHandle file = os.OpenFile(path, platform::Access::Write, disposition);
    if (!file.valid()) return false;
    bool written = false;
    std::uint64_t position = 0;
    if (os.Seek(file, 0, platform::SeekFrom::End, &position) && (position & kLow32) != kLow32) {
        unsigned char bytes[4];
        StoreLe32(entry, bytes);
        std::uint32_t done = 0;
        written = os.Write(file, bytes, 4, &done) && done == 4;
    }
    os.CloseFile(file);
    return written;
}

// The file work of one append; the caller holds the owner's write mutex.
int AppendLocked(const LineText& line, const char16_t* owner) noexcept {
    // The paths are worked out under the mutex: an owner renaming holds the
    // same mutex, so the log cannot move between the lookup and the write.
    PathText mainLog = ActivityPath(LogFile::Log, owner);
    PathText newLog = ActivityPath(LogFile::NewLog, owner);
    PathText mainIndex = ActivityPath(LogFile::Index, owner);
    PathText newIndex = ActivityPath(LogFile::NewIndex, owner);
    const std::uint32_t bytes = static_cast<std::uint32_t>(2 * line.size());

    // While a prune builds the new pair, the record belongs there. The new log
    // is never created here: without it no prune is running.
    std::int64_t start = AppendFileWithBom(newLog.c_str(), platform::Disposition::OpenExisting, line.c_str(), bytes);
    if (start != -1) {
        std::uint32_t entry = static_cast<std::uint32_t>(start) + bytes;
        if (AppendIndexEntry(newIndex.c_str(), platform::Disposition::OpenExisting, entry)) return 0;
        // The new log holds a record its index lacks: drop the index so the
        // prune's swap knows the new pair is unusable, and keep the record in
        // the main pair.
        platform::Current().RemoveFile(newIndex.c_str());
    }

    start = AppendFileWithBom(mainLog.c_str(), platform::Disposition::OpenAlways, line.c_str(), bytes);
    if (start == -1) return -1;
    std::uint32_t entry = static_cast<std::uint32_t>(start) + bytes;
    // The first record of a log (at 0, or at 2 behind the byte-order mark)
    // starts a fresh index, emptying any stale one.
    platform::Disposition indexDisposition = start == 0 || start == 2 ? platform::Disposition::CreateAlways
                                                                      : platform::Disposition::OpenExisting;
    return AppendIndexEntry(mainIndex.c_str(), indexDisposition, entry) ? 0 : -1;
}

}  // namespace

int AppendActivityRecord(std::uint32_t severity, std::uint32_t jobNumber, const char16_t* message,
                         const char16_t* owner) noexcept {
    if (message == nullptr) message = u"";
    const LogSystemTime now = platform::Current().SystemTimeUtc();
    LineText line;
    BuildRecordLine(line, now, severity, jobNumber, message);

    int result = -1;
    {
        LogMutex writeMutex(kWriteMutexBase, owner);
        if (!writeMutex.opened()) return -1;
        if (writeMutex.Wait(platform::WaitTime::Infinite)) result = AppendLocked(line, owner);
    }
    // The journal is written after the write mutex is gone: the sync mutex is
    // never taken while a write mutex is held. Its result does not matter here.
    if (result == 0) SyncLogAdd(severity, jobNumber, &now, message, owner);
    return result;
}

}  // namespace actlog
