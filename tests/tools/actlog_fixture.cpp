#include "actlog_fixture.h"

#include <cstdio>

namespace actlogtest {

namespace {

std::string WithoutCarriageReturns(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r') out.push_back(c);
    }
    return out;
}

void SkipBlanks(std::string_view text, std::size_t& i) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
}

std::optional<std::string> ParseString(std::string_view text, std::size_t& i) {
    if (i >= text.size() || text[i] != '"') return std::nullopt;
    std::string out;
    for (++i; i < text.size(); ++i) {
        char c = text[i];
        if (c == '"') {
            ++i;
            return out;
        }
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
        if (c != '\\') {
            out.push_back(c);
            continue;
        }
        if (++i >= text.size()) return std::nullopt;
        switch (text[i]) {
            case '"': out.push_back('"'); break;
            case '\\': out.push_back('\\'); break;
            case '/': out.push_back('/'); break;
            case 'n': out.push_back('\n'); break;
            case 'r': out.push_back('\r'); break;
            case 't': out.push_back('\t'); break;
            case 'b': out.push_back('\b'); break;
            case 'f': out.push_back('\f'); break;
            case 'u': {
                if (i + 4 >= text.size()) return std::nullopt;
                unsigned value = 0;
                if (std::sscanf(std::string(text.substr(i + 1, 4)).c_str(), "%4x", &value) != 1) return std::nullopt;
                if (value >= 0x80) return std::nullopt;  // the tool writes only control characters this way
                out.push_back(static_cast<char>(value));
                i += 4;
                break;
            }
            default: return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::map<std::string, JsonValue>> ParseJsonObject(std::string_view line) {
    std::map<std::string, JsonValue> members;
    std::size_t i = 0;
    SkipBlanks(line, i);
    if (i >= line.size() || line[i++] != '{') return std::nullopt;
    SkipBlanks(line, i);
    if (i < line.size() && line[i] == '}') return members;
    for (;;) {
        SkipBlanks(line, i);
        std::optional<std::string> name = ParseString(line, i);
        if (!name) return std::nullopt;
        SkipBlanks(line, i);
        if (i >= line.size() || line[i++] != ':') return std::nullopt;
        SkipBlanks(line, i);
        JsonValue value{JsonValue::kNull, {}};
        if (i < line.size() && line[i] == '"') {
            std::optional<std::string> text = ParseString(line, i);
            if (!text) return std::nullopt;
            value = {JsonValue::kString, *text};
        } else {
            std::size_t end = line.find_first_of(",} ", i);
            if (end == std::string_view::npos) return std::nullopt;
            std::string token(line.substr(i, end - i));
            i = end;
            if (token == "null") {
                value = {JsonValue::kNull, token};
            } else if (token == "true" || token == "false") {
                value = {JsonValue::kBool, token};
            } else if (!token.empty() && token.find_first_not_of("-0123456789") == std::string::npos) {
                value = {JsonValue::kNumber, token};
            } else {
                return std::nullopt;
            }
        }
        if (!members.emplace(*name, value).second) return std::nullopt;
        SkipBlanks(line, i);
        if (i >= line.size()) return std::nullopt;
        if (line[i] == ',') {
            ++i;
            continue;
        }
        if (line[i++] != '}') return std::nullopt;
        SkipBlanks(line, i);
        return i == line.size() ? std::optional(members) : std::nullopt;
    }
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::u16string RecordLine(std::string_view stamp, std::string_view label, std::string_view text, std::uint32_t job) {
    std::string line = std::string(stamp) + " - ";
    if (label.size() < 9) line.append(9 - label.size(), ' ');
    line += std::string(label) + ": ";
    if (job != 0) {
        char field[32];
        std::snprintf(field, sizeof field, "Job%08X - ", job);
        line += field;
    }
    line += std::string(text) + "\r\n";
    return U16(std::string_view(line));
}

ActlogTest::ActlogTest() {
    sandbox.InstallSharedLibrary();
    fs::copy_file(ArtifactDir() / ProgramName("actlog"), Actlog(), fs::copy_options::overwrite_existing);
}

fs::path ActlogTest::Actlog() const { return sandbox.bin / ProgramName("actlog"); }

RunResult ActlogTest::Run(const std::vector<std::string>& args) const {
    RunResult result;
    result.status = RunProgram(Actlog(), args, &result.out, &result.err);
    result.out = WithoutCarriageReturns(result.out);
    result.err = WithoutCarriageReturns(result.err);
    return result;
}

fs::path ActlogTest::LogFile(std::string_view owner) const {
    return sandbox.logs / (owner.empty() ? std::string("activity.log") : std::string(owner) + ".activity.log");
}

fs::path ActlogTest::IndexFile(std::string_view owner) const {
    return sandbox.logs / (owner.empty() ? std::string("activity.idx") : std::string(owner) + ".activity.idx");
}

std::u16string ActlogTest::LogText(std::string_view owner) const {
    std::u16string text = ReadUtf16(LogFile(owner));
    if (!text.empty() && text.front() == u'\xFEFF') text.erase(0, 1);
    return text;
}

}  // namespace actlogtest
