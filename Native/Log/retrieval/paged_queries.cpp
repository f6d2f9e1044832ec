#include "retrieval/paged_queries.h"

#include <bit>
#include <cstring>
#include <string_view>

#include "files/log_files.h"
#include "frame/module.h"
#include "retrieval/read_snapshot.h"
#include "retrieval/record_walk.h"
#include "text/export_text.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace actlog {
namespace {

// The label part that GetLog searches is at most this many characters.
constexpr std::size_t kLabelPartChars = 128;
// Severities in the order their labels are searched; the first found decides.
constexpr std::uint32_t kLabelSearchOrder[kLabelCount] = {2, 1, 0, 5, 4, 3};
// " JobXXXXXXXX - ": the message begins at the blank this many characters past the ':'.
constexpr std::size_t kJobFieldOffset = 15;
// A line as the append writes it (a four-digit year, a label of at most nine
// characters): "YYYY/MM/DD  hh:mm:ss - " + a label part of ten characters + ": ".
constexpr std::size_t kUsualDash = 21;
constexpr std::size_t kUsualColon = 32;
constexpr std::size_t kUsualLabelChars = kUsualColon - kUsualDash - 1;

std::u16string_view ToEnd(const char16_t* text) noexcept { return {text, TextLength(text)}; }

#if defined(__SSE2__)
// Two mask bits for each character of the block that is `wanted` or NUL.
unsigned Hits(__m128i block, __m128i wanted) noexcept {
    const __m128i zero = _mm_setzero_si128();
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(block, wanted), _mm_cmpeq_epi16(block, zero))));
}

// The line's first '-' and the first ':' after it, eight characters at a
// time; false when either is missing before the terminator. The '-' is looked
// for from one unaligned block at the text's start, then in aligned blocks;
// the ':' in aligned blocks from the one holding the character after the '-'
// (its bytes before that character masked off). A block may reach up to 14
// bytes past the terminator, into the padding a RecordWalk buffer has there,
// or back to the start of the aligned block the text begins in.
bool FindDashAndColon(char16_t* text, char16_t** dash, char16_t** colon) noexcept {
    const __m128i dashes = _mm_set1_epi16(u'-');
    const __m128i colons = _mm_set1_epi16(u':');
    char* at = reinterpret_cast<char*>(text);
    unsigned found = Hits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at)), dashes);
    if (found == 0) {
        at = reinterpret_cast<char*>((reinterpret_cast<std::uintptr_t>(at) + 16) & ~std::uintptr_t{15});
        while ((found = Hits(_mm_load_si128(reinterpret_cast<const __m128i*>(at)), dashes)) == 0) at += 16;
    }
    auto* hit = reinterpret_cast<char16_t*>(at + std::countr_zero(found));
    if (*hit != u'-') return false;
    *dash = hit;
    auto from = reinterpret_cast<std::uintptr_t>(hit + 1);
    at = reinterpret_cast<char*>(from & ~std::uintptr_t{15});
    found = Hits(_mm_load_si128(reinterpret_cast<const __m128i*>(at)), colons) & (~0u << (from & 15u));
    while (found == 0) {
        at += 16;
        found = Hits(_mm_load_si128(reinterpret_cast<const __m128i*>(at)), colons);
    }
    hit = reinterpret_cast<char16_t*>(at + std::countr_zero(found));
    if (*hit != u':') return false;
    *colon = hit;
    return true;
}

