// The live sync journal: file names, the journal record, the byte-order-mark
// append shared with the record append, and the ADD and PRUNE writers.
#include "files/file_io.h"
#include "files/log_files.h"
#include "files/record_bounds.h"
#include "files/record_line.h"
#include "frame/module.h"
#include "files/journal_files.h"

namespace actlog {
namespace {

// Runs `work` under the sync mutex (infinite wait).
template <typename Work>
Status UnderSyncMutex(Work work) noexcept {
    LogMutex mutex(kSyncMutexBase, nullptr);
    if (!mutex.opened()) return mutex.status();
    if (!mutex.Wait(platform::WaitTime::Infinite)) return Status::Fail(Code::Io, Op::LockMutex);
    return work();
}

}  // namespace

const char16_t* SyncFileName(SyncFile which) noexcept {
    switch (which) {
        case SyncFile::Journal: return u"activity_sync.log";
        case SyncFile::HandOver: return u"activity_sync_trans.log";
        case SyncFile::Full: return u"activity_sync_trans_full.log";
        case SyncFile::Xml: return u"activity_sync_transXML.xml";
        case SyncFile::FullSyncMark: return u"activeLogFullSyncFinished.mark";
    }
    return u"activity_sync.log";
}

PathText SyncFilePath(SyncFile which) noexcept {
    PathText path(Module().dataSyncDirectory.view());
    path.AppendZ(SyncFileName(which));
    return path;
}

void JournalRecord::Clear() noexcept {
    text_.Clear();
    for (std::size_t i = 0; i < kPrefixChars; ++i) text_.Append(u' ');
}

void JournalRecord::Append(std::u16string_view text) noexcept {
    // Keep room for CR LF at the end of the line.
    std::size_t used = text_.size() - kPrefixChars;
    std::size_t room = used < kMaxLineChars - 2 ? kMaxLineChars - 2 - used : 0;
    text_.Append(text.substr(0, text.size() < room ? text.size() : room));
}

void JournalRecord::AppendSigned32(std::uint32_t value) noexcept {
    BoundedText<16> number;
    number.AppendSigned(static_cast<std::int32_t>(value));
    Append(number.view());
}

void JournalRecord::AppendStamp(const LogSystemTime& time, std::u16string_view between) noexcept {
    BoundedText<32> stamp;
    actlog::AppendStamp(stamp, time, between);
    Append(stamp.view());
}

std::u16string_view JournalRecord::OwnerField(const char16_t* owner) noexcept {
    return owner == nullptr ? std::u16string_view(u"<NULL>") : std::u16string_view(owner, TextLength(owner));
}

void JournalRecord::Finish() noexcept {
    text_.Append(u"\r\n");
    std::size_t lineChars = text_.size() - kPrefixChars;
    BoundedText<kPrefixChars + 1> prefix;
    prefix.AppendSigned(static_cast<std::int64_t>(2 * lineChars), 10);
    prefix.Append(u' ');
    char16_t* out = text_.data();
    for (std::size_t i = 0; i < kPrefixChars; ++i) out[i] = prefix[i];
}

// A writer that died part-way through a line left a torn tail: the file is
// cut back behind its last CR LF (or to its byte-order mark), so that the next
// line starts at a line start on an even offset. Gives the new end.
std::uint64_t CutTornTail(platform::Platform& os, platform::FileHandle file, std::uint64_t end) noexcept {
    // The longest journal record: the length prefix and a line of 4095 characters.
    constexpr std::uint32_t kLongest = 2 * (JournalRecord::kPrefixChars + kLineChars);
    unsigned char tail[kLongest];
    std::uint64_t from = end > kLongest + 2 ? (end - kLongest + 1) & ~std::uint64_t{1} : 2;  // even, as lines start
    std::uint32_t count = static_cast<std::uint32_t>(end - from);
    std::uint32_t done = 0;
    if (end <= 2 || !os.ReadAt(file, from, tail, count, &done) || done != count) return end;
    std::uint32_t even = (end - from) % 2 == 0 ? count : count - 1;
    if (even == count && even >= 4 && IsLineEnd(tail + even - 4)) return end;
    std::uint64_t cut = from;
    for (std::uint32_t i = even; i >= 4; i -= 2) {
        if (IsLineEnd(tail + i - 4)) {
            cut = from + i;
            break;
        }
    }
    std::uint64_t at = 0;
    if (!os.Seek(file, static_cast<std::int64_t>(cut), platform::SeekFrom::Begin, &at) || !os.SetEndOfFile(file)) {
        return end;
    }
    return cut;
}

Status AppendFileWithBom(const char16_t* path, platform::Disposition disposition, const void* bytes,
                         std::uint32_t count) noexcept {
    platform::Platform& os = platform::Current();
    ScopedFile file = ScopedFile::Open(path, platform::Access::ReadWrite, disposition);
    if (!file.valid()) return file.status();
    std::uint64_t position = 0;
    Status sought = os.Seek(file.get(), 0, platform::SeekFrom::End, &position);
    if (!sought) return sought;
    // A low half of all ones is the platform's "invalid position": a journal
    // that long takes no more lines.
    if ((position & kLow32) == kLow32) return Status::Fail(Code::NoSpace, Op::Write);
    position = CutTornTail(os, file.get(), position);
    sought = SeekTo(file.get(), position);
    if (!sought) return sought;
    const std::uint64_t before = position;
    Status written;
    if (position == 0) written = WriteAll(file.get(), kByteOrderMark, 2);
    if (written) written = WriteAll(file.get(), bytes, count);
    if (written) return written;
    // A write that stopped part-way (a full disk) is cut back, so that no half
    // line stands in front of the next one; a cut that fails is left to the
    // next append, which cuts a torn tail before it writes.
    if (SeekTo(file.get(), before)) os.SetEndOfFile(file.get()).Ignore();
    return written;
}

Status AppendJournalRecord(SyncFile which, const JournalRecord& record) noexcept {
    platform::Platform& os = platform::Current();
    const PathText& directory = Module().dataSyncDirectory;
    // A directory that cannot be made shows when the journal is opened.
    if (!os.Exists(directory.c_str())) os.MakeDirectory(directory.c_str()).Ignore();
    PathText path = SyncFilePath(which);
    return AppendFileWithBom(path.c_str(), platform::Disposition::OpenAlways, record.data(), record.ByteCount());
}

Status SyncLogAdd(std::uint32_t severity, std::uint32_t jobNumber, const LogSystemTime* time, const char16_t* message,
               const char16_t* owner) noexcept {
    if (severity == 0 || severity == 3) return Status::Ok();
    // Records are journaled only once a full resynchronisation has left its
    // mark; a mark that cannot be looked at is a journal failure.
    PathText mark = SyncFilePath(SyncFile::FullSyncMark);
    Status marked = platform::Current().Exists(mark.c_str());
    if (!marked) return marked.code() == Code::NotFound ? Status::Ok() : marked;
    if (time == nullptr) return Status::Fail(Code::InvalidArgument, Op::CheckArgument);

    JournalRecord record;
    record.Append(u"ADD ");
    record.AppendStamp(*time, u" ");
    AppendAddFields(record, JournalRecord::OwnerField(owner), severity, jobNumber,
                    std::u16string_view(message, TextLength(message)));
    record.Finish();

    return UnderSyncMutex([&record] { return AppendJournalRecord(SyncFile::Journal, record); });
}

Status SyncLogPrune(const LogSystemTime* cutOff, const char16_t* owner) noexcept {
    if (cutOff == nullptr) return Status::Fail(Code::InvalidArgument, Op::CheckArgument);
    JournalRecord record;
    record.Append(u"PRUNE ");
    record.AppendStamp(*cutOff, u" ");
    record.Append(u" - ");
    record.Append(JournalRecord::OwnerField(owner));
    record.Append(u" - ");
    record.Finish();

    return UnderSyncMutex([&record] { return AppendJournalRecord(SyncFile::Journal, record); });
}

}  // namespace actlog
