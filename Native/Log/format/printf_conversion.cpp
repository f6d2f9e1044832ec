#include "format/printf_conversion.h"

#include <charconv>
#include <type_traits>

namespace actlog::format {
namespace {

constexpr int kMaxFieldSize = 1 << 24;  // width and precision beyond this are cut anyway

// Writes prefix, zeros and body into a field of conv.width characters.
void EmitField(TextSink& sink, const ConversionSpec& conv, const char16_t* prefix, std::size_t prefixLength,
               std::size_t zeros, const char16_t* body, std::size_t bodyLength, bool zeroPad) noexcept {
    std::size_t used = prefixLength + zeros + bodyLength;
    std::size_t width = conv.width > 0 ? static_cast<std::size_t>(conv.width) : 0;
    std::size_t pad = width > used ? width - used : 0;
    if (!conv.left && !zeroPad) sink.PutRepeat(u' ', pad);
    sink.PutUnits(prefix, prefixLength);
    if (!conv.left && zeroPad) sink.PutRepeat(u'0', pad);
    sink.PutRepeat(u'0', zeros);
    sink.PutUnits(body, bodyLength);
    if (conv.left) sink.PutRepeat(u' ', pad);
}
template <typename CharT>
std::size_t ParseConversionT(const CharT* text, std::size_t available, ConversionSpec* conv) noexcept {
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
    *conv = parsed;
    return i + 1;
}
}  // namespace

std::size_t ParseConversion(const char16_t* text, std::size_t available, ConversionSpec* conv) noexcept {
    return ParseConversionT(text, available, conv);
}
std::size_t ParseConversion(const char* text, std::size_t available, ConversionSpec* conv) noexcept {
    return ParseConversionT(text, available, conv);
}

ArgKind KindOf(const ConversionSpec& conv) noexcept {
    const bool shortSize = conv.size == ArgSize::Short || conv.size == ArgSize::Char8;
    const bool longSize = conv.size == ArgSize::Long32 || conv.size == ArgSize::Long64 || conv.size == ArgSize::Wide;
    switch (conv.conversion) {
        case u'd':
        case u'i':
            return conv.size == ArgSize::LongDouble ? ArgKind::Invalid : ArgKind::SignedInt;
        case u'o':
        case u'u':
        case u'x':
        case u'X':
            return conv.size == ArgSize::LongDouble ? ArgKind::Invalid : ArgKind::UnsignedInt;
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

bool Is64Bit(const ConversionSpec& conv) noexcept { return conv.size == ArgSize::Long64; }

void ApplyStarWidth(ConversionSpec* conv, std::int32_t value) noexcept {
    if (value < 0) {
        conv->left = true;
        value = value == INT32_MIN ? INT32_MAX : -value;
    }
    conv->width = value > kMaxFieldSize ? kMaxFieldSize : value;
}

void ApplyStarPrecision(ConversionSpec* conv, std::int32_t value) noexcept {
    conv->precision = value < 0 ? -1 : (value > kMaxFieldSize ? kMaxFieldSize : value);
}

void RenderInteger(TextSink& sink, const ConversionSpec& conv, std::uint64_t bits) noexcept {
    unsigned width = 32;
    if (conv.size == ArgSize::Char8) width = 8;
    if (conv.size == ArgSize::Short) width = 16;
    if (conv.size == ArgSize::Long64) width = 64;
    if (width < 64) bits &= (std::uint64_t{1} << width) - 1;

    const bool isSigned = KindOf(conv) == ArgKind::SignedInt;
    bool negative = false;
    std::uint64_t magnitude = bits;
    if (isSigned && width > 0 && ((bits >> (width - 1)) & 1u) != 0) {
        negative = true;
        std::uint64_t extended = width < 64 ? bits | ~((std::uint64_t{1} << width) - 1) : bits;
        magnitude = 0 - extended;
    }

    unsigned base = 10;
    if (conv.conversion == u'o') base = 8;
    if (conv.conversion == u'x' || conv.conversion == u'X') base = 16;
    const char16_t* digitSet = conv.conversion == u'X' ? u"0123456789ABCDEF" : u"0123456789abcdef";

    char16_t digits[24];
    std::size_t n = 0;
    if (!(conv.precision == 0 && magnitude == 0)) {
        char16_t reversed[24];
        std::uint64_t v = magnitude;
        do {
            reversed[n++] = digitSet[v % base];
            v /= base;
        } while (v != 0);
        for (std::size_t k = 0; k < n; ++k) digits[k] = reversed[n - 1 - k];
    }
    std::size_t precision = conv.precision > 0 ? static_cast<std::size_t>(conv.precision) : 0;
    std::size_t zeros = precision > n ? precision - n : 0;
    if (conv.alternate && base == 8 && zeros == 0 && (n == 0 || digits[0] != u'0')) zeros = 1;

    char16_t prefix[2];
    std::size_t prefixLength = 0;
    if (isSigned && negative) {
        prefix[prefixLength++] = u'-';
    } else if (isSigned && conv.plus) {
        prefix[prefixLength++] = u'+';
    } else if (isSigned && conv.space) {
        prefix[prefixLength++] = u' ';
    } else if (conv.alternate && base == 16 && magnitude != 0) {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = conv.conversion;
    }
    EmitField(sink, conv, prefix, prefixLength, zeros, digits, n, conv.zero && conv.precision < 0);
}

void RenderPointer(TextSink& sink, const ConversionSpec& conv, std::uint64_t bits) noexcept {
    char16_t digits[16];
    for (int k = 15; k >= 0; --k) {
        digits[k] = u"0123456789ABCDEF"[bits & 0xF];
        bits >>= 4;
    }
    const char16_t prefix[2] = {u'0', u'X'};
    EmitField(sink, conv, prefix, conv.alternate ? 2 : 0, 0, digits, 16, false);
}

void RenderChar(TextSink& sink, const ConversionSpec& conv, char16_t unit) noexcept {
    EmitField(sink, conv, nullptr, 0, 0, &unit, 1, conv.zero);
}

void RenderFloat(TextSink& sink, const ConversionSpec& conv, double value) noexcept {
    char text[1100];
    int precision = conv.precision < 0 ? 6 : (conv.precision > 500 ? 500 : conv.precision);
    std::chars_format format = std::chars_format::fixed;
    char16_t c = conv.conversion;
    if (c == u'e' || c == u'E') format = std::chars_format::scientific;
    if (c == u'g' || c == u'G') {
        format = std::chars_format::general;
        if (precision == 0) precision = 1;
    }
    std::to_chars_result result{};
    if (c == u'a' || c == u'A') {
        result = conv.precision < 0 ? std::to_chars(text, text + sizeof text, value, std::chars_format::hex)
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
        if (conv.alternate && finite && !hasPoint && (ch == 'e' || ch == 'p')) {
            units[n++] = u'.';
            hasPoint = true;
        }
        bool upper = c == u'E' || c == u'G' || c == u'F' || c == u'A';
        if (upper && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
        units[n++] = static_cast<char16_t>(ch);
    }
    if (conv.alternate && finite && !hasPoint) units[n++] = u'.';

    char16_t prefix[3];
    std::size_t prefixLength = 0;
    if (negative) {
        prefix[prefixLength++] = u'-';
    } else if (conv.plus) {
        prefix[prefixLength++] = u'+';
    } else if (conv.space) {
        prefix[prefixLength++] = u' ';
    }
    if (c == u'a' || c == u'A') {
        prefix[prefixLength++] = u'0';
        prefix[prefixLength++] = c == u'A' ? u'X' : u'x';
    }
    EmitField(sink, conv, prefix, prefixLength, 0, units, n, conv.zero && finite);
}

}  // namespace actlog::format