// Whether the line's first '-' is at kUsualDash and the first ':' after it at
// kUsualColon. `bytes` of the line may be read: when they hold characters
// 0-32, the four blocks of characters 0-31 are read and checked at once.
inline bool UsualShape(const char16_t* line, std::uint32_t bytes) noexcept {
    if (bytes < 2 * (kUsualColon + 1)) return false;
    const __m128i zero = _mm_setzero_si128();
    const __m128i dashes = _mm_set1_epi16(u'-');
    const __m128i colons = _mm_set1_epi16(u':');
    // Characters 16-23: the '-' at 21 (a hit turned off) and none before it, no ':' after it.
    const __m128i aroundDash = _mm_setr_epi16(u'-', u'-', u'-', u'-', u'-', u'-', u':', u':');
    const __m128i dashAt21 = _mm_setr_epi16(0, 0, 0, 0, 0, -1, 0, 0);
    auto block = [line](std::size_t at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at)); };
    __m128i b0 = block(0), b1 = block(8), b2 = block(16), b3 = block(24);
    __m128i hits = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(b0, dashes), _mm_cmpeq_epi16(b1, dashes)),
                                _mm_or_si128(_mm_xor_si128(_mm_cmpeq_epi16(b2, aroundDash), dashAt21),
                                             _mm_cmpeq_epi16(b3, colons)));
    __m128i nuls = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(b0, zero), _mm_cmpeq_epi16(b1, zero)),
                                _mm_or_si128(_mm_cmpeq_epi16(b2, zero), _mm_cmpeq_epi16(b3, zero)));
    return _mm_movemask_epi8(_mm_or_si128(hits, nuls)) == 0 && line[kUsualColon] == u':';
}
#else
// The first `c` (not NUL) in `text` before its terminator. Four characters at
// a time while none of them is `c` or NUL (a lane of a 64-bit word is zero
// exactly when (x - 0x0001...) & ~x has its top bit), in aligned words: the
// word that holds the terminator may reach past it, into the padding a
// RecordWalk buffer has there.
char16_t* FindChar(char16_t* text, char16_t c) noexcept {
    constexpr std::uint64_t kOnes = 0x0001000100010001ull;
    constexpr std::uint64_t kTops = 0x8000800080008000ull;
    const std::uint64_t pattern = kOnes * c;
    while ((reinterpret_cast<std::uintptr_t>(text) & 7u) != 0) {
        if (*text == c) return text;
        if (*text == 0) return nullptr;
        ++text;
    }
    for (;;) {
        std::uint64_t x;
        std::memcpy(&x, text, sizeof x);
        std::uint64_t y = x ^ pattern;
        if ((((x - kOnes) & ~x) | ((y - kOnes) & ~y)) & kTops) break;
        text += 4;
    }
    for (;; ++text) {
        if (*text == c) return text;
        if (*text == 0) return nullptr;
    }
}

// The line's first '-' and the first ':' after it. False when either is missing.
bool FindDashAndColon(char16_t* text, char16_t** dash, char16_t** colon) noexcept {
    *dash = FindChar(text, u'-');
    if (*dash == nullptr) return false;
    *colon = FindChar(*dash + 1, u':');
    return *colon != nullptr;
}

// Whether the line's first '-' is at kUsualDash and the first ':' after it at
// kUsualColon (`bytes`: as for the SSE2 version).
inline bool UsualShape(const char16_t* line, std::uint32_t bytes) noexcept {
    if (bytes < 2 * (kUsualColon + 1)) return false;
    for (std::size_t i = 0; i < kUsualDash; ++i) {
        if (line[i] == u'-' || line[i] == 0) return false;
    }
    if (line[kUsualDash] != u'-') return false;
    for (std::size_t i = kUsualDash + 1; i < kUsualColon; ++i) {
        if (line[i] == u':' || line[i] == 0) return false;
    }
    return line[kUsualColon] == u':';
}
#endif

// Severity from the first label found in `text`; an empty label is found in
// every text, so without a message library every record reads as severity 2.
std::uint32_t SeverityIn(std::u16string_view text) noexcept {
    // Whether `label` occurs in `text`: its first character, then the rest.
    auto contains = [text](std::u16string_view label) {
        if (label.empty()) return true;
        if (label.size() > text.size()) return false;
        const std::size_t rest = (label.size() - 1) * sizeof(char16_t);
        const char16_t* last = text.data() + (text.size() - label.size());
        for (const char16_t* at = text.data(); at <= last; ++at) {
            if (*at == label[0] && std::memcmp(at + 1, label.data() + 1, rest) == 0) return true;
        }
        return false;
    };
    const ModuleValues& module = Module();
    for (std::uint32_t severity : kLabelSearchOrder) {
        if (contains(module.labels[severity].view())) return severity;
    }
    return 0;
}

#if defined(__SSE2__)
constexpr std::uint64_t Chars4(char16_t a, char16_t b, char16_t c, char16_t d) noexcept {
    return std::uint64_t{a} | std::uint64_t{b} << 16 | std::uint64_t{c} << 32 | std::uint64_t{d} << 48;
}

