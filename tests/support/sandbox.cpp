#include "support/sandbox.h"

#include <atomic>
#include <fstream>
#include <random>
#include <system_error>

#include "files/log_files.h"
#include "frame/module.h"
#include "text/text_convert.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

namespace {
#ifdef _WIN32
constexpr const char* kSharedLibrary = "Log.dll";
constexpr const char* kProgramSuffix = ".exe";
unsigned long ProcessId() { return GetCurrentProcessId(); }
#else
constexpr const char* kSharedLibrary = "libLog.so";
constexpr const char* kProgramSuffix = "";
unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }
#endif
}  // namespace

fs::path ArtifactDir() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, n)).parent_path();
#else
    return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

const char* SharedLibraryName() { return kSharedLibrary; }

std::string ProgramName(std::string_view base) { return std::string(base) + kProgramSuffix; }

std::u16string U16(const fs::path& path) {
#ifdef _WIN32
    const std::wstring& native = path.native();
    return std::u16string(native.begin(), native.end());
#else
    return path.u16string();
#endif
}

std::u16string U16(std::string_view utf8) {
    std::u16string out(utf8.size() + 1, u'\0');
    std::size_t written = 0;
    EXPECT_TRUE(actlog::text::Utf16FromUtf8(utf8, out.data(), out.size(), &written)) << "not UTF-8: " << utf8;
    out.resize(written);
    return out;
}

std::string Utf8(std::u16string_view text) {
    // Lone surrogates come out as '?'; a UTF-16 unit takes at most 3 bytes.
    std::string out(text.size() * 3 + 1, '\0');
    out.resize(actlog::text::Utf8FromUtf16Cut(text, out.data(), out.size()));
    return out;
}

std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

std::u16string ReadUtf16(const fs::path& path) {
    std::vector<std::uint8_t> bytes = ReadBytes(path);
    std::u16string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return text;
}

std::vector<std::uint32_t> ReadIndex(const fs::path& path) {
    std::vector<std::uint8_t> bytes = ReadBytes(path);
    std::vector<std::uint32_t> entries;
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) entries.push_back(actlog::LoadLe32(&bytes[i]));
    return entries;
}

bool Exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

std::vector<std::string> ListDir(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(dir, ec)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

fs::path UniqueTempPath(std::string_view stem, std::string_view suffix) {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    return fs::temp_directory_path() / ("actlog-" + std::string(stem) + "-" + std::to_string(ProcessId()) + "-" +
                                        std::to_string(counter++) + "-" + std::to_string(random() % 100000) +
                                        std::string(suffix));
}

Sandbox::Sandbox(std::vector<std::string> languages)
    : root(UniqueTempPath("test")), bin(root / "bin"), logs(root / "Logs"), dataSync(root / "DataSync") {
    fs::create_directories(bin);
    fs::create_directories(dataSync);
    for (const std::string& language : languages) {
        std::string name = "bvmsg." + language + ".dll";
        fs::copy_file(ArtifactDir() / name, bin / name, fs::copy_options::overwrite_existing);
    }
}

Sandbox::~Sandbox() {
    std::error_code ec;
    fs::remove_all(root, ec);
}

fs::path Sandbox::ModulePath() const { return bin / SharedLibraryName(); }

void Sandbox::InstallSharedLibrary() const {
    fs::copy_file(ArtifactDir() / SharedLibraryName(), ModulePath(), fs::copy_options::overwrite_existing);
#ifndef _WIN32
    // Programs linked against the library load it by its SONAME.
    fs::copy_file(ArtifactDir() / "libLog.so.1", bin / "libLog.so.1", fs::copy_options::overwrite_existing);
#endif
}

void Sandbox::CreateFullSyncMark() const {
    fs::create_directories(dataSync);
    std::ofstream(dataSync / "activeLogFullSyncFinished.mark").put('\n');
}

void SandboxTest::SetUp() { ASSERT_EQ(Reinitialize(), 1) << "no message library in " << sandbox.bin; }

void SandboxTest::TearDown() { actlog::ResetLogModule(); }

int SandboxTest::Reinitialize() {
    actlog::ResetLogModule();
    return actlog::InitializeLogModuleAt(U16(sandbox.ModulePath()).c_str());
}

fs::path SandboxTest::Log(std::string_view owner) const {
    return sandbox.logs / (owner.empty() ? std::string("activity.log") : std::string(owner) + ".activity.log");
}

fs::path SandboxTest::Index(std::string_view owner) const {
    return sandbox.logs / (owner.empty() ? std::string("activity.idx") : std::string(owner) + ".activity.idx");
}

std::vector<std::string> SandboxTest::LogFiles() const {
    std::vector<std::string> names = ListDir(sandbox.logs);
    std::erase(names, ".locks");
    return names;
}

void SandboxTest::ClearLogs() const {
    for (const std::string& name : LogFiles()) fs::remove_all(sandbox.logs / name);
}

}  // namespace testsupport
