// Runs actlog as a process from a sandbox installation: bin/ holds actlog, the
// shared library and the English message library, so the tool's Logs and
// DataSync directories are the sandbox's.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/child_process.h"
#include "support/log_files_helpers.h"
#include "support/sandbox.h"

namespace actlogtest {

using namespace testsupport;

struct RunResult {
    int status = -1;
    std::string out;  // standard output, CR removed
    std::string err;  // standard error, CR removed
};

// One flat JSON object: member name -> value as written (strings unescaped,
// numbers and literals as their text). Nullopt when the line is not such an object.
struct JsonValue {
    enum Kind { kString, kNumber, kNull, kBool } kind;
    std::string text;
};
std::optional<std::map<std::string, JsonValue>> ParseJsonObject(std::string_view line);

std::vector<std::string> Lines(const std::string& text);

// A record line as the library writes it: stamp "YYYY/MM/DD  hh:mm:ss", label
// right-aligned in 9, optional job field, text, CR LF.
std::u16string RecordLine(std::string_view stamp, std::string_view label, std::string_view text,
                          std::uint32_t job = 0);

class ActlogTest : public ::testing::Test {
protected:
    ActlogTest();
    RunResult Run(const std::vector<std::string>& args) const;
    fs::path Actlog() const;
    fs::path LogFile(std::string_view owner = {}) const;
    fs::path IndexFile(std::string_view owner = {}) const;
    std::u16string LogText(std::string_view owner = {}) const;  // without byte-order mark

    Sandbox sandbox{{"enu"}};
};

}  // namespace actlogtest
