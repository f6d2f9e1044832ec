#include "actlog_fixture.h"

#include <algorithm>

namespace actlogtest {

namespace {

std::string WithoutCarriageReturns(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

}  // namespace

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        if (!lines.back().empty() && lines.back().back() == '\r') lines.back().pop_back();
        start = end + 1;
    }
    return lines;
}

ActlogTest::ActlogTest() {
    sandbox.InstallSharedLibrary();
    fs::copy_file(ArtifactDir() / ProgramName("actlog"), Actlog(), fs::copy_options::overwrite_existing);
}

RunResult ActlogTest::Run(const std::vector<std::string>& args) const {
    RunResult result;
    result.status = RunProgram(Actlog(), args, &result.out, &result.err);
    result.out = WithoutCarriageReturns(result.out);
    result.err = WithoutCarriageReturns(result.err);
    return result;
}

}  // namespace actlogtest
