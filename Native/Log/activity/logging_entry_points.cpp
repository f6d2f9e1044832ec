// The seven logging exports: message id -> template -> formatted text -> record.
#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "Log.h"
#include "activity/record_append.h"
#include "files/log_files.h"
#include "files/record_line.h"
#include "format/message_format.h"
#include "format/probed_text.h"
#include "frame/module.h"
#include "platform/status.h"
#include "text/export_text.h"

namespace actlog {
namespace {

constexpr std::uint32_t kAutoupdatePrefixId = 543;
constexpr std::size_t kPrefixChars = 256;

using TemplateText = BoundedText<kTemplateChars>;

// The result of an export whose message text is not in the message library.
std::int32_t NoMessage() noexcept { return ExportResult(Status::Fail(Code::NoMessage, Op::LoadMessage)); }

// An owner argument, whether OwnerNameAllowed accepted it already, and
// whether it is still to be checked and passed on as null when empty.
struct OwnerArg {
    const char16_t* name;
    bool checked;
    bool nullWhenEmpty = false;
};

// An owner that LogFormatted checks, and passes on as null when empty.
OwnerArg NullWhenEmpty(const LOG_WCHAR* owner) noexcept { return {FromExport(owner), false, true}; }

// Null when the name is empty, else the name as passed. The name is probed
// and checked once, here, after formatting, whose first probe of a string
// insert took the name's first probe along (`probe`); an unreadable or
// refused name is passed on unchecked, and the append refuses it.
OwnerArg CheckedNullWhenEmpty(const char16_t* name, const format::SharedProbe& probe) noexcept {
    if (!OwnerNameAllowed(name, &probe)) return {name, false};
    return {OwnerPresent(name) ? name : nullptr, true};
}

bool LoadMessageString(std::uint32_t id, char16_t* buffer, int size) noexcept {
    return platform::Current().LoadStringWide(Module().messageLibrary, id, buffer, size) > 0;
}

// "message id is 0x%08x in <function>"
void SetFallbackText(LineText& message, std::uint32_t messageId, const char16_t* function) noexcept {
    message.Assign(u"message id is 0x");
    message.AppendUnsigned(messageId, 8, u'0', 16, false);
    message.Append(u" in ");
    message.AppendZ(function);
}

enum class Formatted { Missing, Text, NoText };

// Loads the template of `messageId` and formats it with `args` into `message`;
// a fault leaves the fallback text naming `function` there instead.
Formatted FormatMessageId(std::uint32_t messageId, va_list args, const char16_t* function, LineText& message,
                          format::SharedProbe* shared = nullptr) noexcept {
    message.Clear();
    TemplateText pattern;
    if (!LoadMessageString(messageId, pattern.data(), static_cast<int>(TemplateText::kCapacity))) {
        return Formatted::Missing;
    }
    pattern.Recount();
    std::size_t length = 0;
    format::FormatOutcome outcome =
        format::FormatMessageWide(pattern.c_str(), args, message.data(), LineText::kCapacity, &length, shared);
    switch (outcome) {
        case format::FormatOutcome::Text:
            message.Recount();
            return Formatted::Text;
        case format::FormatOutcome::NoText:
            message.Clear();
            return Formatted::NoText;
        case format::FormatOutcome::Fault:
            break;
    }
    SetFallbackText(message, messageId, function);
    return Formatted::Text;
}

enum class OnNoText { LogEmpty, Skip };

int LogFormatted(std::uint32_t severity, std::uint32_t jobNumber, OwnerArg owner, std::uint32_t messageId,
                 va_list args, const char16_t* function, OnNoText onNoText) noexcept {
    LineText message;
    format::SharedProbe ownerProbe = owner.nullWhenEmpty ? OwnerProbe(owner.name) : format::SharedProbe{};
    switch (FormatMessageId(messageId, args, function, message, &ownerProbe)) {
        case Formatted::Missing: return NoMessage();
        case Formatted::NoText:
            if (onNoText == OnNoText::Skip) return 0;
            break;
        case Formatted::Text: break;
    }
    if (owner.nullWhenEmpty) owner = CheckedNullWhenEmpty(owner.name, ownerProbe);
    return owner.checked ? AppendActivityRecordForCheckedOwner(severity, jobNumber, message.c_str(), owner.name)
                         : AppendActivityRecord(severity, jobNumber, message.c_str(), owner.name);
}

// Loads the auto-update prefix and starts the record text with it and a blank.
bool StartAutoupdateText(LineText& record) noexcept {
    BoundedText<kPrefixChars> prefix;
    if (!LoadMessageString(kAutoupdatePrefixId, prefix.data(), static_cast<int>(kPrefixChars))) return false;
    prefix.Recount();
    record.Assign(prefix.view());
    record.Append(u' ');
    return true;
}

// Appends the caller's text to `record` as far as it can be read. Each stretch
// up to the next 4 KiB boundary is probed before it is read, so that an
// unreadable pointer ends the copy instead of faulting; characters are read one
// by one so that nothing past the terminator is touched.
void AppendCallerText(LineText& record, const char16_t* text) noexcept {
    constexpr std::uintptr_t kPage = 4096;
    const unsigned char* at = reinterpret_cast<const unsigned char*>(text);
    platform::Platform& os = platform::Current();
    while (at != nullptr && record.size() < LineText::kCapacity - 1) {
        std::uintptr_t address = reinterpret_cast<std::uintptr_t>(at);
        std::size_t stretch = static_cast<std::size_t>(kPage - address % kPage);
        if (stretch < 2) stretch = 2;  // a character straddling the boundary
        stretch &= ~static_cast<std::size_t>(1);
        if (!os.CanRead(at, stretch)) return;
        for (const unsigned char* end = at + stretch; at < end; at += 2) {
            char16_t c = 0;
            std::memcpy(&c, at, 2);  // the caller's pointer need not be aligned
            if (c == 0 || !record.Append(c)) return;
        }
    }
}

}  // namespace
}  // namespace actlog

