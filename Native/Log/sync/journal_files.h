// Sync journal files, the journal record (length prefix + line) and the writers
// that feed the live journal.
#pragma once

#include <cstdint>

#include "Log.h"
#include "platform/bounded_text.h"
#include "platform/platform.h"

namespace actlog {

enum class SyncFile {
    Journal,       // activity_sync.log
    HandOver,      // activity_sync_trans.log
    Full,          // activity_sync_trans_full.log
    Xml,           // activity_sync_transXML.xml
    FullSyncMark,  // activeLogFullSyncFinished.mark
};

const char16_t* SyncFileName(SyncFile which) noexcept;
// DataSync directory + file name, cut at 259 characters.
PathText SyncFilePath(SyncFile which) noexcept;

// Opens `path` for writing with `disposition`, writes FF FE first when the file
// is empty, then `count` bytes in one write. Gives the offset at which the bytes
// start (2 after a fresh mark, else the former size, low 32 bits) or -1.
std::int64_t AppendFileWithBom(const char16_t* path, platform::Disposition disposition,
                               const void* bytes, std::uint32_t count) noexcept;

// Journals an appended record as an ADD line (not for severities 0 and 3, and
// only while the full-sync mark exists). 0 written or nothing to write, -1 failure.
int SyncLogAdd(std::uint32_t severity, std::uint32_t jobNumber, const LogSystemTime* time,
               const char16_t* message, const char16_t* owner) noexcept;

// Journals a prune as a PRUNE line. 0 written, -1 failure.
int SyncLogPrune(const LogSystemTime* cutOff, const char16_t* owner) noexcept;

}  // namespace actlog
