#include "files/record_line.h"

#include "frame/module.h"

namespace actlog {
namespace {

struct DigitPairs {
    char16_t units[200];
    constexpr DigitPairs() : units() {
        for (int i = 0; i < 100; ++i) {
            units[2 * i] = static_cast<char16_t>(u'0' + i / 10);
            units[2 * i + 1] = static_cast<char16_t>(u'0' + i % 10);
        }
    }
};
constexpr DigitPairs kPairs;

char16_t* PutPair(char16_t* out, unsigned value) noexcept {
    out[0] = kPairs.units[2 * value];
    out[1] = kPairs.units[2 * value + 1];
    return out + 2;
}

char16_t* Put(char16_t* out, std::u16string_view text) noexcept {
    for (char16_t c : text) *out++ = c;
    return out;
}

}  // namespace

std::size_t WriteQuickStamp(char16_t* out, const LogSystemTime& t, std::u16string_view between) noexcept {
    if (t.wYear > 9999 || t.wMonth > 99 || t.wDay > 99 || t.wHour > 99 || t.wMinute > 99 || t.wSecond > 99 ||
        between.size() > 2) {
        return 0;
    }
    char16_t* at = out;
    // "%4u": the year's leading zeros are blanks, its last digit never is.
    at = PutPair(at, t.wYear / 100u);
    PutPair(at, t.wYear % 100u);
    for (int i = 0; i < 3 && out[i] == u'0'; ++i) out[i] = u' ';
    at += 2;
    *at++ = u'/';
    at = PutPair(at, t.wMonth);
    *at++ = u'/';
    at = PutPair(at, t.wDay);
    at = Put(at, between);
    at = PutPair(at, t.wHour);
    *at++ = u':';
    at = PutPair(at, t.wMinute);
    *at++ = u':';
    at = PutPair(at, t.wSecond);
    return static_cast<std::size_t>(at - out);
}

void BuildRecordLine(LineText& line, const LogSystemTime& time, std::uint32_t severity,
                     std::uint32_t jobNumber, const char16_t* message) noexcept {
    line.Clear();
    AppendStamp(line, time, u"  ");
    // " - " + "% 9s" + ": " [+ "Job%08X - "]: far shorter than the line, so
    // it is put together unchecked and appended once.
    char16_t head[3 + kPathChars + 2 + 14];
    char16_t* at = Put(head, u" - ");
    const PathText& label = SeverityLabel(severity);
    for (std::size_t i = label.size(); i < 9; ++i) *at++ = u' ';
    at = Put(at, label.view());
    at = Put(at, u": ");
    if (jobNumber != 0) {
        at = Put(at, u"Job");
        for (int shift = 28; shift >= 0; shift -= 4) *at++ = u"0123456789ABCDEF"[(jobNumber >> shift) & 0xFu];
        at = Put(at, u" - ");
    }
    line.Append(std::u16string_view(head, static_cast<std::size_t>(at - head)));
    // Room for the message: the line holds at most 4095 characters, CR LF included.
    std::size_t room = kLineChars - 1 - 2 - line.size();
    std::u16string_view text(message, TextLength(message));
    if (text.size() > room) text = text.substr(0, room);
    line.Append(text);
    line.Append(u"\r\n");
}

}  // namespace actlog
