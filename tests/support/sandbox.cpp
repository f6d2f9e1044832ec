#include "support/sandbox.h"

#include <atomic>
#include <fstream>
#include <random>
#include <system_error>

#include "frame/module.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

fs::path ArtifactDir() {
#ifdef _WIN32
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return fs::path(std::wstring(buffer, n)).parent_path();
#else
    return fs::read_symlink("/proc/self/exe").parent_path();
#endif
}

const char* SharedLibraryName() {
#ifdef _WIN32
    return "Log.dll";
#else
    return "libLog.so";
#endif
}

std::string ProgramName(std::string_view base) {
#ifdef _WIN32
    return std::string(base) + ".exe";
#else
    return std::string(base);
#endif
}

std::u16string U16(const fs::path& path) {
#ifdef _WIN32
    const std::wstring& native = path.native();
    return std::u16string(native.begin(), native.end());
#else
    return path.u16string();
#endif
}

std::u16string U16(std::string_view utf8) {
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = c;
        std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0) cp = c & (0x3Fu >> extra);
        for (std::size_t k = 1; k <= extra && i + k < utf8.size(); ++k) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string Utf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
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
    for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        entries.push_back(static_cast<std::uint32_t>(bytes[i]) | static_cast<std::uint32_t>(bytes[i + 1]) << 8 |
                          static_cast<std::uint32_t>(bytes[i + 2]) << 16 |
                          static_cast<std::uint32_t>(bytes[i + 3]) << 24);
    }
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

namespace {

fs::path FreshRoot() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
#ifdef _WIN32
    unsigned long pid = GetCurrentProcessId();
#else
    unsigned long pid = static_cast<unsigned long>(getpid());
#endif
    return fs::temp_directory_path() / ("actlog-test-" + std::to_string(pid) + "-" + std::to_string(counter++) +
                                        "-" + std::to_string(random() % 100000));
}

}  // namespace

Sandbox::Sandbox(std::vector<std::string> languages)
    : root(FreshRoot()), bin(root / "bin"), logs(root / "Logs"), dataSync(root / "DataSync") {
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

}  // namespace testsupport
