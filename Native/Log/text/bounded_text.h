// Fixed-capacity, always-terminated text buffers. Every copy and append cuts
// at capacity - 1 instead of failing and reports whether it had to cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(ACTLOG_ADDRESS_SANITIZER)
#define ACTLOG_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(ACTLOG_ADDRESS_SANITIZER)
#define ACTLOG_ADDRESS_SANITIZER 1
#endif

namespace actlog {

template <typename CharT>
inline std::size_t TextLength(const CharT* s) noexcept {
    std::size_t n = 0;
    if (s != nullptr) {
        while (s[n] != 0) ++n;
    }
    return n;
}

#if defined(__SSE2__) && !defined(ACTLOG_ADDRESS_SANITIZER)
#define ACTLOG_ALIGNED_SCAN 1
// UTF-16 text is scanned in the aligned 16-byte blocks that hold it: such a
// block never reaches into another page, though it may read before the text
// and past its end (which the address sanitizer would report).
namespace detail {
// Bit k is set when byte k of the aligned block at `at` is part of a zero unit.
inline unsigned ZeroUnitBytes(std::uintptr_t at) noexcept {
    const __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(at));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(block, _mm_setzero_si128())));
}
// The units before the first zero one of the unit-aligned text at `address`,
// looked for block by block up to the first block that starts at or past
// `end` (then the answer is at least the units before `end`).
inline std::size_t AlignedUnitsBeforeZero(std::uintptr_t address, std::uintptr_t end) noexcept {
    std::uintptr_t block = address & ~std::uintptr_t{15};
    std::size_t offset = 0;  // of `block` from the text, once past the first
    unsigned hits = ZeroUnitBytes(block) >> (address - block);
    while (hits == 0) {
        block += 16;
        if (block >= end) return (block - address) / 2;
        offset = block - address;
        hits = ZeroUnitBytes(block);
    }
    return (offset + static_cast<std::size_t>(__builtin_ctz(hits))) / 2;
}
}  // namespace detail
#endif

// UTF-16 text: eight units at a time when it is aligned to its unit.
inline std::size_t TextLength(const char16_t* s) noexcept {
    if (s == nullptr) return 0;
#if defined(ACTLOG_ALIGNED_SCAN)
    const auto address = reinterpret_cast<std::uintptr_t>(s);
    if ((address & 1u) == 0) return detail::AlignedUnitsBeforeZero(address, UINTPTR_MAX);
#endif
    std::size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

template <typename CharT, std::size_t N>
class BasicBoundedText {
    static_assert(N >= 1, "a bounded text needs room for its terminator");

public:
    using View = std::basic_string_view<CharT>;
    static constexpr std::size_t kCapacity = N;

    BasicBoundedText() noexcept { buf_[0] = 0; }
    explicit BasicBoundedText(View text) noexcept { Assign(text); }
    // A copy takes the text and its terminator, not the unused rest.
    BasicBoundedText(const BasicBoundedText& other) noexcept : len_(other.len_) {
        std::char_traits<CharT>::copy(buf_, other.buf_, len_ + 1);
    }
    BasicBoundedText& operator=(const BasicBoundedText& other) noexcept {
        if (this != &other) {
            len_ = other.len_;
            std::char_traits<CharT>::copy(buf_, other.buf_, len_ + 1);
        }
        return *this;
    }

    const CharT* c_str() const noexcept { return buf_; }
    CharT* data() noexcept { return buf_; }
    const CharT* data() const noexcept { return buf_; }
    std::size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    View view() const noexcept { return View(buf_, len_); }
    CharT operator[](std::size_t i) const noexcept { return buf_[i]; }

    void Clear() noexcept {
        len_ = 0;
        buf_[0] = 0;
    }

    // Copies; returns false when the text was cut.
    bool Assign(View text) noexcept {
        Clear();
        return Append(text);
    }

    // Appends as much as fits; returns false when the text was cut.
    bool Append(View text) noexcept {
        std::size_t room = N - 1 - len_;
        std::size_t n = text.size() < room ? text.size() : room;
        if (n != 0) std::char_traits<CharT>::move(buf_ + len_, text.data(), n);
        len_ += n;
        buf_[len_] = 0;
        return n == text.size();
    }

    bool Append(CharT c) noexcept { return Append(View(&c, 1)); }

    // Appends a null-terminated text (null counts as empty).
    bool AppendZ(const CharT* text) noexcept { return Append(View(text, TextLength(text))); }

    // Appends an unsigned number in the given base, padded on the left with
    // `pad` to `width` characters (printf "%4u", "%02u", "%08X").
    bool AppendUnsigned(std::uint64_t value, unsigned width = 0, CharT pad = CharT(' '),
                        unsigned base = 10, bool upper = true) noexcept {
        CharT digits[32];
        unsigned n = 0;
        do {
            unsigned d = static_cast<unsigned>(value % base);
            digits[n++] = static_cast<CharT>(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
            value /= base;
        } while (value != 0 && n < 32);
        bool fitted = true;
        for (unsigned i = n; i < width; ++i) fitted = Append(pad) && fitted;
        while (n > 0) fitted = Append(digits[--n]) && fitted;
        return fitted;
    }

    // Appends a signed decimal number, right-aligned in `width` with blanks ("%10d", "%d").
    bool AppendSigned(std::int64_t value, unsigned width = 0) noexcept {
        std::uint64_t magnitude =
            value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
        CharT digits[32];
        unsigned n = 0;
        do {
            digits[n++] = static_cast<CharT>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        if (value < 0) digits[n++] = CharT('-');
        bool fitted = true;
        for (unsigned i = n; i < width; ++i) fitted = Append(CharT(' ')) && fitted;
        while (n > 0) fitted = Append(digits[--n]) && fitted;
        return fitted;
    }

    // Cuts the text to `length` characters (no-op when already shorter).
    void Truncate(std::size_t length) noexcept {
        if (length < len_) {
            len_ = length;
            buf_[len_] = 0;
        }
    }

    // Re-reads the length after the buffer was changed in place through data().
    void Recount() noexcept {
        buf_[N - 1] = 0;
        len_ = TextLength(buf_);
    }

private:
    CharT buf_[N];
    std::size_t len_ = 0;
};

template <std::size_t N>
using BoundedText = BasicBoundedText<char16_t, N>;
template <std::size_t N>
using BoundedText8 = BasicBoundedText<char, N>;

// Buffer sizes used throughout the library.
inline constexpr std::size_t kPathChars = 260;
inline constexpr std::size_t kTemplateChars = 2048;
inline constexpr std::size_t kLineChars = 4096;
inline constexpr std::size_t kUtilityPathChars = 1025;

using PathText = BoundedText<kPathChars>;

}  // namespace actlog