// The value of the eight hex digits (0-9, A-F) at `digits`, the first the
// highest; false when any character is something else.
bool HexDigits8(const char16_t* digits, std::uint32_t* value) noexcept {
    const __m128i zero = _mm_setzero_si128();
    __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits));
    __m128i fromZero = _mm_sub_epi16(chars, _mm_set1_epi16(u'0'));
    __m128i fromA = _mm_sub_epi16(chars, _mm_set1_epi16(u'A'));
    // At most 9 past '0', or at most 5 past 'A' (unsigned: below either wraps).
    __m128i isDigit = _mm_cmpeq_epi16(_mm_subs_epu16(fromZero, _mm_set1_epi16(9)), zero);
    __m128i isLetter = _mm_cmpeq_epi16(_mm_subs_epu16(fromA, _mm_set1_epi16(5)), zero);
    if (_mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) != 0xFFFF) return false;
    __m128i nibbles = _mm_or_si128(_mm_and_si128(isDigit, fromZero),
                                   _mm_and_si128(isLetter, _mm_add_epi16(fromA, _mm_set1_epi16(10))));
    // Pairs of nibbles into bytes (32-bit lanes), then pairs of bytes into 16-bit halves.
    __m128i bytes = _mm_madd_epi16(nibbles, _mm_setr_epi16(16, 1, 16, 1, 16, 1, 16, 1));
    __m128i halves = _mm_madd_epi16(_mm_packs_epi32(bytes, bytes), _mm_setr_epi16(256, 1, 256, 1, 0, 0, 0, 0));
    auto high = static_cast<std::uint32_t>(_mm_cvtsi128_si32(halves));
    auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(halves, 4)));
    *value = high << 16 | low;
    return true;
}

// ParseJobNumber for a field inside a RecordWalk line, a block at a time:
// each is read only when the characters before it hold no NUL, so none
// reaches more than 14 bytes past the terminator.
std::uint32_t JobNumberInLine(const char16_t* field) noexcept {
    std::uint64_t word;
    std::memcpy(&word, field, sizeof word);
    if (word != Chars4(u' ', u'J', u'o', u'b')) return 0;
    std::uint32_t value;
    if (!HexDigits8(field + 4, &value)) return 0;
    std::memcpy(&word, field + 12, sizeof word);
    if ((word & 0xFFFFFFFFFFFFull) != Chars4(u' ', u'-', u' ', 0)) return 0;
    return value;
}
#else
std::uint32_t JobNumberInLine(const char16_t* field) noexcept { return ParseJobNumber(field); }
#endif

// The key of a usual label part: its whole text.
struct UsualKey {
    std::uint64_t head, middle;
    std::uint32_t tail;
    std::size_t home;  // the slot it is looked for from
};

UsualKey UsualKeyOf(const char16_t* part) noexcept {
    static_assert(kUsualLabelChars == 10, "the key holds ten characters");
    UsualKey key;
    std::memcpy(&key.head, part, sizeof key.head);
    std::memcpy(&key.middle, part + 4, sizeof key.middle);
    std::memcpy(&key.tail, part + 8, sizeof key.tail);
    static_assert(SeverityMemo::kUsualSlots == 16, "the home slot takes four bits");
    key.home = static_cast<std::size_t>(((key.head ^ key.middle ^ key.tail) * 0x9E3779B97F4A7C15ull) >> 60);
    return key;
}

// A free slot holds no key: a key's tail is never 0.
bool Holds(const SeverityMemo::UsualSlot& slot, const UsualKey& key) noexcept {
    return slot.tail == key.tail && slot.head == key.head && slot.middle == key.middle;
}

// The part's severity when its home slot does not hold it: looked for in the
// slots after it up to a free one, else searched and remembered there (in the
// home slot, where the probes end, when none is free).
[[gnu::noinline]] std::uint32_t UsualPartSeverityAway(const char16_t* part, SeverityMemo& memo,
                                                       const UsualKey& key) noexcept {
    constexpr std::size_t kMask = SeverityMemo::kUsualSlots - 1;
    std::size_t at = key.home;
    for (std::size_t probes = 0; probes < SeverityMemo::kUsualSlots; ++probes) {
        const SeverityMemo::UsualSlot& slot = memo.usual[at];
        if (slot.tail == 0) break;
        if (Holds(slot, key)) return slot.severity;
        at = (at + 1) & kMask;
    }
    SeverityMemo::UsualSlot& slot = memo.usual[at];
    slot = {key.tail, SeverityIn({part, kUsualLabelChars}), key.head, key.middle};
    return slot.severity;
}

