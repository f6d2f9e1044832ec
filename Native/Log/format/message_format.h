// Message formatting with the platform's insert syntax (%1..%99, %n!fmt!, %0,
// %%, %n, %r, %t, %b, %., %!, %space), for wide and 8-bit templates, with the
// inserts taken from a va_list by number. Every string insert is checked with
// the memory probe before it is read, so a bad insert is reported, never a crash.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "format/probed_text.h"

namespace actlog::format {

enum class FormatOutcome {
    Text,    // output produced (possibly cut to the buffer)
    NoText,  // formatting gave nothing (empty output or a template error)
    Fault,   // an insert could not be read or has an unsupported type
};

// Formats `pattern` with the inserts in `args` (not consumed: copied first) into
// `out` (capacity characters, always terminated, cut at capacity - 1).
// *length receives the characters written (0 unless Text). The first probe
// of a string insert takes `shared` along (null: nothing shared).
FormatOutcome FormatMessageWide(const char16_t* pattern, va_list args, char16_t* out, std::size_t capacity,
                                std::size_t* length, SharedProbe* shared = nullptr) noexcept;
FormatOutcome FormatMessageNarrow(const char* pattern, va_list args, char* out, std::size_t capacity,
                                  std::size_t* length) noexcept;

}  // namespace actlog::format
