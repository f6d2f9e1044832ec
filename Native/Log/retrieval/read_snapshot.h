// Read snapshots: an owner's log and index opened as a matching pair under the
// read mutex. Index words are read where they lie, only those a reader needs,
// so the cost of a page does not grow with the log.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/platform.h"

namespace actlog {

// The index's last bytes, read by the tail check in place of its last word
// alone: `capacity` bytes are asked for (a multiple of 4, at least 4), and
// `bytes` of them were read (0 when the check read none).
struct IndexTail {
    unsigned char* buffer = nullptr;
    std::uint32_t capacity = 0;
    std::uint32_t bytes = 0;
};

// Opens the owner's index and log of the main pair as a matching pair; on
// failure both handles are invalid and the status says which open failed why.
// *indexSize is the index's size when the tail check took it, else kSizeUnknown;
// `tail` receives the index's last bytes when that check read them.
inline constexpr std::uint64_t kSizeUnknown = ~std::uint64_t{0};
Status OpenMainPair(const char16_t* owner, platform::FileHandle* index, platform::FileHandle* log,
                    std::uint64_t* indexSize, IndexTail* tail = nullptr) noexcept;

// Failed: the OS refused a call (open, size, seek, read, memory); the files
// may well be sound and are left alone. Damaged: the index describes the log
// wrongly; its reader discards the index so that a rebuild writes it anew.
enum class ReadResult { Ok, Failed, Damaged };

// The index size, when the format allows it: a multiple of 4 below 4 GiB.
// `known`: the size already taken (kSizeUnknown: asked of the file).
ReadResult UsableIndexSize(platform::FileHandle index, std::uint32_t* bytes,
                           std::uint64_t known = kSizeUnknown) noexcept;

// One owner's main pair, open for the length of a scope. The index size is
// taken once at open; entries below it never change while the pair is open,
// so every word read later belongs to the same snapshot. Record k (0 the
// oldest) spans [word(k), word(k + 1)) of the log: word(0) is 2 when the log
// begins with FF FE, else 0, and word(k + 1) is the index's entry k.
class ReadSnapshot {
public:
    // The index's last words read with the open's tail check, when a caller
    // expects to read no more than this many bytes of them first.
    static constexpr std::uint32_t kTailBytes = 4096;

    // `newestWords`: how many of the index's last words the caller reads
    // first; when they fit kTailBytes they come with the tail check's read.
    explicit ReadSnapshot(const char16_t* owner, std::uint64_t newestWords = 1) noexcept;
    ~ReadSnapshot() { Close(); }
    ReadSnapshot(const ReadSnapshot&) = delete;
    ReadSnapshot& operator=(const ReadSnapshot&) = delete;

    // Ok when the pair is open; Damaged when the index size is unusable.
    ReadResult status() const noexcept { return status_; }
    // Why the snapshot could not be taken (Ok once it was).
    Status cause() const noexcept { return cause_; }
    bool valid() const noexcept { return status_ == ReadResult::Ok; }
    platform::FileHandle log() const noexcept { return log_; }
    std::uint32_t records() const noexcept { return indexBytes_ / 4; }

    // words[0 .. count] = word(first) .. word(first + count), with
    // first + count <= records(). A short index read is damage.
    ReadResult Words(std::uint32_t first, std::uint32_t count, std::uint32_t* words) noexcept;
    // Reads log bytes [offset, offset + count); a short read (an entry past the
    // log's end) is damage.
    ReadResult ReadLog(std::uint64_t offset, void* buffer, std::uint32_t count) noexcept;

    void Close() noexcept;
    // Closes the pair and moves the index aside (DiscardDamagedFile).
    void DiscardIndex() noexcept;

private:
    const char16_t* owner_;
    ReadResult status_ = ReadResult::Failed;
    Status cause_ = Status::Fail(Code::Io, Op::Open);
    platform::FileHandle index_;
    platform::FileHandle log_;
    std::uint32_t indexBytes_ = 0;
    std::int32_t firstWord_ = -1;  // word(0), read on first use
    // Index bytes [indexBytes_ - tailBytes_, indexBytes_), read at open.
    std::uint32_t tailBytes_ = 0;
    unsigned char tail_[kTailBytes];
};

// Whether the log begins with FF FE; nothing when it cannot be read.
std::optional<bool> LogHasByteOrderMark(platform::FileHandle log) noexcept;

// The job number of " JobXXXXXXXX - ..." at the start of `text`, else 0.
std::uint32_t ParseJobNumber(const char16_t* text) noexcept;

}  // namespace actlog
