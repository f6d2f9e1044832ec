#include "platform/printf_conversion.h"

#include <charconv>
#include <cstring>

#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace actlog::format_detail {
namespace {

constexpr int kMaxFieldSize = 1 << 24;  // width and precision beyond this are cut anyway
constexpr std::size_t kPageSize = 4096;

std::size_t SaturatingAdd(std::size_t a, std::size_t b) noexcept {
    return a > SIZE_MAX - b ? SIZE_MAX : a + b;
}

bool IsHighSurrogate(char16_t u) noexcept { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) noexcept { return u >= 0xDC00 && u <= 0xDFFF; }

// Length of the UTF-8 sequence that `lead` starts, 0 for a continuation byte.
std::size_t Utf8SequenceLength(unsigned char lead) noexcept {
    if (lead < 0x80) return 1;
    if (lead < 0xC0) return 0;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Reads bytes of a caller's memory front to back, checking each page with the
// memory probe before the first byte of it is read.
class ProbedReader {
public:
    explicit ProbedReader(const void* start) noexcept : next_(reinterpret_cast<std::uintptr_t>(start)) {}

    bool Fetch(void* out, std::size_t count) noexcept {
        if (next_ > UINTPTR_MAX - count) return false;
        while (next_ + count > probedEnd_) {
            std::uintptr_t from = probedEnd_ > next_ ? probedEnd_ : next_;
            std::uintptr_t pageEnd = (from | (kPageSize - 1)) + 1;
            if (pageEnd == 0) return false;
            if (!platform::Current().CanRead(reinterpret_cast<const void*>(from), pageEnd - from)) return false;
            probedEnd_ = pageEnd;
        }
        std::memcpy(out, reinterpret_cast<const void*>(next_), count);
        next_ += count;
        return true;
    }

private:
    std::uintptr_t next_;
    std::uintptr_t probedEnd_ = 0;
};

// Decodes 8-bit text of the code page to UTF-16 units, one byte at a time.
// Linux: UTF-8, a bad sequence giving U+FFFD. Windows: the ANSI code page,
// double-byte characters kept together.
class NarrowDecoder {
public:
    template <typename Emit>
    bool Feed(unsigned char byte, Emit& emit) noexcept {
#ifdef _WIN32
        if (lead_ != 0) {
            char pair[2] = {static_cast<char>(lead_), static_cast<char>(byte)};
            lead_ = 0;
            return Convert(pair, 2, emit);
        }
        if (IsDBCSLeadByte(byte)) {
            lead_ = byte;
            return true;
        }
        char single = static_cast<char>(byte);
        return Convert(&single, 1, emit);
#else
        if (need_ == 0) {
            if (byte < 0x80) return EmitCodePoint(byte, emit);
            if (byte >= 0xC2 && byte <= 0xDF) {
                Start(byte & 0x1Fu, 1, 0x80, 0xBF);
            } else if (byte >= 0xE0 && byte <= 0xEF) {
                Start(byte & 0x0Fu, 2, byte == 0xE0 ? 0xA0 : 0x80, byte == 0xED ? 0x9F : 0xBF);
            } else if (byte >= 0xF0 && byte <= 0xF4) {
                Start(byte & 0x07u, 3, byte == 0xF0 ? 0x90 : 0x80, byte == 0xF4 ? 0x8F : 0xBF);
            } else {
                return EmitCodePoint(0xFFFD, emit);
            }
            return true;
        }
        if (byte >= low_ && byte <= high_) {
            codePoint_ = (codePoint_ << 6) | (byte & 0x3Fu);
            low_ = 0x80;
            high_ = 0xBF;
            if (--need_ == 0) return EmitCodePoint(codePoint_, emit);
            return true;
        }
        need_ = 0;
        if (!EmitCodePoint(0xFFFD, emit)) return false;
        return Feed(byte, emit);
#endif
    }

    // Ends the text: an unfinished character gives the replacement.
    template <typename Emit>
    bool Finish(Emit& emit) noexcept {
#ifdef _WIN32
        if (lead_ == 0) return true;
        char single = static_cast<char>(lead_);
        lead_ = 0;
        return Convert(&single, 1, emit);
#else
        if (need_ == 0) return true;
        need_ = 0;
        return EmitCodePoint(0xFFFD, emit);
#endif
    }

private:
#ifdef _WIN32
    template <typename Emit>
    static bool Convert(const char* bytes, int count, Emit& emit) noexcept {
        wchar_t units[4];
        int n = MultiByteToWideChar(CP_ACP, 0, bytes, count, units, 4);
        for (int i = 0; i < n; ++i) {
            if (!emit(static_cast<char16_t>(units[i]))) return false;
        }
        return true;
    }
    unsigned char lead_ = 0;
#else
    void Start(std::uint32_t bits, int need, unsigned char low, unsigned char high) noexcept {
        codePoint_ = bits;
        need_ = need;
        low_ = low;
        high_ = high;
    }
    template <typename Emit>
    static bool EmitCodePoint(std::uint32_t cp, Emit& emit) noexcept {
        if (cp < 0x10000) return emit(static_cast<char16_t>(cp));
        cp -= 0x10000;
        if (!emit(static_cast<char16_t>(0xD800 + (cp >> 10)))) return false;
        return emit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
    std::uint32_t codePoint_ = 0;
    int need_ = 0;
    unsigned char low_ = 0x80;
    unsigned char high_ = 0xBF;
#endif
};

// Walks the first `bytes` bytes of a string already checked readable as
// UTF-16 units, calling emit(unit) until it gives false or `maxUnits` units
// went out. Gives the units emitted.
template <typename Emit>
std::size_t WalkUnits(const void* text, std::size_t bytes, bool wide, std::size_t maxUnits, Emit emit) noexcept {
    const unsigned char* p = static_cast<const unsigned char*>(text);
    std::size_t done = 0;
    auto counted = [&](char16_t unit) noexcept {
        if (done >= maxUnits) return false;
        ++done;
        emit(unit);
        return true;
    };
    if (wide) {
        for (std::size_t i = 0; i + sizeof(char16_t) <= bytes; i += sizeof(char16_t)) {
            char16_t unit;
            std::memcpy(&unit, p + i, sizeof unit);
            if (!counted(unit)) break;
        }
        return done;
    }
    NarrowDecoder decoder;
    bool open = true;
    for (std::size_t i = 0; i < bytes && open; ++i) open = decoder.Feed(p[i], counted);
    if (open) decoder.Finish(counted);
    return done;
}

// Finds how many bytes of the terminated string at `text` to use: up to its
// terminator, or up to the end of the character that makes `maxUnits` UTF-16
// units, whichever comes first. false when a page of it cannot be read.
bool MeasureString(const void* text, bool wide, std::size_t maxUnits, std::size_t* bytes) noexcept {
    ProbedReader reader(text);
    std::size_t used = 0;
    std::size_t units = 0;
    if (wide) {
        for (; units < maxUnits; ++units) {
            char16_t unit = 0;
            if (!reader.Fetch(&unit, sizeof unit)) return false;
            if (unit == 0) break;
            used += sizeof unit;
        }
        *bytes = used;
        return true;
    }
    NarrowDecoder decoder;
    auto count = [&](char16_t) noexcept {
        ++units;
        return true;
    };
    while (units < maxUnits) {
        unsigned char byte = 0;
        if (!reader.Fetch(&byte, 1)) return false;
        if (byte == 0) break;
        ++used;
        decoder.Feed(byte, count);
    }
    *bytes = used;
    return true;
}

// Writes prefix, zeros and body into a field of spec.width characters.
void EmitField(TextSink& sink, const ConversionSpec& spec, const char16_t* prefix, std::size_t prefixLength,
               std::size_t zeros, const char16_t* body, std::size_t bodyLength, bool zeroPad) noexcept {
    std::size_t used = prefixLength + zeros + bodyLength;
    std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
    std::size_t pad = width > used ? width - used : 0;
    if (!spec.left && !zeroPad) sink.PutRepeat(u' ', pad);
    sink.PutUnits(prefix, prefixLength);
    if (!spec.left && zeroPad) sink.PutRepeat(u'0', pad);
    sink.PutRepeat(u'0', zeros);
    sink.PutUnits(body, bodyLength);
    if (spec.left) sink.PutRepeat(u' ', pad);
}

template <typename CharT>
std::size_t ParseConversionT(const CharT* text, std::size_t available, ConversionSpec* spec) noexcept {
    ConversionSpec parsed;
    std::size_t i = 0;
    auto at = [&](std::size_t k) -> char16_t {
        return k < available ? static_cast<char16_t>(static_cast<std::make_unsigned_t<CharT>>(text[k])) : 0;
    };
    for (;; ++i) {
        char16_t c = at(i);
        if (c == u'-') {
            parsed.left = true;
        } else if (c == u'+') {
            parsed.plus = true;
        } else if (c == u' ') {
            parsed.space = true;
        } else if (c == u'#') {
            parsed.alternate = true;
        } else if (c == u'0') {
            parsed.zero = true;
        } else {
            break;
        }
    }
    auto number = [&](int* value) {
        long long n = 0;
        while (at(i) >= u'0' && at(i) <= u'9') {
            n = n * 10 + (at(i) - u'0');
            if (n > kMaxFieldSize) n = kMaxFieldSize;
            ++i;
        }
        *value = static_cast<int>(n);
    };
    if (at(i) == u'*') {
        parsed.widthStar = true;
        ++i;
    } else {
        number(&parsed.width);
    }
    if (at(i) == u'.') {
        ++i;
        if (at(i) == u'*') {
            parsed.precisionStar = true;
            ++i;
        } else {
            number(&parsed.precision);
        }
    }
    char16_t c = at(i);
    if (c == u'h') {
        ++i;
        parsed.size = ArgSize::Short;
        if (at(i) == u'h') {
            ++i;
            parsed.size = ArgSize::Char8;
        }
    } else if (c == u'l') {
        ++i;
        parsed.size = ArgSize::Long32;
        if (at(i) == u'l') {
            ++i;
            parsed.size = ArgSize::Long64;
        }
    } else if (c == u'I') {
        ++i;
        parsed.size = ArgSize::Long64;
        if (at(i) == u'6' && at(i + 1) == u'4') {
            i += 2;
        } else if (at(i) == u'3' && at(i + 1) == u'2') {
            i += 2;
            parsed.size = ArgSize::Long32;
        }
    } else if (c == u'j' || c == u'z' || c == u't') {
        ++i;
        parsed.size = ArgSize::Long64;
    } else if (c == u'w') {
        ++i;
        parsed.size = ArgSize::Wide;
    } else if (c == u'L') {
        ++i;
        parsed.size = ArgSize::LongDouble;
    }
    c = at(i);
    static constexpr char16_t kConversions[] = u"diouxXcCsSpeEfFgGaAnZ";
    bool known = false;
    for (char16_t k : kConversions) known = known || (k != 0 && k == c);
    if (!known) return 0;
    parsed.conversion = c;
    *spec = parsed;
    return i + 1;
}

}  // namespace

// ---- sink ----

TextSink::TextSink(char16_t* out, std::size_t capacity) noexcept : wide_(out), capacity_(out ? capacity : 0) {}
TextSink::TextSink(char* out, std::size_t capacity) noexcept : narrow_(out), capacity_(out ? capacity : 0) {}

std::size_t TextSink::Room() const noexcept { return capacity_ == 0 ? 0 : capacity_ - 1 - length_; }

void TextSink::PutUnits(const char16_t* units, std::size_t count) noexcept {
    if (count == 0) return;
    produced_ = true;
    if (wide_ != nullptr) {
        std::size_t room = Room();
        std::size_t n = count < room ? count : room;
        std::memcpy(wide_ + length_, units, n * sizeof(char16_t));
        length_ += n;
        if (n < count) full_ = true;
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        char16_t u = units[i];
        if (pendingHigh_ != 0) {
            char16_t pair[2] = {pendingHigh_, u};
            pendingHigh_ = 0;
            if (IsLowSurrogate(u)) {
                EncodeNarrow(pair, 2);
                continue;
            }
            EncodeNarrow(pair, 1);
        }
        if (IsHighSurrogate(u)) {
            pendingHigh_ = u;
        } else if (u < 0x80) {
            char byte = static_cast<char>(u);
            AppendBytes(&byte, 1);
        } else {
            EncodeNarrow(&u, 1);
        }
    }
}

void TextSink::PutRepeat(char16_t unit, std::size_t count) noexcept {
    char16_t block[32];
    for (char16_t& u : block) u = unit;
    while (count > 0 && !full_) {
        std::size_t n = count < 32 ? count : 32;
        PutUnits(block, n);
        count -= n;
    }
    if (count > 0) produced_ = true;
}

void TextSink::PutBytes(const char* bytes, std::size_t count) noexcept {
    if (narrow_ == nullptr || count == 0) return;
    produced_ = true;
    if (pendingHigh_ != 0) {
        EncodeNarrow(&pendingHigh_, 1);
        pendingHigh_ = 0;
    }
    AppendBytes(bytes, count);
}

void TextSink::AppendBytes(const char* bytes, std::size_t count) noexcept {
    std::size_t room = Room();
    std::size_t n = count < room ? count : room;
    std::memcpy(narrow_ + length_, bytes, n);
    length_ += n;
    if (n == count) return;
    if (!full_ && platform::kNarrowIsUtf8) {
        // Do not leave the start of a character that was cut.
        std::size_t back = 0;
        while (back < 3 && back < length_ &&
               Utf8SequenceLength(static_cast<unsigned char>(narrow_[length_ - 1 - back])) == 0)
            ++back;
        if (back < length_) {
            std::size_t lead = length_ - 1 - back;
            if (Utf8SequenceLength(static_cast<unsigned char>(narrow_[lead])) > back + 1) length_ = lead;
        }
    }
    full_ = true;
}

// Encodes one character (one unit or a surrogate pair) to the code page;
// when it does not fit whole, it is left out and the sink is full.
void TextSink::EncodeNarrow(const char16_t* units, std::size_t count) noexcept {
    char16_t text[3] = {units[0], count > 1 ? units[1] : char16_t(0), 0};
    char bytes[16];
    std::size_t n = platform::Current().NarrowFromWide(text, bytes, sizeof bytes);
    if (n > Room()) {
        full_ = true;
        return;
    }
    std::memcpy(narrow_ + length_, bytes, n);
    length_ += n;
}

std::size_t TextSink::Finish() noexcept {
    if (pendingHigh_ != 0 && narrow_ != nullptr) {
        EncodeNarrow(&pendingHigh_, 1);
        pendingHigh_ = 0;
    }
    if (capacity_ == 0) return 0;
    if (wide_ != nullptr) wide_[length_] = 0;
    if (narrow_ != nullptr) narrow_[length_] = 0;
    return length_;
}

void TextSink::Clear() noexcept {
    length_ = 0;
    pendingHigh_ = 0;
    produced_ = false;
    full_ = false;
}

// ---- conversions ----

std::size_t ParseConversion(const char16_t* text, std::size_t available, ConversionSpec* spec) noexcept {
    return ParseConversionT(text, available, spec);
}
std::size_t ParseConversion(const char* text, std::size_t available, ConversionSpec* spec) noexcept {
    return ParseConversionT(text, available, spec);
}

ArgKind KindOf(const ConversionSpec& spec) noexcept {
    const bool shortSize = spec.size == ArgSize::Short || spec.size == ArgSize::Char8;
    const bool longSize = spec.size == ArgSize::Long32 || spec.size == ArgSize::Long64 || spec.size == ArgSize::Wide;
    switch (spec.conversion) {
        case u'd':
        case u'i':
            return spec.size == ArgSize::LongDouble ? ArgKind::Invalid : ArgKind::SignedInt;
        case u'o':
        case u'u':
        case u'x':
        case u'X':
            return spec.size == ArgSize::LongDouble ? ArgKind::Invalid : ArgKind::UnsignedInt;
        case u'p':
            return ArgKind::Pointer;
        case u'c':
            return shortSize ? ArgKind::NarrowChar : ArgKind::WideChar;
        case u'C':
            return longSize ? ArgKind::WideChar : ArgKind::NarrowChar;
        case u's':
            return shortSize ? ArgKind::NarrowString : ArgKind::WideString;
        case u'S':
            return longSize ? ArgKind::WideString : ArgKind::NarrowString;
        case u'e':
        case u'E':
        case u'f':
        case u'F':
        case u'g':
        case u'G':
        case u'a':
        case u'A':
            return ArgKind::Float;
        default:
            return ArgKind::Invalid;
    }
}

bool Is64Bit(const ConversionSpec& spec) noexcept { return spec.size == ArgSize::Long64; }

void ApplyStarWidth(ConversionSpec* spec, std::int32_t value) noexcept {
    if (value < 0) {
        spec->left = true;
        value = value == INT32_MIN ? INT32_MAX : -value;
    }
    spec->width = value > kMaxFieldSize ? kMaxFieldSize : value;
}

void ApplyStarPrecision(ConversionSpec* spec, std::int32_t value) noexcept {
    spec->precision = value < 0 ? -1 : (value > kMaxFieldSize ? kMaxFieldSize : value);
}

void RenderInteger(TextSink& sink, const ConversionSpec& spec, std::uint64_t bits) noexcept {
    unsigned width = 32;
    if (spec.size == ArgSize::Char8) width = 8;
    if (spec.size == ArgSize::Short) width = 16;
    if (spec.size == ArgSize::Long64) width = 64;
    if (width < 64) bits &= (std::uint64_t{1} << width) - 1;

    const bool isSigned = KindOf(spec) == ArgKind::SignedInt;
    bool negative = false;
    std::uint64_t magnitude = bits;
    if (isSigned && width > 0 && ((bits >> (width - 1)) & 1u) != 0) {
        negative = true;
        std::uint64_t extended = width < 64 ? bits | ~((std::uint64_t{1} << width) - 1) : bits;
        magnitude = 0 - extended;
    }

    unsigned base = 10;
    if (spec.conversion == u'o') base = 8;
    if (spec.conversion == u'x' || spec.conversion == u'X') base = 16;
    const char16_t* digitSet = spec.conversion == u'X' ? u"0123456789ABCDEF" : u"0123456789abcdef";

    char16_t digits[24];
    std::size_t n = 0;
    if (!(spec.precision == 0 && magnitude == 0)) {
        char16_t reversed[24];
        std::uint64_t v = magnitude;
        do {
            reversed[n++] = digitSet[v % base];
            v /= base;
        } while (v != 0);
        for (std::size_t k = 0; k < n; ++k) digits[k] = reversed[n - 1 - k];
    }
    std::size_t precision = spec.precision > 0 ? static_cast<std::size_t>(spec.precision) : 0;
    std::size_t zeros = precision > n ? precision - n : 0;
    if (spec.alternate && base == 8 && zeros == 0 && (n == 0 || digits[0] != u'0')) zeros = 1;

    char16_t prefix[2];
    std::size_t prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = u'-';
    } else if (isSigned && spec.plus) {
        prefix[prefixLength++] = u'+';
    } else if (isSigned && spec.space) {
        prefix[prefixLength++] = u' ';
    } else if (spec.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = spec.conversion;
    }
    EmitField(sink, spec, prefix, prefixLength, zeros, digits, n, spec.zero && spec.precision < 0);
}

void RenderPointer(TextSink& sink, const ConversionSpec& spec, std::uint64_t bits) noexcept {
    char16_t digits[16];
    for (int k = 15; k >= 0; --k) {
        digits[k] = u"0123456789ABCDEF"[bits & 0xF];
        bits >>= 4;
    }
    const char16_t prefix[2] = {u'0', u'X'};
    EmitField(sink, spec, prefix, spec.alternate ? 2 : 0, 0, digits, 16, false);
}

void RenderChar(TextSink& sink, const ConversionSpec& spec, char16_t unit) noexcept {
    EmitField(sink, spec, nullptr, 0, 0, &unit, 1, spec.zero);
}

void RenderFloat(TextSink& sink, const ConversionSpec& spec, double value) noexcept {
    char text[1100];
    int precision = spec.precision < 0 ? 6 : (spec.precision > 500 ? 500 : spec.precision);
    std::chars_format format = std::chars_format::fixed;
    char16_t c = spec.conversion;
    if (c == u'e' || c == u'E') format = std::chars_format::scientific;
    if (c == u'g' || c == u'G') {
        format = std::chars_format::general;
        if (precision == 0) precision = 1;
    }
    std::to_chars_result result{};
    if (c == u'a' || c == u'A') {
        result = spec.precision < 0 ? std::to_chars(text, text + sizeof text, value, std::chars_format::hex)
                                    : std::to_chars(text, text + sizeof text, value, std::chars_format::hex, precision);
    } else {
        result = std::to_chars(text, text + sizeof text, value, format, precision);
    }
    if (result.ec != std::errc()) return;
    std::size_t length = static_cast<std::size_t>(result.ptr - text);

    bool negative = length > 0 && text[0] == '-';
    const char* body = negative ? text + 1 : text;
    std::size_t bodyLength = negative ? length - 1 : length;
    const bool finite = bodyLength > 0 && body[0] >= '0' && body[0] <= '9';

    char16_t units[1110];
    std::size_t n = 0;
    bool hasPoint = false;
    for (std::size_t k = 0; k < bodyLength; ++k) hasPoint = hasPoint || body[k] == '.';
    for (std::size_t k = 0; k < bodyLength; ++k) {
        char ch = body[k];
        if (spec.alternate && finite && !hasPoint && (ch == 'e' || ch == 'p')) {
            units[n++] = u'.';
            hasPoint = true;
        }
        bool upper = c == u'E' || c == u'G' || c == u'F' || c == u'A';
        if (upper && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        units[n++] = static_cast<char16_t>(ch);
    }
    if (spec.alternate && finite && !hasPoint) units[n++] = u'.';

    char16_t prefix[3];
    std::size_t prefixLength = 0;
    if (negative) {
        prefix[prefixLength++] = u'-';
    } else if (spec.plus) {
        prefix[prefixLength++] = u'+';
    } else if (spec.space) {
        prefix[prefixLength++] = u' ';
    }
    if (c == u'a' || c == u'A') {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = c == u'A' ? u'X' : u'x';
    }
    EmitField(sink, spec, prefix, prefixLength, 0, units, n, spec.zero && finite);
}

bool RenderString(TextSink& sink, const ConversionSpec& spec, const void* text, bool wide) noexcept {
    static constexpr char16_t kNull[] = u"(null)";
    if (text == nullptr) {
        text = kNull;
        wide = true;
    }
    std::size_t width = spec.width > 0 ? static_cast<std::size_t>(spec.width) : 0;
    // Beyond what can still be shown (plus one, so no padding is due) the
    // string need not be read.
    std::size_t maxUnits = spec.precision >= 0 ? static_cast<std::size_t>(spec.precision)
                                               : SaturatingAdd(SaturatingAdd(sink.Room(), width), 1);
    std::size_t bytes = 0;
    if (!MeasureString(text, wide, maxUnits, &bytes)) return false;

    std::size_t units = WalkUnits(text, bytes, wide, maxUnits, [](char16_t) noexcept {});
    std::size_t pad = width > units ? width - units : 0;
    if (!spec.left) sink.PutRepeat(spec.zero ? u'0' : u' ', pad);
    char16_t block[64];
    std::size_t filled = 0;
    WalkUnits(text, bytes, wide, units, [&](char16_t unit) noexcept {
        block[filled++] = unit;
        if (filled == 64) {
            sink.PutUnits(block, filled);
            filled = 0;
        }
    });
    sink.PutUnits(block, filled);
    if (spec.left) sink.PutRepeat(u' ', pad);
    return true;
}

char16_t WidenByte(unsigned char byte) noexcept {
#ifdef _WIN32
    char single = static_cast<char>(byte);
    wchar_t unit = 0;
    if (MultiByteToWideChar(CP_ACP, 0, &single, 1, &unit, 1) != 1) return u'?';
    return static_cast<char16_t>(unit);
#else
    return byte < 0x80 ? static_cast<char16_t>(byte) : char16_t(0xFFFD);
#endif
}

}  // namespace actlog::format_detail