// SeverityIn for the label part of a usual line, remembered by its whole text.
inline std::uint32_t UsualPartSeverity(const char16_t* part, SeverityMemo& memo) noexcept {
    UsualKey key = UsualKeyOf(part);
    const SeverityMemo::UsualSlot& home = memo.usual[key.home];
    if (Holds(home, key)) return home.severity;
    return UsualPartSeverityAway(part, memo, key);
}

// SplitRecordLine for a line of the usual shape: every part is at its place.
inline void SplitUsualLine(char16_t* line, RecordParts& parts, SeverityMemo* memo) noexcept {
    char16_t* part = line + kUsualDash + 1;
    parts.severity = memo != nullptr ? UsualPartSeverity(part, *memo) : SeverityIn({part, kUsualLabelChars});
    parts.jobNumber = JobNumberInLine(line + kUsualColon + 1);
    line[kUsualDash] = 0;
    line[kUsualColon] = 0;
    parts.timeText = line;
    parts.messageText = line + kUsualColon + (parts.jobNumber == 0 ? 1 : kJobFieldOffset);
}

// SplitRecordLine, inline for GetLog's loop.
inline bool SplitLine(char16_t* line, std::uint32_t bytes, RecordParts& parts, SeverityMemo* memo) noexcept {
    if (!UsualShape(line, bytes)) return SplitAnyRecordLine(line, parts, memo);
    SplitUsualLine(line, parts, memo);
    return true;
}

// A block of platform memory holding texts that entries point to.
struct TextBlock {
    TextBlock* next;
    std::uint64_t unused;  // keeps the texts 16-byte aligned
};

// An entries array carries, right before its first entry, the first of the
// blocks its texts lie in, each leading to the next: FreeEntries frees them
// all, however the texts are spread over them.
struct ArrayPrefix {
    TextBlock* first;
    std::uint64_t unused;  // keeps the entries 16-byte aligned
};

ArrayPrefix* PrefixOf(ActivityEntry* entries) noexcept { return reinterpret_cast<ArrayPrefix*>(entries) - 1; }

enum class Zeroed { All, None };

// An array of slots + 1 entries without text blocks, all zero (the last one
// always stays the terminator), or left as allocated for a caller that fills
// the array in order and zeroes the rest itself (ZeroFrom).
ActivityEntry* AllocateEntries(std::uint32_t slots, Zeroed zeroed = Zeroed::All) noexcept {
    std::size_t bytes = (static_cast<std::size_t>(slots) + 1) * sizeof(ActivityEntry);
    auto* prefix = static_cast<ArrayPrefix*>(platform::Current().Allocate(sizeof(ArrayPrefix) + bytes));
    if (prefix == nullptr) return nullptr;
    prefix->first = nullptr;
    auto* entries = reinterpret_cast<ActivityEntry*>(prefix + 1);
    if (zeroed == Zeroed::All) std::memset(entries, 0, bytes);
    return entries;
}

// Zeroes entries [filled, slots]: those left unfilled and the terminator.
void ZeroFrom(ActivityEntry* entries, std::uint32_t filled, std::uint32_t slots) noexcept {
    std::memset(entries + filled, 0, (static_cast<std::size_t>(slots) - filled + 1) * sizeof(ActivityEntry));
}

// Makes room for one more entry in an array of *slots + 1 entries, up to
// `limit` slots: the array grows with what a query returns, not with its count.
bool Grow(ActivityEntry** entries, std::uint32_t* slots, std::uint32_t limit) noexcept {
    std::uint32_t more = *slots < 32 ? 32 : *slots;
    std::uint32_t wanted = limit - *slots < more ? limit : *slots + more;
    ActivityEntry* larger = AllocateEntries(wanted);
    if (larger == nullptr) return false;
    std::memcpy(larger, *entries, static_cast<std::size_t>(*slots) * sizeof(ActivityEntry));
    PrefixOf(larger)->first = PrefixOf(*entries)->first;
    platform::Current().Free(PrefixOf(*entries));
    *entries = larger;
    *slots = wanted;
    return true;
}

