// The records of a read snapshot, newest first, read in large blocks: the index
// words of up to kBlockRecords records with one read, then the log bytes of as
// many neighbouring records as fit kSpanBytes with one read.
#pragma once

#include <cstdint>
#include <cstring>

#include "retrieval/read_snapshot.h"

namespace actlog {

// One record in the walk's own buffer, valid until the next call: its line
// with the carriage return of the line end turned into the terminator. At
// least 16 readable bytes follow the terminator.
struct RecordText {
    char16_t* text = nullptr;  // null once the oldest record is passed
    // The bytes a copy must take: the record's length, or, for a record longer
    // than kSpanBytes whose text ends early (a NUL in it), the part holding that end.
    std::uint32_t bytes = 0;
    // The characters before the text's first NUL (the line end's, at the latest);
    // counted only for a walk that asks for them.
    std::uint32_t chars = 0;
    // The text lies in a buffer from the walk's SpanSource: the walk never
    // reuses it, so the text may be kept where it is.
    bool fromSource = false;
};

// Buffers a walk may read a span of records into instead of its own: the
// records delivered from such a buffer stay valid once the walk moves on.
class SpanSource {
public:
    // A 16-byte aligned buffer of `bytes`, or null: the walk uses its own.
    virtual unsigned char* SpanBuffer(std::uint32_t bytes) noexcept = 0;
    virtual ~SpanSource() = default;
};

class RecordWalk {
public:
    static constexpr std::uint32_t kBlockRecords = 16384;
    static constexpr std::uint32_t kSpanBytes = 1u << 20;

    // Whether each RecordText gets its `chars` (a scan of the text).
    enum class Chars { Counted, NotCounted };

    // Walks the records below `below` (one past the newest to visit) down to record 0.
    // `source`: where spans are read when it gives a buffer.
    RecordWalk(ReadSnapshot& snapshot, std::uint32_t below, Chars chars = Chars::Counted,
               SpanSource* source = nullptr) noexcept
        : snapshot_(snapshot), source_(source), next_(below), countChars_(chars == Chars::Counted) {}
    ~RecordWalk();
    RecordWalk(const RecordWalk&) = delete;
    RecordWalk& operator=(const RecordWalk&) = delete;

    // The next older record. `ahead` is how many records, this one included,
    // the caller reads at least: no index word or log byte past them is read,
    // so damage below a page stays unseen. Damaged: a span shorter than 4
    // bytes or going backwards, an entry past the log's end, no CR LF at the end.
    ReadResult Next(std::uint32_t ahead, RecordText* record) noexcept {
        // Inline while the walk stays in the span read last: the lengths of its
        // records were checked when it was gathered.
        std::uint32_t k = next_ - 1;
        if (k - spanLow_ < spanHigh_ - spanLow_) return NextInSpan(k, record);
        return NextOutsideSpan(ahead, record);
    }

private:
    ReadResult NextInSpan(std::uint32_t k, RecordText* record) noexcept {
        std::uint32_t begin = Word(k);
        std::uint32_t bytes = Word(k + 1) - begin;
        auto* text = reinterpret_cast<char16_t*>(spanData_ + (begin - spanBegin_));
        std::uint32_t chars = bytes / 2;
        std::uint32_t lineEnd;  // "\r\n" as stored (UTF-16LE)
        std::memcpy(&lineEnd, text + chars - 2, sizeof lineEnd);
        if (lineEnd != 0x000A000Du) return ReadResult::Damaged;
        text[chars - 2] = 0;
        record->text = text;
        record->bytes = bytes;
        record->chars = countChars_ ? TextChars(text, chars - 2) : 0;
        record->fromSource = spanFromSource_;
        next_ = k;
        return ReadResult::Ok;
    }
    ReadResult NextOutsideSpan(std::uint32_t ahead, RecordText* record) noexcept;
    // The characters of `text` before its first NUL, at most `limit`.
    static std::uint32_t TextChars(const char16_t* text, std::uint32_t limit) noexcept;
    std::uint32_t Word(std::uint32_t k) const noexcept { return words_[k - blockLow_]; }
    ReadResult LoadBlock(std::uint32_t ahead) noexcept;
    ReadResult LoadSpan(std::uint32_t k) noexcept;
    ReadResult LoadLongRecord(std::uint32_t k, RecordText* record) noexcept;
    bool Reserve(unsigned char** buffer, std::uint32_t* capacity, std::uint32_t bytes) noexcept;
    // Hands out record k: `bytes` at `text`, ending in CR LF.
    ReadResult Deliver(std::uint32_t k, char16_t* text, std::uint32_t bytes, RecordText* record) noexcept;

    ReadSnapshot& snapshot_;
    SpanSource* source_;
    std::uint32_t next_;
    bool countChars_;
    // Words of records [blockLow_, blockHigh_): words_[i] = word(blockLow_ + i), one more at the end.
    std::uint32_t* words_ = nullptr;
    std::uint32_t wordCapacity_ = 0;  // bytes
    std::uint32_t blockLow_ = 0;
    std::uint32_t blockHigh_ = 0;
    // Log bytes of records [spanLow_, spanHigh_) from word(spanLow_) on, at
    // spanData_: the walk's own span_, or a buffer from the source.
    unsigned char* spanData_ = nullptr;
    bool spanFromSource_ = false;
    unsigned char* span_ = nullptr;
    std::uint32_t spanCapacity_ = 0;
    std::uint32_t spanLow_ = 0;
    std::uint32_t spanHigh_ = 0;
    std::uint32_t spanBegin_ = 0;  // word(spanLow_)
    // A record longer than kSpanBytes read whole.
    unsigned char* whole_ = nullptr;
};

}  // namespace actlog
