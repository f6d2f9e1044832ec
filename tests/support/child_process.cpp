#include "support/child_process.h"

namespace testsupport {

ChildProcess StartLogChild(const Sandbox& sandbox, const std::string& command, const std::vector<std::string>& args,
                           const fs::path& outputFile) {
    std::vector<std::string> all{sandbox.ModulePath().string(), command};
    all.insert(all.end(), args.begin(), args.end());
    return ChildProcess::Start(ArtifactDir() / ProgramName("log_child"), all, outputFile);
}

namespace {

void TakeCapture(const fs::path& capture, std::string* text) {
    if (text == nullptr) return;
    std::vector<std::uint8_t> bytes = ReadBytes(capture);
    text->assign(bytes.begin(), bytes.end());
    std::error_code ec;
    fs::remove(capture, ec);
}

}  // namespace

int RunProgram(const fs::path& program, const std::vector<std::string>& args, std::string* output,
               std::string* errors) {
    const std::string suffix = "-" + program.filename().string() + ".txt";
    const fs::path outputCapture = output != nullptr ? UniqueTempPath("output", suffix) : fs::path();
    const fs::path errorCapture = errors != nullptr ? UniqueTempPath("errors", suffix) : fs::path();
    ChildProcess child = ChildProcess::Start(program, args, outputCapture, errorCapture);
    int code = child.Wait();
    TakeCapture(outputCapture, output);
    TakeCapture(errorCapture, errors);
    return code;
}

}  // namespace testsupport
