#include "files/pair_tail.h"

#include <atomic>
#include <cstring>

#include "files/file_io.h"
#include "files/log_files.h"
#include "files/record_bounds.h"

namespace actlog {
namespace {

// Small fixed buffers: the tail check runs on the append path, which uses no heap.
constexpr std::uint32_t kScanBytes = 16384;
constexpr std::uint32_t kEntryBatch = 256;

// Collects index entries and writes them at the index's end in batches.
class EntryWriter {
public:
    explicit EntryWriter(PairEnds& pair) noexcept : pair_(pair) {}
    bool Add(std::uint32_t entry) noexcept {
        StoreLe32(entry, bytes_ + 4 * count_);
        return ++count_ < kEntryBatch || Flush();
    }
    bool Flush() noexcept {
        if (count_ == 0) return true;
        std::uint32_t size = 4 * count_;
        count_ = 0;
        if (!WriteOrCutBack(pair_.index, pair_.indexEnd, bytes_, size)) return false;
        pair_.indexEnd += size;
        return true;
    }

private:
    PairEnds& pair_;
    unsigned char bytes_[4 * kEntryBatch];
    std::uint32_t count_ = 0;
};

// Gives every record between `from` (a record start) and `size` its entry and
// cuts the log after the last one. The entries are written before the cut, so
// a death in between leaves only a remainder that the next check cuts.
bool IndexRecords(PairEnds& pair, std::uint32_t from, std::uint32_t size) noexcept {
    unsigned char buffer[kScanBytes];
    EntryWriter entries(pair);
    std::uint32_t lastEnd = from;
    std::uint32_t pos = from;
    bool ok = ForEachRecordEnd(pair.log, &pos, size, ScanEnd::Final, buffer, kScanBytes, [&](std::uint32_t end) {
        lastEnd = end;
        return entries.Add(end);
    });
    if (!ok || !entries.Flush()) return false;
    if (lastEnd != size && !CutTo(pair.log, lastEnd)) return false;
    pair.logEnd = lastEnd;
    return true;
}

// Index entries another process may have appended since the guess, read
// with the guessed last entry.
constexpr std::uint32_t kGuessWindow = 64;

// Proves a sound tail from the guessed index end in two reads: the index
// read from its guessed last entry comes back short, which gives its end
// (entries appended since the guess included) and its last entry; the log
// read at that entry's line end comes back short just after it, which proves
// the log ends there. False when anything differs; nothing is changed.
bool TailConfirmed(PairEnds& pair) noexcept {
    if (pair.indexGuess < 4 || pair.indexGuess % 4 != 0) return false;
    platform::Platform& os = platform::Current();
    unsigned char words[4 * (kGuessWindow + 1)];
    const std::uint32_t from = pair.indexGuess - 4;
    std::uint32_t done = 0;
    if (!os.ReadAtOnce(pair.index, from, words, sizeof words, &done)) return false;
    if (done < 4 || done == sizeof words || done % 4 != 0 || std::uint64_t{from} + done > 0xFFFFFFFEu) return false;
    const std::uint32_t indexRead = done;
    const std::uint32_t last = LoadLe32(words + done - 4);
    if (last < 4 || last % 2 != 0) return false;
    unsigned char tail[6];
    if (!os.ReadAtOnce(pair.log, last - 4, tail, sizeof tail, &done) || done != 4 || !IsLineEnd(tail)) return false;
    pair.indexEnd = from + indexRead;
    pair.logEnd = last;
    return true;
}

// Guesses by path hash; a collision only makes a wrong guess.
constexpr std::size_t kGuessSlots = 16;
std::atomic<std::uint64_t> g_indexEnds[kGuessSlots];

}  // namespace

IndexEndMemo::IndexEndMemo(std::u16string_view path) noexcept : hash_(0xCBF29CE484222325ull) {
    // Four units a step, then the rest one at a time.
    std::size_t i = 0;
    for (; i + 4 <= path.size(); i += 4) {
        std::uint64_t word = 0;
        std::memcpy(&word, path.data() + i, sizeof word);
        hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15ull;
        hash_ ^= hash_ >> 32;
    }
    for (; i < path.size(); ++i) hash_ = (hash_ ^ path[i]) * 0x100000001B3ull;
    hash_ ^= hash_ >> 29;
}

std::uint32_t IndexEndMemo::Recall() const noexcept {
    std::uint64_t slot = g_indexEnds[hash_ % kGuessSlots].load(std::memory_order_relaxed);
    return slot >> 32 == hash_ >> 32 ? static_cast<std::uint32_t>(slot) : 0;
}

void IndexEndMemo::Remember(std::uint32_t end) const noexcept {
    g_indexEnds[hash_ % kGuessSlots].store((hash_ >> 32) << 32 | end, std::memory_order_relaxed);
}

Status CutTo(platform::FileHandle file, std::uint32_t size) noexcept {
    Status sought = SeekTo(file, size);
    return sought ? platform::Current().SetEndOfFile(file) : sought;
}

Status WriteOrCutBack(platform::FileHandle file, std::uint32_t offset, const void* bytes,
                      std::uint32_t count) noexcept {
    std::uint32_t done = 0;
    Status written = platform::Current().WriteAt(file, offset, bytes, count, &done);
    if (written && done != count) written = Status::Fail(Code::NoSpace, Op::Write);
    if (!written) CutTo(file, offset).Ignore();  // a failed cut leaves a torn tail the next append repairs
    return written;
}

bool FirstRecordStart(platform::FileHandle log, std::uint32_t logSize, std::uint32_t* start) noexcept {
    *start = 0;
    if (logSize < 2) return true;
    unsigned char mark[2];
    if (!ReadAt(log, 0, mark, 2)) return false;
    if (mark[0] == 0xFF && mark[1] == 0xFE) *start = 2;
    return true;
}

TailState RepairTail(PairEnds& pair) noexcept {
    if (TailConfirmed(pair)) return TailState::Sound;
    std::uint32_t logSize = 0;
    std::uint32_t indexSize = 0;
    if (!FileSize32(pair.log, &logSize) || !FileSize32(pair.index, &indexSize)) return TailState::Failed;
    if (indexSize % 4 != 0) {
        indexSize &= ~3u;
        if (!CutTo(pair.index, indexSize)) return TailState::Failed;
    }
    pair.indexEnd = indexSize;
    std::uint32_t last = 0;
    if (indexSize == 0) {
        if (!FirstRecordStart(pair.log, logSize, &last)) return TailState::Failed;
    } else {
        unsigned char entry[4];
        if (!ReadAt(pair.index, indexSize - 4, entry, 4)) return TailState::Failed;
        last = LoadLe32(entry);
        // A record holds at least its line end; entries are even.
        if (last < 4 || last % 2 != 0) return TailState::Damaged;
    }
    if (last > logSize) return TailState::Damaged;
    pair.logEnd = logSize;
    if (last == logSize) return TailState::Sound;
    return IndexRecords(pair, last, logSize) ? TailState::Sound : TailState::Failed;
}

bool ReindexWhole(PairEnds& pair) noexcept {
    std::uint32_t logSize = 0;
    std::uint32_t first = 0;
    if (!FileSize32(pair.log, &logSize) || !FirstRecordStart(pair.log, logSize, &first)) return false;
    if (!CutTo(pair.index, 0)) return false;
    pair.indexEnd = 0;
    pair.logEnd = logSize;
    return first == logSize || IndexRecords(pair, first, logSize);
}

}  // namespace actlog
