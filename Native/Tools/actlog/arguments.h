// Command-line options of one subcommand: "--name value", "--name=value",
// flags, positional arguments, and "--" to end the options.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "Log.h"

namespace actlogtool {

// Bad arguments: the message names the argument; the caller prints the usage
// and exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionRule {
    std::string_view name;  // with the leading "--"
    bool takesValue;
};

class Arguments {
public:
    // Throws UsageError for an unknown option or a missing value. "--help" and
    // "-h" are always accepted.
    Arguments(const std::vector<std::string>& args, std::initializer_list<OptionRule> options,
              bool allowPositional = false);

    bool Help() const { return help_; }
    bool Has(std::string_view name) const;
    std::optional<std::string> Value(std::string_view name) const;
    std::uint32_t Number(std::string_view name, std::uint32_t fallback) const;
    const std::vector<std::string>& Positional() const { return positional_; }

private:
    std::map<std::string, std::string, std::less<>> values_;
    std::vector<std::string> positional_;
    bool help_ = false;
};

// Unsigned 32-bit number, decimal or 0x-hexadecimal; `what` names the argument
// in the error.
std::uint32_t ParseNumber(std::string_view text, std::string_view what);
// Signed or unsigned 64-bit number for an insert; negative values wrap.
std::uint64_t ParseInteger(std::string_view text, std::string_view what, bool allow64);
// "YYYY-MM-DD hh:mm:ss" (or with "T" or "/"); the seconds may be left out.
LogSystemTime ParseDate(std::string_view text, std::string_view what);

}  // namespace actlogtool
