// Strict UTF-16 <-> UTF-8 conversion into caller buffers (no heap), and the
// letter-case folding used for file-name matching. A lone surrogate or a bad
// UTF-8 sequence makes a strict conversion fail: such text cannot name a file.
#pragma once

#include <cstddef>
#include <string_view>

namespace actlog::text {

// Converts `text` to UTF-8 into `out` and terminates it. Gives false (and an
// empty `out` when it has room) on a lone surrogate or when the result and its
// terminator do not fit in `capacity` bytes. *written receives the byte count.
bool Utf8FromUtf16(std::u16string_view text, char* out, std::size_t capacity, std::size_t* written) noexcept;

// Converts UTF-8 `text` to UTF-16 into `out` and terminates it. Gives false on
// an invalid sequence (overlong, surrogate, above U+10FFFF, cut off) or when
// the result and its terminator do not fit in `capacity` units.
bool Utf16FromUtf8(std::string_view text, char16_t* out, std::size_t capacity, std::size_t* written) noexcept;

// Converts UTF-16 to UTF-8 for display texts: a lone surrogate becomes '?',
// and the result is cut to whole characters within capacity - 1 bytes and
// terminated. Gives the bytes written (0 when capacity is 0).
std::size_t Utf8FromUtf16Cut(std::u16string_view text, char* out, std::size_t capacity) noexcept;

// Upper-case form of a UTF-16 unit for case-insensitive name comparison
// (ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic letters).
char16_t FoldCase(char16_t c) noexcept;

// Lower-case form of a UTF-16 unit over the same letters: two units that
// FoldCase makes equal give the same unit here too.
char16_t FoldLower(char16_t c) noexcept;

// Whether `name` matches `pattern` without regard to case; '*' stands for any
// run of units (the empty one included), '?' for exactly one.
bool WildcardMatch(std::u16string_view pattern, std::u16string_view name) noexcept;

}  // namespace actlog::text
