#include "maintenance/carry_over.h"

#include <cstring>

#include "activity/log_files.h"
#include "maintenance/file_io.h"

namespace actlog {
namespace {

constexpr std::uint32_t kSinkBytes = 1u << 20;

unsigned UnitAt(const unsigned char* bytes, std::uint32_t offset) noexcept {
    return bytes[offset] | static_cast<unsigned>(bytes[offset + 1]) << 8;
}

// Offset just past the first CR LF at or after `at` (both even), or 0 when none.
std::uint32_t LineEnd(const unsigned char* bytes, std::uint32_t at, std::uint32_t size) noexcept {
    for (std::uint32_t k = at; k + 4 <= size; k += 2) {
        if (UnitAt(bytes, k) == 0x0D && UnitAt(bytes, k + 2) == 0x0A) return k + 4;
    }
    return 0;
}

// Calls each(line, bytes) for every line ending in CR LF between `from` and the
// end of the file, reading in chunks. A fragment without a line end is skipped.
template <typename Each>
bool ForEachLine(platform::FileHandle file, std::uint32_t from, ScopedBlock& chunk, Each each) noexcept {
    std::uint32_t end = 0;
    if (!FileSize32(file, &end)) return false;
    std::uint32_t pos = from;
    while (end > pos && end - pos >= 4) {
        std::uint32_t count = end - pos < kChunkBytes ? end - pos : kChunkBytes;
        count &= ~1u;
        if (!ReadAt(file, pos, chunk.bytes(), count)) return false;
        std::uint32_t start = 0;
        for (std::uint32_t next; (next = LineEnd(chunk.bytes(), start, count)) != 0; start = next) {
            if (!each(chunk.bytes() + start, next - start)) return false;
        }
        // The unfinished tail is read again with the next chunk; a chunk
        // without any line end holds no record.
        if (start == 0 && count < kChunkBytes) break;
        pos += start == 0 ? count : start;
    }
    return true;
}

// The other pair's extra records, held in memory when small enough, so that a
// record found in both pairs is carried only once.
class OtherRecords {
public:
    OtherRecords(const char16_t* log, std::uint32_t from) noexcept : block_(kChunkBytes) {
        ScopedFile file = ScopedFile::Open(log, platform::Access::Read, platform::Disposition::OpenExisting);
        std::uint32_t end = 0;
        if (!block_.valid() || !file.valid() || !FileSize32(file.get(), &end) || end <= from) return;
        if (end - from > kChunkBytes) return;
        size_ = (end - from) & ~1u;
        loaded_ = ReadAt(file.get(), from, block_.bytes(), size_);
    }
    bool loaded() const noexcept { return loaded_; }

    // Whether `line` stands among the records from the search position on;
    // the search then goes on after it. Both pairs keep the writers' order.
    bool Consume(const unsigned char* line, std::uint32_t bytes) noexcept {
        for (std::uint32_t at = next_; at < size_;) {
            std::uint32_t end = LineEnd(block_.bytes(), at, size_);
            if (end == 0) end = size_;
            if (end - at == bytes && std::memcmp(block_.bytes() + at, line, bytes) == 0) {
                next_ = end;
                return true;
            }
            at = end;
        }
        return false;
    }

private:
    ScopedBlock block_;
    std::uint32_t size_ = 0;
    std::uint32_t next_ = 0;
    bool loaded_ = false;
};

// Appends whole lines to a log and their end offsets to its index, in blocks.
class RecordSink {
public:
    RecordSink(const char16_t* log, const char16_t* index) noexcept
        : log_(ScopedFile::Open(log, platform::Access::Write, platform::Disposition::OpenAlways)),
          index_(ScopedFile::Open(index, platform::Access::Write, platform::Disposition::OpenExisting)),
          bytes_(kSinkBytes),
          entries_(std::size_t{kEntryBlock} * 4) {
        ready_ = log_.valid() && bytes_.valid() && entries_.valid() && FileSize32(log_.get(), &logWritten_);
        if (index_.valid() && !FileSize32(index_.get(), &indexWritten_)) index_.Close();
    }
    bool ready() const noexcept { return ready_; }

    bool Put(const unsigned char* line, std::uint32_t bytes) noexcept {
        if (bytes > kSinkBytes - used_ && !Flush()) return false;
        std::memcpy(bytes_.bytes() + used_, line, bytes);
        used_ += bytes;
        StoreLe32(logWritten_ + used_, entries_.bytes() + std::size_t{entryCount_} * 4);
        return ++entryCount_ < kEntryBlock || Flush();
    }

    bool Flush() noexcept {
        bool ok = used_ == 0 || WriteAt(log_.get(), logWritten_, bytes_.bytes(), used_);
        logWritten_ += used_;
        used_ = 0;
        if (ok && index_.valid() && entryCount_ > 0) {
            ok = WriteAt(index_.get(), indexWritten_, entries_.bytes(), entryCount_ * 4);
            indexWritten_ += entryCount_ * 4;
        }
        entryCount_ = 0;
        return ok;
    }

private:
    ScopedFile log_;
    ScopedFile index_;
    ScopedBlock bytes_;
    ScopedBlock entries_;
    std::uint32_t logWritten_ = 0;
    std::uint32_t indexWritten_ = 0;
    std::uint32_t used_ = 0;
    std::uint32_t entryCount_ = 0;
    bool ready_ = false;
};

}  // namespace

bool CarryRecords(const CarrySource& source, const char16_t* toLog, const char16_t* toIndex) noexcept {
    ScopedFile from = ScopedFile::Open(source.log, platform::Access::Read, platform::Disposition::OpenExisting);
    std::uint32_t end = 0;
    if (!from.valid() || !FileSize32(from.get(), &end)) return false;
    if (end <= source.from || end - source.from < 4) return true;

    // Loaded before anything is appended: the destination may be the other log.
    OtherRecords other(source.otherLog, source.otherFrom);
    bool dedupe = source.mayHoldBoth && other.loaded();
    RecordSink sink(toLog, toIndex);
    ScopedBlock chunk(kChunkBytes);
    if (!sink.ready() || !chunk.valid()) return false;
    bool ok = ForEachLine(from.get(), source.from, chunk, [&](const unsigned char* line, std::uint32_t bytes) {
        if (dedupe && other.Consume(line, bytes)) return true;
        return sink.Put(line, bytes);
    });
    return sink.Flush() && ok;
}

std::uint32_t NewRecordsStart(const char16_t* newLog, std::uint32_t surviving) noexcept {
    if (surviving != 0) return surviving;
    ScopedFile log = ScopedFile::Open(newLog, platform::Access::Read, platform::Disposition::OpenExisting);
    unsigned char mark[2] = {0, 0};
    if (log.valid() && ReadAt(log.get(), 0, mark, 2) && mark[0] == 0xFF && mark[1] == 0xFE) return 2;
    return 0;
}

}  // namespace actlog
