#include "retrieval/read_snapshot.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "files/log_files.h"
#include "files/new_pair.h"

namespace actlog {
namespace {

// Index words are read in place as stored (little-endian).
static_assert(std::endian::native == std::endian::little, "index entries are read in place");


// Both files are opened while the read mutex is held, so they belong to the
// same generation (a prune swaps them only under it). The mutex is released and
// closed before this returns.
constexpr Status kNoMutex = Status::Fail(Code::Busy, Op::LockMutex);

// `owner` passed OwnerNameAllowed. With `leftovers`, a dead prune's leftovers
// are looked for first, named after the log found (so the open answers the
// lookup for them too); when any may be there, *leftovers is set and nothing
// stays open.
Status OpenMainPairOnce(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log,
                        bool* leftovers = nullptr) noexcept {
    *index = {};
    *log = {};
    LogMutex readMutex(kReadMutexBase, CheckedOwner{owner});
    if (!readMutex.opened() || !readMutex.Wait(platform::WaitTime::Infinite)) return kNoMutex;

    OwnerFiles files(owner);
    platform::Platform& os = platform::Current();
    auto foundLeftovers = [&] {
        if (leftovers == nullptr || !LeftoversMayExist(files)) return false;
        *leftovers = true;
        if (log->valid()) os.CloseFile(*log);
        *log = {};
        return true;
    };
    // A log under the plain name of an owner without a '.' in it is the
    // owner's: opening it answers the lookup.
    if (OwnerPresent(owner) && std::u16string_view(owner, TextLength(owner)).find(u'.') == std::u16string_view::npos) {
        PathText plain = files.PlainLogPath();
        *log = os.OpenFile(plain.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
        if (log->valid()) {
            files.FoundPlainLog(plain);
            if (foundLeftovers()) return Status::Ok();
            PathText indexPath = files.Path(LogFile::Index);
            *index = os.OpenFile(indexPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
            if (index->valid()) return Status::Ok();
            os.CloseFile(*log);
            *log = {};
            return index->status;
        }
        *log = {};
    }
    if (foundLeftovers()) return Status::Ok();
    PathText logPath = files.Path(LogFile::Log);
    PathText indexPath = files.Path(LogFile::Index);
    *index = os.OpenFile(indexPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (!index->valid()) return index->status;
    *log = os.OpenFile(logPath.c_str(), platform::Access::Read, platform::Disposition::OpenExisting);
    if (log->valid()) return Status::Ok();
    os.CloseFile(*index);
    *index = {};
    return log->status;
}

// The size a read-only open learnt, or else the OS's answer now.
bool SizeOf(platform::FileHandle file, std::uint64_t* size) noexcept {
    if (file.sizeAtOpen != platform::FileHandle::kNoSize) {
        *size = file.sizeAtOpen;
        return true;
    }
    return static_cast<bool>(platform::Current().FileSize(file, size));
}

// Whether the log ends at the index's last entry (or holds no more than a
// byte-order mark when the index is empty); a damaged index counts as
// matching, for the reader's own checks to find. A part of an entry at the
// index's end (an append that died writing it) does not match: the tail
// repair cuts it. *taken: the index size, when read. With `tail`, up to its
// capacity of the index's last bytes are read in place of the last word.
bool TailMatches(platform::FileHandle index, platform::FileHandle log, std::uint64_t* taken,
                 IndexTail* tail) noexcept {
    platform::Platform& os = platform::Current();
    std::uint64_t indexSize = 0;
    std::uint64_t logSize = 0;
    *taken = kSizeUnknown;
    if (!SizeOf(index, &indexSize)) return true;
    *taken = indexSize;
    if (indexSize % 4 != 0) return false;
    if (!SizeOf(log, &logSize)) return true;
    if (indexSize == 0) return logSize <= 2;
    unsigned char last[4];
    unsigned char* buffer = last;
    std::uint32_t wanted = 4;
    if (tail != nullptr && tail->capacity > 4) {
        buffer = tail->buffer;
        wanted = indexSize < tail->capacity ? static_cast<std::uint32_t>(indexSize) : tail->capacity;
    }
    std::uint32_t done = 0;
    if (!os.ReadAt(index, indexSize - wanted, buffer, wanted, &done) || done != wanted) return true;
    if (buffer != last) tail->bytes = wanted;
    return LoadLe32(buffer + wanted - 4) >= logSize;
}

}  // namespace

Status OpenMainPair(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log,
                    std::uint64_t* indexSize, IndexTail* tail) noexcept {
    *indexSize = kSizeUnknown;
    if (tail != nullptr) tail->bytes = 0;
    if (!OwnerNameAllowed(owner)) return Status::Fail(Code::InvalidArgument, Op::CheckArgument);
    // Records appended to a dead prune's new pair, or a pair that a dead
    // exchange left half-moved, become readable once that prune is finished.
    bool leftovers = false;
    Status opened = OpenMainPairOnce(owner, index, log, &leftovers);
    if (leftovers) {
        RecoverUnlocked(owner);
        opened = OpenMainPairOnce(owner, index, log);
    }
    if (opened.code() == Code::Busy && opened.op() == Op::LockMutex) return opened;
    if (!opened) {
        // A dead exchange may have left the pair under other names.
        RecoverUnlocked(owner);
        return OpenMainPairOnce(owner, index, log);
    }
    if (TailMatches(*index, *log, indexSize, tail)) return Status::Ok();
    *indexSize = kSizeUnknown;
    if (tail != nullptr) tail->bytes = 0;
    // A dead writer's tail is repaired when no writer is at work.
    platform::Current().CloseFile(*index);
    platform::Current().CloseFile(*log);
    RepairTailIfIdle(owner);
    return OpenMainPairOnce(owner, index, log);
}

ReadResult UsableIndexSize(platform::FileHandle index, std::uint32_t* bytes, std::uint64_t known) noexcept {
    std::uint64_t size = known;
    if (size == kSizeUnknown && !SizeOf(index, &size)) return ReadResult::Failed;
    // An index of 4 GiB or more lies outside the format (32-bit offsets).
    if (size > 0xFFFFFFFFu || size % 4 != 0) return ReadResult::Damaged;
    *bytes = static_cast<std::uint32_t>(size);
    return ReadResult::Ok;
}

ReadSnapshot::ReadSnapshot(const char16_t* owner, std::uint64_t newestWords) noexcept : owner_(owner) {
    std::uint64_t indexSize = kSizeUnknown;
    IndexTail tail{tail_, newestWords <= kTailBytes / 4 ? static_cast<std::uint32_t>(newestWords) * 4 : 4, 0};
    cause_ = OpenMainPair(owner, &index_, &log_, &indexSize, &tail);
    if (!cause_) return;
    status_ = UsableIndexSize(index_, &indexBytes_, indexSize);
    if (status_ == ReadResult::Ok) tailBytes_ = tail.bytes;
    if (status_ != ReadResult::Ok) {
        cause_ = Status::Fail(status_ == ReadResult::Damaged ? Code::Damaged : Code::Io, Op::CheckIndex);
        indexBytes_ = 0;
        Close();
    }
}

ReadResult ReadSnapshot::Words(std::uint32_t first, std::uint32_t count, std::uint32_t* words) noexcept {
    if (status_ != ReadResult::Ok) return status_;
    std::uint64_t from = first;
    if (first == 0) {
        if (firstWord_ < 0) {
            std::optional<bool> mark = LogHasByteOrderMark(log_);
            if (!mark) return ReadResult::Failed;
            firstWord_ = *mark ? 2 : 0;
        }
        words[0] = static_cast<std::uint32_t>(firstWord_);
        ++words;
    } else {
        from = first - 1;
        ++count;
    }
    if (count == 0) return ReadResult::Ok;
    std::uint32_t bytes = count * 4;
    std::uint64_t tailFrom = indexBytes_ - tailBytes_;
    if (tailBytes_ != 0 && from * 4 >= tailFrom && from * 4 + bytes <= indexBytes_) {
        std::memcpy(words, tail_ + (from * 4 - tailFrom), bytes);
        return ReadResult::Ok;
    }
    std::uint32_t done = 0;
    if (!platform::Current().ReadAt(index_, from * 4, words, bytes, &done)) return ReadResult::Failed;
    return done == bytes ? ReadResult::Ok : ReadResult::Damaged;
}

ReadResult ReadSnapshot::ReadLog(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept {
    if (status_ != ReadResult::Ok) return status_;
    std::uint32_t done = 0;
    if (!platform::Current().ReadAt(log_, offset, buffer, count, &done)) return ReadResult::Failed;
    return done == count ? ReadResult::Ok : ReadResult::Damaged;
}

void ReadSnapshot::Close() noexcept {
    platform::Platform& os = platform::Current();
    if (index_.valid()) os.CloseFile(index_);
    if (log_.valid()) os.CloseFile(log_);
    index_ = {};
    log_ = {};
    if (status_ == ReadResult::Ok) status_ = ReadResult::Failed;
}

void ReadSnapshot::DiscardIndex() noexcept {
    Close();
    // Never repaired here: the index leaves its name so a rebuild can write it
    // anew. One that stays is found damaged again by the next reader.
    DiscardDamagedFile(ActivityPath(LogFile::Index, owner_).c_str()).Ignore();
}

std::optional<bool> LogHasByteOrderMark(platform::FileHandle log) noexcept {
    unsigned char mark[2] = {0, 0};
    std::uint32_t done = 0;
    if (!platform::Current().ReadAt(log, 0, mark, 2, &done)) return std::nullopt;
    return mark[0] == 0xFF && mark[1] == 0xFE;
}

std::uint32_t ParseJobNumber(const char16_t* text) noexcept {
    // " Job" + 8 hex digits + " - ", checked in order: a NUL fails the check
    // where it stands, so nothing past the text's end is read.
    if (text == nullptr || text[0] != u' ' || text[1] != u'J' || text[2] != u'o' || text[3] != u'b') return 0;
    std::uint32_t value = 0;
    for (std::size_t i = 4; i < 12; ++i) {
        char16_t c = text[i];
        std::uint32_t digit;
        if (c >= u'0' && c <= u'9') {
            digit = static_cast<std::uint32_t>(c - u'0');
        } else if (c >= u'A' && c <= u'F') {
            digit = static_cast<std::uint32_t>(c - u'A') + 10;
        } else {
            return 0;
        }
        value = value * 16 + digit;
    }
    if (text[12] != u' ' || text[13] != u'-' || text[14] != u' ') return 0;
    return value;
}

}  // namespace actlog
