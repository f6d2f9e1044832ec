// Sync journal files, the journal record (length prefix + line) and the writers
// that feed the live journal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Log.h"
#include "platform/platform.h"
#include "text/bounded_text.h"

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

// One journal record: the 11-character length prefix "%10d " (the line's byte
// count) followed directly by the line, in one contiguous buffer so that it goes
// into the file with one write. Appends are cut so that the line, CR LF
// included, never exceeds 4095 characters; Finish ends it with CR LF.
class JournalRecord {
public:
    static constexpr std::size_t kPrefixChars = 11;
    static constexpr std::size_t kMaxLineChars = kLineChars - 1;

    JournalRecord() noexcept { Clear(); }
    void Clear() noexcept;

    void Append(std::u16string_view text) noexcept;
    void AppendZ(const char16_t* text) noexcept { Append(std::u16string_view(text, TextLength(text))); }
    // "%d" (a 32-bit value printed signed).
    void AppendSigned32(std::uint32_t value) noexcept;
    // "%4u/%02u/%02u" + between + "%02u:%02u:%02u".
    void AppendStamp(const LogSystemTime& time, std::u16string_view between) noexcept;
    // The owner as a journal line names it: "<NULL>" for null (an empty
    // name stays empty).
    static std::u16string_view OwnerField(const char16_t* owner) noexcept;
    // Ends the line with CR LF and fills in the length prefix. Call once.
    void Finish() noexcept;

    // Prefix + line, and its size in bytes (valid after Finish).
    const char16_t* data() const noexcept { return text_.c_str(); }
    std::uint32_t ByteCount() const noexcept { return static_cast<std::uint32_t>(2 * text_.size()); }
    std::u16string_view line() const noexcept { return text_.view().substr(kPrefixChars); }

private:
    BoundedText<kPrefixChars + kLineChars> text_;
};

// The fields an ADD line carries after its stamp, the same in the live and
// the full journal: " -- <owner> -- <severity> - Job<job> - <message>".
// `Line` is a line buffer with Append(text) and AppendSigned32(value).
template <typename Line, typename Number>
void AppendAddFields(Line& line, std::u16string_view owner, Number severity, Number job,
                     std::u16string_view message) noexcept {
    line.Append(u" -- ");
    line.Append(owner);
    line.Append(u" -- ");
    line.AppendSigned32(severity);
    line.Append(u" - Job");
    line.AppendSigned32(job);
    line.Append(u" - ");
    line.Append(message);
}

// Appends a finished record to a journal file with OPEN_ALWAYS, creating the
// DataSync directory (one level) when it is missing. The caller holds the sync
// mutex.
Status AppendJournalRecord(SyncFile which, const JournalRecord& record) noexcept;

// Opens `path` for writing with `disposition`, writes FF FE first when the file
// is empty, then `count` bytes in one write. A torn last line that a dead
// writer left is cut off first; a write that fails is cut back.
Status AppendFileWithBom(const char16_t* path, platform::Disposition disposition, const void* bytes,
                         std::uint32_t count) noexcept;

// Journals an appended record as an ADD line (not for severities 0 and 3, and
// only while the full-sync mark exists).
Status SyncLogAdd(std::uint32_t severity, std::uint32_t jobNumber, const LogSystemTime* time,
               const char16_t* message, const char16_t* owner) noexcept;

// Journals a prune as a PRUNE line.
Status SyncLogPrune(const LogSystemTime* cutOff, const char16_t* owner) noexcept;

}  // namespace actlog
