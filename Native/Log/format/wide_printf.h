// Wide printf-style formatting with the conventions of the Windows wide
// functions, the same on every target: %s and %ls a wide string, %S and %hs
// an 8-bit string, %c a wide and %C / %hc an 8-bit character, %ld 32 bits,
// %I64d / %lld 64 bits, %p sixteen upper-case hex digits.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace actlog::format {

// Formats into `out` (capacity characters, cut at capacity - 1, always
// terminated). `args` is copied first, not consumed. Gives the characters
// written, or -1 when the format holds a conversion that is not supported
// (%n, %Z or an unknown one) or a string argument cannot be read; the output
// then holds what was formatted before it.
int FormatWidePrintf(char16_t* out, std::size_t capacity, const char16_t* format, va_list args) noexcept;

}  // namespace actlog::format