using actlog::OnNoText;

extern "C" {

LOG_API int32_t LogActivity(uint32_t severity, uint32_t messageId, ...) noexcept {
    va_list args;
    va_start(args, messageId);
    int32_t result = actlog::LogFormatted(severity, 0, {nullptr, false}, messageId, args, u"LogActivity", OnNoText::LogEmpty);
    va_end(args);
    return result;
}

LOG_API int32_t JobLogActivity(uint32_t severity, uint32_t jobNumber, uint32_t messageId, ...) noexcept {
    va_list args;
    va_start(args, messageId);
    int32_t result =
        actlog::LogFormatted(severity, jobNumber, {nullptr, false}, messageId, args, u"JobLogActivity", OnNoText::Skip);
    va_end(args);
    return result;
}

LOG_API int32_t VMLogActivity(const LOG_WCHAR* owner, uint32_t severity, uint32_t messageId, ...) noexcept {
    va_list args;
    va_start(args, messageId);
    int32_t result = actlog::LogFormatted(severity, 0, {actlog::FromExport(owner), false}, messageId, args, u"VMLogActivity",
                                          OnNoText::LogEmpty);
    va_end(args);
    return result;
}

LOG_API int32_t VMJobLogActivity(const LOG_WCHAR* owner, uint32_t severity, uint32_t jobNumber, uint32_t messageId,
                                 ...) noexcept {
    va_list args;
    va_start(args, messageId);
    int32_t result = actlog::LogFormatted(severity, jobNumber, actlog::NullWhenEmpty(owner), messageId, args,
                                          u"VMJobLogActivity", OnNoText::LogEmpty);
    va_end(args);
    return result;
}

// Takes the caller's argument list; its fallback text names VMJobLogActivity.
LOG_API int32_t JobLogActivityEx(const LOG_WCHAR* owner, uint32_t severity, uint32_t jobNumber, uint32_t messageId,
                                 va_list args) noexcept {
    return actlog::LogFormatted(severity, jobNumber, actlog::NullWhenEmpty(owner), messageId, args,
                                u"VMJobLogActivity", OnNoText::LogEmpty);
}

// "<prefix> <message>"; a fallback text keeps the prefix in front of it, so the
// record still reads as an auto-update record.
LOG_API int32_t AutoupdateLogActivity(uint32_t severity, uint32_t messageId, va_list args) noexcept {
    actlog::LineText record;
    if (!actlog::StartAutoupdateText(record)) return actlog::NoMessage();
    actlog::LineText message;
    if (actlog::FormatMessageId(messageId, args, u"LogActivity", message) == actlog::Formatted::Missing) {
        return actlog::NoMessage();
    }
    record.Append(message.view());
    return actlog::AppendActivityRecord(severity, 0, record.c_str(), nullptr);
}

// "<prefix> <text>" with the text taken as it is, never formatted.
LOG_API int32_t AutoupdateLogActivityMSG(uint32_t severity, const LOG_WCHAR* text) noexcept {
    actlog::LineText record;
    if (!actlog::StartAutoupdateText(record)) return actlog::NoMessage();
    actlog::AppendCallerText(record, actlog::FromExport(text));
    return actlog::AppendActivityRecord(severity, 0, record.c_str(), nullptr);
}

}  // extern "C"
