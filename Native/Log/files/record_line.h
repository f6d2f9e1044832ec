// The record line of the activity log: "%4u/%02u/%02u  %02u:%02u:%02u - % 9s: "
// [+ "Job%08X - "] + message + CR LF, at most 4095 characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "Log.h"
#include "text/bounded_text.h"

namespace actlog {

using LineText = BoundedText<kLineChars>;

// Builds the line for a record; the message is cut so that CR LF always fits.
void BuildRecordLine(LineText& line, const LogSystemTime& time, std::uint32_t severity,
                     std::uint32_t jobNumber, const char16_t* message) noexcept;

// Writes "%4u/%02u/%02u" + between + "%02u:%02u:%02u" to `out` (room for
// kQuickStampChars) when the year has at most 4 digits, every other field at
// most 2 and `between` at most 2 characters; gives the characters written, or
// 0 when the stamp needs the general formatting.
inline constexpr std::size_t kQuickStampChars = 21;
std::size_t WriteQuickStamp(char16_t* out, const LogSystemTime& t, std::u16string_view between) noexcept;

// Appends "%4u/%02u/%02u" + between + "%02u:%02u:%02u" for a time stamp.
template <std::size_t N>
void AppendStamp(BoundedText<N>& out, const LogSystemTime& t, std::u16string_view between) noexcept {
    char16_t quick[kQuickStampChars];
    if (std::size_t n = WriteQuickStamp(quick, t, between); n != 0) {
        out.Append(std::u16string_view(quick, n));
        return;
    }
    out.AppendUnsigned(t.wYear, 4, u' ');
    out.Append(u'/');
    out.AppendUnsigned(t.wMonth, 2, u'0');
    out.Append(u'/');
    out.AppendUnsigned(t.wDay, 2, u'0');
    out.Append(between);
    out.AppendUnsigned(t.wHour, 2, u'0');
    out.Append(u':');
    out.AppendUnsigned(t.wMinute, 2, u'0');
    out.Append(u':');
    out.AppendUnsigned(t.wSecond, 2, u'0');
}

}  // namespace actlog
