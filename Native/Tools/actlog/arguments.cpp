#include "arguments.h"

#include <charconv>
#include <cstdio>

namespace actlogtool {

namespace {

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

}  // namespace

Arguments::Arguments(const std::vector<std::string>& args, std::initializer_list<OptionRule> options,
                     bool allowPositional) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            if (!allowPositional) throw UsageError("unexpected argument " + Quoted(arg));
            positional_.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            help_ = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> inlineValue;
        if (std::size_t equals = name.find('='); equals != std::string_view::npos) {
            inlineValue = std::string(name.substr(equals + 1));
            name = name.substr(0, equals);
        }
        const OptionRule* rule = nullptr;
        for (const OptionRule& option : options) {
            if (option.name == name) rule = &option;
        }
        if (rule == nullptr) throw UsageError("unknown option " + Quoted(name));
        std::string value;
        if (rule->takesValue) {
            if (inlineValue) {
                value = *inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                throw UsageError("option " + std::string(name) + " needs a value");
            }
        } else if (inlineValue) {
            throw UsageError("option " + std::string(name) + " takes no value");
        }
        if (values_.count(name) != 0) throw UsageError("option " + std::string(name) + " given twice");
        values_.emplace(std::string(name), value);
    }
}

bool Arguments::Has(std::string_view name) const { return values_.find(name) != values_.end(); }

std::optional<std::string> Arguments::Value(std::string_view name) const {
    auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
}

std::uint32_t Arguments::Number(std::string_view name, std::uint32_t fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : ParseNumber(it->second, name);
}

std::uint32_t ParseNumber(std::string_view text, std::string_view what) {
    std::uint64_t value = 0;
    int base = 10;
    std::string_view digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value > 0xFFFFFFFFu) {
        throw UsageError("invalid value " + Quoted(text) + " for " + std::string(what) +
                         " (expected a number from 0 to 4294967295)");
    }
    return static_cast<std::uint32_t>(value);
}

std::uint64_t ParseInteger(std::string_view text, std::string_view what, bool allow64) {
    bool negative = !text.empty() && text[0] == '-';
    std::string_view digits = negative ? text.substr(1) : text;
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    const std::uint64_t unsignedMax = allow64 ? ~std::uint64_t{0} : 0xFFFFFFFFu;
    const std::uint64_t negativeMax = allow64 ? (std::uint64_t{1} << 63) : 0x80000000u;
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        magnitude > (negative ? negativeMax : unsignedMax)) {
        throw UsageError("invalid value " + Quoted(text) + " for " + std::string(what) + " (expected a " +
                         (allow64 ? "64" : "32") + "-bit integer)");
    }
    std::uint64_t value = negative ? ~magnitude + 1 : magnitude;
    return allow64 ? value : (value & 0xFFFFFFFFu);
}

LogSystemTime ParseDate(std::string_view text, std::string_view what) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char s1 = 0, s2 = 0, sep = 0;
    int consumed = 0;
    std::string copy(text);
    int fields = std::sscanf(copy.c_str(), "%4u%c%2u%c%2u%c%2u:%2u%n", &year, &s1, &month, &s2, &day, &sep, &hour,
                             &minute, &consumed);
    bool ok = fields == 8 && (s1 == '-' || s1 == '/') && s2 == s1 && (sep == ' ' || sep == 'T');
    std::size_t used = static_cast<std::size_t>(consumed);
    if (ok && used < copy.size()) {
        int more = 0;
        ok = std::sscanf(copy.c_str() + used, ":%2u%n", &second, &more) == 1 &&
             used + static_cast<std::size_t>(more) == copy.size();
    }
    ok = ok && year >= 1 && year <= 9999 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour < 24 &&
         minute < 60 && second < 60;
    if (!ok) {
        throw UsageError("invalid date " + Quoted(text) + " for " + std::string(what) +
                         " (expected \"YYYY-MM-DD hh:mm:ss\", UTC)");
    }
    LogSystemTime date{};
    date.wYear = static_cast<std::uint16_t>(year);
    date.wMonth = static_cast<std::uint16_t>(month);
    date.wDay = static_cast<std::uint16_t>(day);
    date.wHour = static_cast<std::uint16_t>(hour);
    date.wMinute = static_cast<std::uint16_t>(minute);
    date.wSecond = static_cast<std::uint16_t>(second);
    return date;
}

}  // namespace actlogtool
