// The record line of the activity log: "%4u/%02u/%02u  %02u:%02u:%02u - % 9s: "
// [+ "Job%08X - "] + message + CR LF, at most 4095 characters.
#pragma once

#include <cstdint>

#include "Log.h"
#include "text/bounded_text.h"

namespace actlog {

using LineText = BoundedText<kLineChars>;

// Builds the line for a record; the message is cut so that CR LF always fits.
void BuildRecordLine(LineText& line, const LogSystemTime& time, std::uint32_t severity,
                     std::uint32_t jobNumber, const char16_t* message) noexcept;

// Appends "%4u/%02u/%02u" + between + "%02u:%02u:%02u" for a time stamp.
template <std::size_t N>
void AppendStamp(BoundedText<N>& out, const LogSystemTime& t, std::u16string_view between) noexcept {
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
