#include "files/record_line.h"

#include "frame/module.h"

namespace actlog {

void BuildRecordLine(LineText& line, const LogSystemTime& time, std::uint32_t severity,
                     std::uint32_t jobNumber, const char16_t* message) noexcept {
    line.Clear();
    AppendStamp(line, time, u"  ");
    line.Append(u" - ");
    const PathText& label = SeverityLabel(severity);
    for (std::size_t i = label.size(); i < 9; ++i) line.Append(u' ');
    line.Append(label.view());
    line.Append(u": ");
    if (jobNumber != 0) {
        line.Append(u"Job");
        line.AppendUnsigned(jobNumber, 8, u'0', 16, true);
        line.Append(u" - ");
    }
    // Room for the message: the line holds at most 4095 characters, CR LF included.
    std::size_t room = kLineChars - 1 - 2 - line.size();
    std::u16string_view text(message, TextLength(message));
    if (text.size() > room) text = text.substr(0, room);
    line.Append(text);
    line.Append(u"\r\n");
}

}  // namespace actlog
