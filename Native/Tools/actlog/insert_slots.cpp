#include "insert_slots.h"

#include "arguments.h"

namespace actlogtool {

namespace {

InsertKind KindOfFormat(const std::string& format, bool wideTemplate) {
    if (format.empty()) return InsertKind::kWideText;
    char conversion = format.back();
    bool has64 = format.find("I64") != std::string::npos || format.find("ll") != std::string::npos;
    switch (conversion) {
        case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c': case 'C':
            return has64 ? InsertKind::kNumber64 : InsertKind::kNumber32;
        case 's': {
            bool h = format.find('h') != std::string::npos;
            bool wideMark = format.find('l') != std::string::npos || format.find('w') != std::string::npos;
            if (wideTemplate) return h ? InsertKind::kNarrowText : InsertKind::kWideText;
            return wideMark ? InsertKind::kWideText : InsertKind::kNarrowText;
        }
        case 'S': {
            bool h = format.find('h') != std::string::npos;
            bool wideMark = format.find('l') != std::string::npos || format.find('w') != std::string::npos;
            if (wideTemplate) return wideMark ? InsertKind::kWideText : InsertKind::kNarrowText;
            return h ? InsertKind::kNarrowText : InsertKind::kWideText;
        }
        default:
            // Anything else (floating point, pointers) is passed as a 64-bit value;
            // the library decides what to make of it.
            return InsertKind::kNumber64;
    }
}

}  // namespace

std::array<InsertKind, 100> InsertKinds(WideView text, bool wideTemplate) {
    std::array<InsertKind, 100> kinds;
    kinds.fill(wideTemplate ? InsertKind::kWideText : InsertKind::kNarrowText);
    std::array<bool, 100> named{};
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) continue;
        LOG_WCHAR next = text[i + 1];
        if (next < '1' || next > '9') {
            ++i;  // "%%", "%n", ... : the escaped character is not an insert
            continue;
        }
        std::size_t number = static_cast<std::size_t>(next - '0');
        i += 1;
        if (i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9') {
            number = number * 10 + static_cast<std::size_t>(text[i + 1] - '0');
            ++i;
        }
        std::string format;
        if (i + 1 < text.size() && text[i + 1] == '!') {
            std::size_t end = i + 2;
            while (end < text.size() && text[end] != '!' && format.size() <= 30) {
                format.push_back(static_cast<char>(text[end] < 0x80 ? text[end] : '?'));
                ++end;
            }
            i = end;
        }
        if (!named[number]) {
            kinds[number] = format.empty() ? (wideTemplate ? InsertKind::kWideText : InsertKind::kNarrowText)
                                           : KindOfFormat(format, wideTemplate);
            named[number] = true;
        }
    }
    return kinds;
}

InsertSlots::InsertSlots(const std::array<InsertKind, 100>& kinds, const std::vector<std::string>& inserts) {
    if (inserts.size() > kMaxInserts) {
        throw UsageError("too many inserts (" + std::to_string(inserts.size()) + "; at most " +
                         std::to_string(kMaxInserts) + ")");
    }
    for (std::size_t i = 0; i < inserts.size(); ++i) {
        const std::string what = "insert %" + std::to_string(i + 1);
        switch (kinds[i + 1]) {
            case InsertKind::kWideText:
                wide_.push_back(Widen(inserts[i]));
                values_[i] = reinterpret_cast<std::uintptr_t>(wide_.back().c_str());
                break;
            case InsertKind::kNarrowText:
                narrow_.push_back(ToSystem8Bit(inserts[i]));
                values_[i] = reinterpret_cast<std::uintptr_t>(narrow_.back().c_str());
                break;
            case InsertKind::kNumber32:
                values_[i] = static_cast<std::uintptr_t>(ParseInteger(inserts[i], what, false));
                break;
            case InsertKind::kNumber64:
                values_[i] = static_cast<std::uintptr_t>(ParseInteger(inserts[i], what, true));
                break;
        }
    }
}

WideString LoadTemplate(std::uint32_t messageId) {
    LOG_WCHAR buffer[2048] = {};
    if (JobLoadString(messageId, buffer, 2048) != 0) return {};
    return WideString(buffer);
}

}  // namespace actlogtool