// The lines an array's entries point to, in text blocks chained from the
// array's prefix. The first span a walk reads is itself a block: its records
// stay where they lie. Other lines are copied one after another into blocks,
// so a page costs one allocation or two instead of one a record. Only one
// span is taken: a page that drops many records keeps no more than it.
class TextBlocks : public SpanSource {
public:
    static constexpr std::size_t kMaxBlock = std::size_t{1} << 20;

    // `entries`: where the array lies (it may move as it grows).
    explicit TextBlocks(ActivityEntry* const* entries) noexcept : entries_(entries) {}

    unsigned char* SpanBuffer(std::uint32_t bytes) noexcept override {
        if (spanTaken_) return nullptr;
        spanTaken_ = true;
        TextBlock* block = NewBlock(bytes);
        return block == nullptr ? nullptr : reinterpret_cast<unsigned char*>(block + 1);
    }

    // The record's line where it lies when that is a block, else a copy;
    // `expected`: how many lines, this one included, are likely to follow it
    // (sizes a new block). Null when out of memory.
    char16_t* Keep(const RecordText& record, std::uint32_t expected) noexcept {
        if (record.fromSource) return record.text;
        std::size_t bytes = RoundUp(record.bytes);
        if (room_ < bytes) {
            std::uint64_t wanted = std::uint64_t{bytes} * expected;
            if (wanted > kMaxBlock) wanted = kMaxBlock;
            if (wanted < bytes) wanted = bytes;
            TextBlock* block = NewBlock(static_cast<std::size_t>(wanted));
            if (block == nullptr) return nullptr;
            copyTo_ = reinterpret_cast<char*>(block + 1);
            room_ = static_cast<std::size_t>(wanted);
        }
        char* line = copyTo_;
        std::memcpy(line, record.text, record.bytes);
        copyTo_ += bytes;
        room_ -= bytes;
        return reinterpret_cast<char16_t*>(line);
    }

    // Frees the text blocks of an array.
    static void FreeAll(ActivityEntry* entries) noexcept {
        TextBlock* block = PrefixOf(entries)->first;
        while (block != nullptr) {
            TextBlock* next = block->next;
            platform::Current().Free(block);
            block = next;
        }
    }

private:
    static std::size_t RoundUp(std::size_t bytes) noexcept { return (bytes + 15) & ~std::size_t{15}; }

    // A block of `bytes`, chained behind the others at once, so that a failed
    // call frees it with the array.
    TextBlock* NewBlock(std::size_t bytes) noexcept {
        auto* block = static_cast<TextBlock*>(platform::Current().Allocate(sizeof(TextBlock) + bytes));
        if (block == nullptr) return nullptr;
        block->next = nullptr;
        if (last_ != nullptr) {
            last_->next = block;
        } else {
            PrefixOf(*entries_)->first = block;
        }
        last_ = block;
        return block;
    }

    ActivityEntry* const* entries_;
    TextBlock* last_ = nullptr;
    bool spanTaken_ = false;
    char* copyTo_ = nullptr;
    std::size_t room_ = 0;
};

void Fill(ActivityEntry& entry, const RecordParts& parts) noexcept {
    entry.severity = parts.severity;
    entry.jobNumber = parts.jobNumber;
    entry.timeText = ToExport(parts.timeText);
    entry.messageText = ToExport(parts.messageText);
}

// Nothing is handed out. Only an index that describes its log wrongly leaves
// its name (so that a rebuild writes it anew); a call the OS refused leaves
// the files alone. The log is never touched.
std::int32_t Fail(ReadSnapshot& snapshot, ReadResult result, ActivityEntry** entries,
                  std::uint32_t* returned) noexcept {
    *returned = 0;
    FreeEntries(*entries);
    *entries = nullptr;
    Status cause = snapshot.cause();
    if (cause) cause = Status::Fail(result == ReadResult::Damaged ? Code::Damaged : Code::Io, Op::Read);
    if (result == ReadResult::Damaged) {
        snapshot.DiscardIndex();
    } else {
        snapshot.Close();
    }
    return ExportResult(cause);
}

