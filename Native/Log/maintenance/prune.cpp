// PruneLog: removes an owner's records stamped before a date. A bisection over
// the main pair finds how many leading records are older; the prune file swap
// removes them; the sync journal gets a PRUNE line.
#include "Log.h"
#include "files/file_io.h"
#include "files/journal_files.h"
#include "files/log_files.h"
#include "files/new_pair.h"
#include "files/record_line.h"
#include "maintenance/prune_swap.h"
#include "retrieval/read_snapshot.h"
#include "text/export_text.h"

namespace actlog {
namespace {

// "%4u/%02u/%02u  %02u:%02u:%02u": the first 20 characters of every record line.
constexpr std::size_t kStampChars = 20;
using CutOff = BoundedText<kStampChars + 1>;

// The longest record line in bytes; a longer span can only come from damage.
constexpr std::uint32_t kMaxRecordBytes = (kLineChars - 1) * 2;

enum class Search { Counted, Failed, Damaged };

// Ordinal comparison of the cut-off stamp with a record's first 20 characters.
int CompareStamp(const CutOff& cutOff, const unsigned char* record, std::uint32_t chars) noexcept {
    for (std::size_t i = 0; i < kStampChars; ++i) {
        unsigned a = cutOff[i];
        unsigned b = i < chars ? (record[2 * i] | static_cast<unsigned>(record[2 * i + 1]) << 8) : 0u;
        if (a != b) return a < b ? -1 : 1;
    }
    return 0;
}

// Reads record k and compares it with the cut-off. The bisection needs only
// about log2(n) records, so each probe reads just its two index words and its
// line: memory stays small whatever the index size.
ReadResult Probe(ReadSnapshot& pair, std::uint32_t k, const CutOff& cutOff, unsigned char* buffer, int* c) noexcept {
    std::uint32_t words[2];
    ReadResult result = pair.Words(k, 1, words);
    if (result != ReadResult::Ok) return result;
    std::uint32_t start = words[0];
    std::uint32_t end = words[1];
    if (end < start || end - start < 4 || end - start > kMaxRecordBytes || (end - start) % 2 != 0) {
        return ReadResult::Damaged;
    }
    std::uint32_t len = end - start;
    result = pair.ReadLog(start, buffer, len);
    if (result != ReadResult::Ok) return result;
    if (buffer[len - 4] != 0x0D || buffer[len - 3] != 0 || buffer[len - 2] != 0x0A || buffer[len - 1] != 0) {
        return ReadResult::Damaged;
    }
    *c = CompareStamp(cutOff, buffer, len / 2);
    return ReadResult::Ok;
}

// Counts the leading records stamped before the cut-off. Records stamped at the
// cut-off's very second are kept, wherever the bisection ends.
// *cause receives why the log could not be read.
Search CountOlder(const char16_t* owner, const CutOff& cutOff, std::uint32_t* count, Status* cause) noexcept {
    *count = 0;
    ReadSnapshot pair(owner);
    *cause = pair.cause();
    if (pair.status() != ReadResult::Ok) return pair.status() == ReadResult::Damaged ? Search::Damaged : Search::Failed;
    std::uint32_t n = pair.records();
    if (n == 0) return Search::Counted;
    unsigned char buffer[kMaxRecordBytes];
    std::uint32_t lo = 0;
    std::uint32_t hi = n - 1;
    std::uint32_t mid = hi / 2;
    for (;;) {
        int c = 0;
        ReadResult probed = Probe(pair, mid, cutOff, buffer, &c);
        if (probed != ReadResult::Ok) return probed == ReadResult::Damaged ? Search::Damaged : Search::Failed;
        if (c > 0) {
            if (mid == hi) {
                *count = mid + 1;
                return Search::Counted;
            }
            lo = mid + 1;
        } else {
            if (mid == lo) {
                *count = mid;
                return Search::Counted;
            }
            hi = mid - 1;
        }
        mid = lo + (hi - lo) / 2;
    }
}

// -1 on failure (*cause says why); otherwise the count (0 when nothing is older).
int Count(const char16_t* owner, const CutOff& cutOff, Status* cause) noexcept {
    std::uint32_t count = 0;
    switch (CountOlder(owner, cutOff, &count, cause)) {
        case Search::Counted: return static_cast<int>(count);
        case Search::Failed:
            if (*cause) *cause = Status::Fail(Code::Io, Op::Read);
            return -1;
        case Search::Damaged: break;
    }
    *cause = Status::Fail(Code::Damaged, Op::CheckIndex);
    // The log is left alone; the index goes until ReIndexLog rebuilds it.
    PathText index = ActivityPath(LogFile::Index, owner);
    // An index that stays is found damaged again by the next call.
    DiscardDamagedFile(index.c_str()).Ignore();
    return -1;
}

// The export's result; a failure has set the caller's last-error value.
int Prune(const LogSystemTime* date, const char16_t* owner) noexcept {
    if (date == nullptr) return ExportResult(Status::Fail(Code::InvalidArgument, Op::CheckArgument));
    CutOff cutOff;
    AppendStamp(cutOff, *date, u"  ");
    // The search runs under the prune mutex when it can be had, so that no
    // other prune can shift the records between the count and the removal.
    // When it is busy the search still runs: an empty or fully recent log
    // gives 0 and damage is dealt with, as without the mutex.
    LogMutex prune(kPruneMutexBase, owner);
    bool held = prune.Wait(platform::WaitTime::Zero);
    // A dead prune's files are dealt with before counting: finishing it
    // changes which records the main pair holds.
    if (held) RecoverUnderPrune(prune, owner);
    Status cause;
    int count = Count(owner, cutOff, &cause);
    if (count < 0) return ExportResult(cause);
    if (count == 0) return 0;
    if (!held) return ExportResult(Status::Fail(Code::Busy, Op::LockMutex));
    Status removed = RemoveOldestRecordsHeld(prune, static_cast<std::uint32_t>(count), owner);
    prune.Release();  // the sync mutex is never taken under a prune mutex
    if (!removed) return ExportResult(removed);
    LogSystemTime copy = *date;
    // The records are gone whatever the journal does: its failure is not the prune's.
    SyncLogPrune(&copy, owner).Ignore();
    return count;
}

}  // namespace
}  // namespace actlog

extern "C" LOG_API int32_t PruneLog(const LogSystemTime* date, const LOG_WCHAR* owner) noexcept {
    try {
        return actlog::Prune(date, actlog::FromExport(owner));
    } catch (...) {
        return actlog::ExportResult(actlog::Status::Fail(actlog::Code::NoMemory, actlog::Op::Allocate));
    }
}
