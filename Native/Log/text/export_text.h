// The one pair of conversions between the exports' text type (LOG_WCHAR:
// wchar_t on Windows, char16_t elsewhere; UTF-16 on both) and the library's
// char16_t. Only the pointer type changes.
#pragma once

#include "Log.h"

namespace actlog {

static_assert(sizeof(LOG_WCHAR) == sizeof(char16_t), "LOG_WCHAR holds UTF-16 code units");

inline const char16_t* FromExport(const LOG_WCHAR* text) noexcept { return reinterpret_cast<const char16_t*>(text); }
inline char16_t* FromExport(LOG_WCHAR* text) noexcept { return reinterpret_cast<char16_t*>(text); }
inline LOG_WCHAR* ToExport(char16_t* text) noexcept { return reinterpret_cast<LOG_WCHAR*>(text); }
// For the fixed texts handed out in entries ("ADD"): the exports declare them
// writable, callers only read them.
inline LOG_WCHAR* ToExport(const char16_t* text) noexcept { return ToExport(const_cast<char16_t*>(text)); }

}  // namespace actlog