constexpr Status kBadArgument = Status::Fail(Code::InvalidArgument, Op::CheckArgument);
constexpr Status kNoMemory = Status::Fail(Code::NoMemory, Op::Allocate);

bool OutputsPresent(ActivityEntry** entries, std::uint32_t* returned, std::uint32_t* total) noexcept {
    if (entries == nullptr || returned == nullptr || total == nullptr) return false;
    *entries = nullptr;
    *returned = 0;
    *total = 0;
    return true;
}

}  // namespace

std::uint32_t SeverityIn(std::u16string_view part, SeverityMemo* memo) noexcept {
    if (memo == nullptr || part.size() > SeverityMemo::kChars) return SeverityIn(part);
    std::size_t chars = part.size();
    std::uint64_t key = chars;
    if (chars > 0) {
        key |= std::uint64_t{part[0]} << 16 | std::uint64_t{part[chars / 2]} << 32 | std::uint64_t{part[chars - 1]} << 48;
    }
    // Linear probing from the key's home slot; a part that finds neither its
    // key nor a free slot in the full table takes its home slot.
    std::size_t home = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 60) & (SeverityMemo::kSlots - 1);
    std::size_t at = home;
    for (std::size_t probes = 0; probes < SeverityMemo::kSlots; ++probes) {
        std::uint64_t seen = memo->keys[at];
        if (seen == SeverityMemo::kEmpty) break;
        SeverityMemo::Slot& slot = memo->slots[at];
        if (seen == key && std::memcmp(part.data(), slot.part, chars * 2) == 0) return slot.severity;
        at = (at + 1) & (SeverityMemo::kSlots - 1);
    }
    if (memo->keys[at] != SeverityMemo::kEmpty) at = home;
    SeverityMemo::Slot& slot = memo->slots[at];
    slot.severity = SeverityIn(part);
    std::memcpy(slot.part, part.data(), chars * 2);
    memo->keys[at] = key;
    return slot.severity;
}

bool SplitRecordLine(char16_t* line, std::uint32_t bytes, RecordParts& parts, SeverityMemo* memo) noexcept {
    return SplitLine(line, bytes, parts, memo);
}

bool SplitAnyRecordLine(char16_t* line, RecordParts& parts, SeverityMemo* memo) noexcept {
    parts = RecordParts{};
    char16_t* dash;
    char16_t* colon;
    if (!FindDashAndColon(line, &dash, &colon)) return false;
    *dash = 0;
    char16_t* rest = dash + 1;
    // The label part: up to the ':', at most kLabelPartChars characters.
    auto labelChars = static_cast<std::size_t>(colon - rest);
    parts.severity = SeverityIn({rest, labelChars < kLabelPartChars ? labelChars : kLabelPartChars}, memo);
    parts.jobNumber = ParseJobNumber(colon + 1);
    *colon = 0;
    parts.timeText = line;
    parts.messageText = parts.jobNumber == 0 ? colon + 1 : colon + kJobFieldOffset;
    return true;
}

std::int32_t QueryLog(std::uint32_t start, std::uint32_t count, ActivityEntry** entries, std::uint32_t* returned,
                      std::uint32_t* total, const char16_t* owner) noexcept {
    if (!OutputsPresent(entries, returned, total)) return ExportResult(kBadArgument);
    // A page near the newest records reads its index words with the tail check.
    ReadSnapshot snapshot(owner, std::uint64_t{start} + count + 1);
    if (!snapshot.valid()) return Fail(snapshot, snapshot.status(), entries, returned);
    std::uint32_t n = snapshot.records();
    if (n <= start) {
        *total = n;
        return 0;
    }
    // No page holds more than the records below start (the largest count means
    // "as many as there are"): the array is sized by what can be returned.
    std::uint32_t slots = count < n - start ? count : n - start;
    ActivityEntry* array = AllocateEntries(slots, Zeroed::None);
    if (array == nullptr) return ExportResult(kNoMemory);
    *entries = array;

    // start counts index entries, parsed or not: a dropped record takes no slot
    // but the walk goes on with the next older one.
    TextBlocks lines(entries);
    RecordWalk walk(snapshot, n - start, RecordWalk::Chars::NotCounted, &lines);
    SeverityMemo memo;
    std::uint32_t filled = 0;
    // Each call fills both in whole (the parts when it gives true).
    RecordText record;
    RecordParts parts;
    while (filled < slots) {
        ReadResult result = walk.Next(slots - filled, &record);
        if (result != ReadResult::Ok) return Fail(snapshot, result, entries, returned);
        if (record.text == nullptr) break;
        if (!SplitLine(record.text, record.bytes, parts, &memo)) continue;
        if (!record.fromSource) {
            char16_t* line = lines.Keep(record, slots - filled);
            if (line == nullptr) return Fail(snapshot, ReadResult::Failed, entries, returned);
            parts.messageText = line + (parts.messageText - record.text);
            parts.timeText = line;
        }
        Fill(array[filled++], parts);
    }
    ZeroFrom(array, filled, slots);
    *returned = filled;
    *total = n;
    return 0;
}

