// The management utility's plain-text trace file: a per-process switch,
// TarnMgrUtlLog (message id + inserts, always echoed to standard output) and
// TarnMgrUtlTrace (printf-style, only while the switch is on).
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "Log.h"
#include "files/file_io.h"
#include "format/message_format.h"
#include "format/probed_text.h"
#include "format/wide_printf.h"
#include "frame/module.h"
#include "platform/platform.h"
#include "text/bounded_text.h"
#include "text/export_text.h"

namespace actlog {
namespace {

constexpr std::size_t kTextBytes = 4096;

// The switch: exactly 1 means on. Each process has its own.
std::atomic<unsigned char> g_traceSwitch{0};

bool TraceOn() noexcept { return g_traceSwitch.load(std::memory_order_relaxed) == 1; }

// How many of the first n bytes of `text` form whole characters of the 8-bit code page.
std::size_t WholeCharacters(const char* text, std::size_t n) noexcept {
    if (!platform::kNarrowIsUtf8) return n;
    std::size_t end = n;
    while (end > 0 && (static_cast<unsigned char>(text[end - 1]) & 0xC0) == 0x80) --end;
    if (end == 0) return 0;
    unsigned char lead = static_cast<unsigned char>(text[end - 1]);
    std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n - (end - 1) >= need ? n : end - 1;
}

// Appends "YYYY:MM:DD:hh:mm:ss:mmm text" and the line end to the utility log,
// opening and closing it for this one entry. A text too long for the 4096-byte
// line is cut; the line always keeps its line end.
void AppendUtilityLine(const char* text) noexcept {
    const auto& path = Module().utilityLogPath;
    if (path.empty()) return;
    platform::Platform& os = platform::Current();
    LogSystemTime t = os.LocalTime();
    BoundedText8<kTextBytes> line;
    line.AppendUnsigned(t.wYear, 4, ' ');
    const std::uint16_t parts[] = {t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
    for (std::uint16_t part : parts) {
        line.Append(':');
        line.AppendUnsigned(part, 2, '0');
    }
    line.Append(':');
    line.AppendUnsigned(t.wMilliseconds, 3, '0');
    line.Append(' ');
    std::size_t room = kTextBytes - 1 - line.size();
    std::size_t n = TextLength(text);
    if (n > room) n = WholeCharacters(text, room);
    line.Append(std::string_view(text, n));

    ScopedFile file = ScopedFile::Open(path.c_str(), platform::Access::Append, platform::Disposition::OpenAlways);
    if (!file.valid()) return;
    // The log is a text-mode file: every line feed, those inside the text
    // included, is written as the platform's line end.
    BoundedText8<2 * kTextBytes + 2> entry;
    for (char c : line.view()) {
        if (c == '\n') {
            entry.Append(platform::kTextLineEnd);
        } else {
            entry.Append(c);
        }
    }
    entry.Append(platform::kTextLineEnd);
    // The trace reports nothing to its caller: a line that cannot be written is lost.
    WriteAll(file.get(), entry.c_str(), static_cast<std::uint32_t>(entry.size())).Ignore();
}

void IdText(BoundedText8<kTextBytes>& text, const char* before, std::uint32_t id, const char* after) noexcept {
    text.Assign(before);
    text.AppendUnsigned(id, 8, '0', 16, false);
    text.Append(after);
}

}  // namespace
}  // namespace actlog

extern "C" LOG_API void SetTarnMgrUtlDebug(unsigned char flag) noexcept {
    actlog::g_traceSwitch.store(flag, std::memory_order_relaxed);
}

extern "C" LOG_API void TarnMgrUtlLog(uint32_t messageId, ...) noexcept {
    using namespace actlog;
    char pattern[kTemplateChars] = {};
    BoundedText8<kTextBytes> text;
    platform::Platform& os = platform::Current();
    if (os.LoadStringNarrow(Module().messageLibrary, messageId, pattern, static_cast<int>(kTemplateChars)) == 0) {
        IdText(text, "Failed to load message for message id is 0x", messageId, "");
    } else {
        va_list args;
        va_start(args, messageId);
        std::size_t length = 0;
        format::FormatOutcome outcome =
            format::FormatMessageNarrow(pattern, args, text.data(), kTextBytes, &length);
        va_end(args);
        if (outcome == format::FormatOutcome::Fault) {
            IdText(text, "message id is 0x", messageId, " in LogActivity");
        } else if (outcome == format::FormatOutcome::Text) {
            text.Recount();
        } else {
            text.Clear();
        }
    }
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    if (TraceOn()) AppendUtilityLine(text.c_str());
}

extern "C" LOG_API void TarnMgrUtlTrace(const LOG_WCHAR* format, ...) noexcept {
    using namespace actlog;
    if (!TraceOn() || format == nullptr) return;
    // A format in unreadable or unterminated memory writes nothing.
    constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1) / 4;
    const auto* text = FromExport(format);
    if (format::ProbedTextLength(text, kNoLimit) == format::kUnreadableText) return;
    char16_t wide[kLineChars] = {};
    va_list args;
    va_start(args, format);
    format::FormatWidePrintf(wide, kLineChars, text, args);
    va_end(args);
    wide[kLineChars - 1] = 0;
    char narrow[kTextBytes] = {};
    platform::Current().NarrowFromWide(wide, narrow, kTextBytes);
    AppendUtilityLine(narrow);
}
