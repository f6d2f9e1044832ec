// The full resynchronisation: every journaled record of every activity log,
// written as full-journal ADD lines into the full journal.
#pragma once

#include <cstdint>
#include <string_view>

#include "Log.h"
#include "files/journal_files.h"
#include "platform/platform.h"
#include "text/bounded_text.h"

namespace actlog {

// The full journal of one run. Records collect in a buffer and reach the file
// in large writes through one handle, opened (and given its byte-order mark
// when empty) with the first write, so a run that writes nothing leaves no file.
class FullJournalWriter {
public:
    static constexpr std::uint32_t kBufferBytes = 256 * 1024;

    FullJournalWriter() noexcept;
    ~FullJournalWriter();
    FullJournalWriter(const FullJournalWriter&) = delete;
    FullJournalWriter& operator=(const FullJournalWriter&) = delete;

    // Adds one full-journal line: kind, time, " -- ", owner, " -- ", severity,
    // " - Job", job number, " - ", message, CR LF, behind its length prefix and
    // cut as JournalRecord cuts it. Built in place in the buffer; fails when
    // memory or the file failed.
    Status Add(std::u16string_view kind, std::u16string_view time, std::u16string_view owner, std::int32_t severity,
             std::int32_t job, std::u16string_view message) noexcept;
    // Writes what is buffered.
    Status Flush() noexcept;
    // Closes the file and deletes it (after a failed write).
    void Discard() noexcept;

private:
    Status Write(const void* bytes, std::uint32_t count) noexcept;
    void Close() noexcept;

    PathText path_;
    platform::FileHandle file_;
    unsigned char* buffer_ = nullptr;
    std::uint32_t used_ = 0;
};

// Exports one log (owner null: the machine's) newest first from one read
// snapshot, leaving out severities 0 and 3. `journalOwner` is the owner text
// of its lines. A write failure discards the journal; a read failure keeps
// what was written.
Status MergeActiveLog2LogTransFull(const char16_t* owner, const char16_t* journalOwner,
                                   FullJournalWriter& journal) noexcept;

// The owner whose log a file "<stem>.activity.log" of the Logs directory is:
// the one whose index claims it (IndexedOwnerOfLog), else the longest part of
// the stem with an index of its own, else the whole stem.
// Code::InvalidArgument for a name with an empty stem or without the suffix;
// a failure when the indexes could not be probed.
Status OwnerOfLogFile(std::u16string_view fileName, PathText& owner) noexcept;

// "yyyy/mm/dd  hh:mm:ss " reduced in place to "yyyy/mm/dd hh:mm:ss": the run
// of blanks after the first blank and the blanks at the end are dropped.
// Gives the reduced length.
std::size_t ReduceTimeText(char16_t* text) noexcept;

}  // namespace actlog
