#include "text/text_convert.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace actlog::text {
namespace {

bool IsHigh(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Encodes one code point; gives the byte count (1 to 4).
std::size_t EncodeUtf8(std::uint32_t cp, char* bytes) {
    if (cp < 0x80) {
        bytes[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
        bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
        bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Reads the code point at text[i]; *units receives 1 or 2. Lone surrogates
// come back as themselves (the caller decides).
std::uint32_t DecodeUtf16(std::u16string_view text, std::size_t i, std::size_t* units) {
    std::uint32_t cp = text[i];
    *units = 1;
    if (IsHigh(cp) && i + 1 < text.size() && IsLow(text[i + 1])) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
        *units = 2;
    }
    return cp;
}

}  // namespace

bool Utf8FromUtf16(std::u16string_view text, char* out, std::size_t capacity, std::size_t* written) noexcept {
    std::size_t used = 0;
    bool ok = out != nullptr && capacity > 0;
    std::size_t i = 0;
    // ASCII, what paths mostly are, without decoding: sixteen units at a time
    // (SSE2) and four at a time while all of them are ASCII, then one at a time.
    if (ok) {
#if defined(__SSE2__)
        const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
        while (i + 16 <= text.size() && used + 16 < capacity) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i + 8));
            __m128i high = _mm_and_si128(_mm_or_si128(a, b), notAscii);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) break;
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + used), _mm_packus_epi16(a, b));
            used += 16;
            i += 16;
        }
#endif
        while (i + 4 <= text.size() && used + 4 < capacity) {
            char16_t a = text[i], b = text[i + 1], c = text[i + 2], d = text[i + 3];
            if ((a | b | c | d) >= 0x80) break;
            out[used] = static_cast<char>(a);
            out[used + 1] = static_cast<char>(b);
            out[used + 2] = static_cast<char>(c);
            out[used + 3] = static_cast<char>(d);
            used += 4;
            i += 4;
        }
        while (i < text.size() && text[i] < 0x80 && used + 1 < capacity) out[used++] = static_cast<char>(text[i++]);
    }
    while (ok && i < text.size()) {
        std::size_t units = 0;
        std::uint32_t cp = DecodeUtf16(text, i, &units);
        if (cp >= 0xD800 && cp <= 0xDFFF) {
            ok = false;
            break;
        }
        char bytes[4];
        std::size_t n = EncodeUtf8(cp, bytes);
        if (used + n >= capacity) {
            ok = false;
            break;
        }
        for (std::size_t k = 0; k < n; ++k) out[used++] = bytes[k];
        i += units;
    }
    if (!ok) used = 0;
    if (out != nullptr && capacity > 0) out[used] = 0;
    if (written != nullptr) *written = used;
    return ok;
}

bool Utf16FromUtf8(std::string_view text, char16_t* out, std::size_t capacity, std::size_t* written) noexcept {
    std::size_t used = 0;
    bool ok = out != nullptr && capacity > 0;
    for (std::size_t i = 0; ok && i < text.size();) {
        std::uint32_t c = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        std::uint32_t cp = 0;
        std::uint32_t minimum = 0;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, cp = c & 0x1F, minimum = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, cp = c & 0x0F, minimum = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, cp = c & 0x07, minimum = 0x10000;
        } else {
            ok = false;
            break;
        }
        if (i + extra >= text.size()) {
            ok = false;
            break;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            std::uint32_t b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        if (!ok || cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            ok = false;
            break;
        }
        std::size_t need = cp >= 0x10000 ? 2 : 1;
        if (used + need >= capacity) {
            ok = false;
            break;
        }
        if (need == 2) {
            out[used++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out[used++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[used++] = static_cast<char16_t>(cp);
        }
        i += extra + 1;
    }
    if (!ok) used = 0;
    if (out != nullptr && capacity > 0) out[used] = 0;
    if (written != nullptr) *written = used;
    return ok;
}

std::size_t Utf8FromUtf16Cut(std::u16string_view text, char* out, std::size_t capacity) noexcept {
    if (out == nullptr || capacity == 0) return 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t units = 0;
        std::uint32_t cp = DecodeUtf16(text, i, &units);
        if (cp >= 0xD800 && cp <= 0xDFFF) cp = u'?';
        char bytes[4];
        std::size_t n = EncodeUtf8(cp, bytes);
        if (used + n > capacity - 1) break;
        for (std::size_t k = 0; k < n; ++k) out[used++] = bytes[k];
        i += units;
    }
    out[used] = 0;
    return used;
}

char16_t FoldCase(char16_t c) noexcept {
    std::uint32_t u = c;
    if (u < 0x80) return (u >= 'a' && u <= 'z') ? static_cast<char16_t>(u - 0x20) : c;
    if ((u >= 0xE0 && u <= 0xFE && u != 0xF7)) return static_cast<char16_t>(u - 0x20);
    if (u == 0xFF) return u'\u0178';
    // Latin Extended-A: pairs with the capital on the even unit, except
    // U+0139..U+0148 and U+0179..U+017E, where it is on the odd one.
    if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) return static_cast<char16_t>(u & ~1u);
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) {
        return (u & 1u) == 0 ? static_cast<char16_t>(u - 1) : c;
    }
    if (u >= 0x3B1 && u <= 0x3C9 && u != 0x3C2) return static_cast<char16_t>(u - 0x20);
    if (u >= 0x430 && u <= 0x44F) return static_cast<char16_t>(u - 0x20);
    if (u >= 0x450 && u <= 0x45F) return static_cast<char16_t>(u - 0x50);
    return c;
}

char16_t FoldLower(char16_t c) noexcept {
    std::uint32_t u = c;
    if (u < 0x80) return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + 0x20) : c;
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char16_t>(u + 0x20);
    if (u == 0x178) return u'\u00FF';
    if ((u >= 0x100 && u <= 0x137) || (u >= 0x14A && u <= 0x177)) return static_cast<char16_t>(u | 1u);
    if ((u >= 0x139 && u <= 0x148) || (u >= 0x179 && u <= 0x17E)) {
        return (u & 1u) != 0 ? static_cast<char16_t>(u + 1) : c;
    }
    if (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) return static_cast<char16_t>(u + 0x20);
    if (u >= 0x410 && u <= 0x42F) return static_cast<char16_t>(u + 0x20);
    if (u >= 0x400 && u <= 0x40F) return static_cast<char16_t>(u + 0x50);
    return c;
}

bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) noexcept {
    // Greedy match with one backtrack point (the last '*'), linear in practice.
    std::size_t p = 0, n = 0;
    std::size_t starP = std::u16string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || FoldCase(pattern[p]) == FoldCase(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::u16string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace actlog::text