std::int32_t QueryJobLog(std::uint32_t job, std::uint32_t start, std::uint32_t count, ActivityEntry** entries,
                         std::uint32_t* returned, std::uint32_t* total, const char16_t* owner) noexcept {
    if (!OutputsPresent(entries, returned, total)) return ExportResult(kBadArgument);
    ReadSnapshot snapshot(owner);
    if (!snapshot.valid()) return Fail(snapshot, snapshot.status(), entries, returned);
    std::uint32_t n = snapshot.records();
    std::uint32_t limit = count < n ? count : n;
    std::uint32_t slots = 0;
    *entries = AllocateEntries(slots);
    if (*entries == nullptr) return ExportResult(kNoMemory);

    TextBlocks lines(entries);
    std::uint32_t filled = 0;
    std::uint32_t matches = 0;
    // Every record is read, whatever the page, so that the total counts every
    // match; only the job field is looked at until a record is kept.
    RecordWalk walk(snapshot, n, RecordWalk::Chars::NotCounted);
    for (;;) {
        RecordText record;
        ReadResult result = walk.Next(n, &record);
        if (result != ReadResult::Ok) return Fail(snapshot, result, entries, returned);
        if (record.text == nullptr) break;
        char16_t* dash;
        char16_t* colon;
        if (!FindDashAndColon(record.text, &dash, &colon) || ParseJobNumber(colon + 1) != job) continue;
        if (matches++ < start || filled == limit) continue;
        if (filled == slots && !Grow(entries, &slots, limit)) {
            return Fail(snapshot, ReadResult::Failed, entries, returned);
        }
        // Matches are likely rare: a new chunk is sized for a few of them.
        std::uint32_t expected = limit - filled < 16 ? limit - filled : 16;
        char16_t* line = lines.Keep(record, expected);
        if (line == nullptr) return Fail(snapshot, ReadResult::Failed, entries, returned);
        dash = line + (dash - record.text);
        colon = line + (colon - record.text);
        *dash = 0;
        RecordParts parts;
        // Unlike GetLog, the whole rest of the line is searched for a label.
        parts.severity = SeverityIn(ToEnd(dash + 1));
        *colon = 0;
        parts.jobNumber = job;
        parts.timeText = line;
        parts.messageText = job == 0 ? colon + 1 : colon + kJobFieldOffset;
        Fill((*entries)[filled++], parts);
    }
    *returned = filled;
    *total = matches;
    return 0;
}

void FreeEntries(ActivityEntry* entries) noexcept {
    if (entries == nullptr) return;
    TextBlocks::FreeAll(entries);
    platform::Current().Free(PrefixOf(entries));
}

}  // namespace actlog

extern "C" LOG_API int32_t GetLog(uint32_t start, uint32_t count, ActivityEntry** entries, uint32_t* returned,
                                  uint32_t* total, const LOG_WCHAR* owner) noexcept {
    return actlog::QueryLog(start, count, entries, returned, total, actlog::FromExport(owner));
}

extern "C" LOG_API int32_t GetJobLog(uint32_t job, uint32_t start, uint32_t count, ActivityEntry** entries,
                                     uint32_t* returned, uint32_t* total, const LOG_WCHAR* owner) noexcept {
    return actlog::QueryJobLog(job, start, count, entries, returned, total, actlog::FromExport(owner));
}

extern "C" LOG_API void FreeLog(ActivityEntry* entries) noexcept { actlog::FreeEntries(entries); }
