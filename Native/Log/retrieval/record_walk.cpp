#include "retrieval/record_walk.h"

#include <cstring>

namespace actlog {
namespace {

// The line end "\r\n" as stored (UTF-16LE).
bool EndsWithLineEnd(const unsigned char* last4) noexcept {
    return last4[0] == 0x0D && last4[1] == 0 && last4[2] == 0x0A && last4[3] == 0;
}

}  // namespace

// Four characters at a time (a lane of a 64-bit word is zero exactly when
// (x - 0x0001...) & ~x has its top bit), then one at a time.
std::uint32_t RecordWalk::TextChars(const char16_t* text, std::uint32_t limit) noexcept {
    constexpr std::uint64_t kOnes = 0x0001000100010001ull;
    constexpr std::uint64_t kTops = 0x8000800080008000ull;
    std::uint32_t i = 0;
    for (; i + 4 <= limit; i += 4) {
        std::uint64_t x;
        std::memcpy(&x, text + i, sizeof x);
        if (((x - kOnes) & ~x & kTops) != 0) break;
    }
    while (i < limit && text[i] != 0) ++i;
    return i;
}

RecordWalk::~RecordWalk() {
    platform::Platform& os = platform::Current();
    if (words_ != nullptr) os.Free(words_);
    if (span_ != nullptr) os.Free(span_);
    if (whole_ != nullptr) os.Free(whole_);
}

// Every buffer ends in this many zero bytes past what was read into it, so that
// a reader may scan a line 16 bytes at a time up to its terminator.
constexpr std::uint32_t kPadBytes = 16;

bool RecordWalk::Reserve(unsigned char** buffer, std::uint32_t* capacity, std::uint32_t bytes) noexcept {
    if (*capacity >= bytes) return true;
    // A walk that outgrows its buffer once is likely to again: double it (up to the span limit).
    std::uint64_t size = bytes;
    if (size < std::uint64_t{*capacity} * 2) size = std::uint64_t{*capacity} * 2;
    if (bytes <= kSpanBytes && size > kSpanBytes) size = kSpanBytes;
    platform::Platform& os = platform::Current();
    if (*buffer != nullptr) os.Free(*buffer);
    *capacity = 0;
    *buffer = static_cast<unsigned char*>(os.Allocate(static_cast<std::size_t>(size) + kPadBytes));
    if (*buffer == nullptr) return false;
    *capacity = static_cast<std::uint32_t>(size);
    return true;
}

ReadResult RecordWalk::LoadBlock(std::uint32_t ahead) noexcept {
    std::uint32_t m = ahead < next_ ? ahead : next_;
    if (m > kBlockRecords) m = kBlockRecords;
    if (m == 0) m = 1;
    blockLow_ = blockHigh_ = 0;
    spanLow_ = spanHigh_ = 0;
    auto** words = reinterpret_cast<unsigned char**>(&words_);
    if (!Reserve(words, &wordCapacity_, (m + 1) * 4)) return ReadResult::Failed;
    ReadResult result = snapshot_.Words(next_ - m, m, words_);
    if (result == ReadResult::Ok) {
        blockLow_ = next_ - m;
        blockHigh_ = next_;
    }
    return result;
}

// Gathers record k and the older records of the block below it whose spans are
// sound, share the parity of its start (so every line stays aligned for
// char16_t) and fit kSpanBytes together, and reads them with one call.
ReadResult RecordWalk::LoadSpan(std::uint32_t k) noexcept {
    spanLow_ = spanHigh_ = 0;
    std::uint32_t end = Word(k + 1);
    std::uint32_t stop = Word(k);
    const std::uint32_t parity = stop & 1u;
    // Every begin taken lies in [lowest, stop - 4]: then the span grows by at
    // least 4 bytes a record and never past kSpanBytes.
    const std::uint32_t lowest = end > kSpanBytes ? end - kSpanBytes : 0;
    const std::uint32_t* word = words_ + (k - blockLow_);  // word(j)
    while (word > words_) {
        std::uint32_t begin = word[-1];
        if (begin < lowest || stop - begin < 4 || begin > stop || (begin & 1u) != parity) break;
        stop = begin;
        --word;
    }
    std::uint32_t j = blockLow_ + static_cast<std::uint32_t>(word - words_);
    std::uint32_t bytes = end - stop;
    spanData_ = source_ != nullptr ? source_->SpanBuffer(bytes + kPadBytes) : nullptr;
    spanFromSource_ = spanData_ != nullptr;
    if (!spanFromSource_) {
        if (!Reserve(&span_, &spanCapacity_, bytes)) return ReadResult::Failed;
        spanData_ = span_;
    }
    ReadResult result = snapshot_.ReadLog(stop, spanData_, bytes);
    std::memset(spanData_ + bytes, 0, kPadBytes);
    if (result == ReadResult::Ok) {
        spanLow_ = j;
        spanHigh_ = k + 1;
        spanBegin_ = stop;
    }
    return result;
}

// A record longer than kSpanBytes cannot come from an append; it is read whole
// only when its text runs past the first kSpanBytes (readers see a line only up
// to its first NUL), so a damaged or sparse stretch costs no more memory.
ReadResult RecordWalk::LoadLongRecord(std::uint32_t k, RecordText* record) noexcept {
    std::uint32_t begin = Word(k);
    std::uint32_t bytes = Word(k + 1) - begin;
    std::uint32_t chars = bytes / 2;
    unsigned char last[4];
    ReadResult result = snapshot_.ReadLog(std::uint64_t{begin} + chars * 2 - 4, last, 4);
    if (result != ReadResult::Ok) return result;
    if (!EndsWithLineEnd(last)) return ReadResult::Damaged;

    spanLow_ = spanHigh_ = 0;
    if (!Reserve(&span_, &spanCapacity_, kSpanBytes)) return ReadResult::Failed;
    result = snapshot_.ReadLog(begin, span_, kSpanBytes);
    std::memset(span_ + kSpanBytes, 0, kPadBytes);
    if (result != ReadResult::Ok) return result;
    auto* head = reinterpret_cast<char16_t*>(span_);
    std::uint32_t searched = chars - 2 < kSpanBytes / 2 ? chars - 2 : kSpanBytes / 2;
    for (std::uint32_t i = 0; i < searched; ++i) {
        if (head[i] == 0) {
            record->text = head;
            record->bytes = kSpanBytes;
            record->chars = i;
            next_ = k;
            return ReadResult::Ok;
        }
    }
    whole_ = static_cast<unsigned char*>(platform::Current().Allocate(std::size_t{bytes} + kPadBytes));
    if (whole_ == nullptr) return ReadResult::Failed;
    std::memset(whole_ + bytes, 0, kPadBytes);
    result = snapshot_.ReadLog(begin, whole_, bytes);
    if (result != ReadResult::Ok) return result;
    return Deliver(k, reinterpret_cast<char16_t*>(whole_), bytes, record);
}

ReadResult RecordWalk::Deliver(std::uint32_t k, char16_t* text, std::uint32_t bytes, RecordText* record) noexcept {
    const std::uint32_t chars = bytes / 2;
    text[chars - 2] = 0;
    record->text = text;
    record->bytes = bytes;
    if (countChars_) record->chars = TextChars(text, chars - 2);
    next_ = k;
    return ReadResult::Ok;
}

ReadResult RecordWalk::NextOutsideSpan(std::uint32_t ahead, RecordText* record) noexcept {
    *record = RecordText{};
    if (whole_ != nullptr) {
        platform::Current().Free(whole_);
        whole_ = nullptr;
    }
    if (next_ == 0) return ReadResult::Ok;
    std::uint32_t k = next_ - 1;
    if (k < blockLow_ || k >= blockHigh_) {
        ReadResult result = LoadBlock(ahead);
        if (result != ReadResult::Ok) return result;
    }
    std::uint32_t begin = Word(k);
    std::uint32_t end = Word(k + 1);
    if (end < begin || end - begin < 4) return ReadResult::Damaged;
    if (end - begin > kSpanBytes) return LoadLongRecord(k, record);
    ReadResult result = LoadSpan(k);
    if (result != ReadResult::Ok) return result;
    return NextInSpan(k, record);
}

}  // namespace actlog
