// Test sandbox: a fresh temporary installation tree per test,
//   <root>/bin/       message libraries (and, on request, the real shared library)
//   <root>/Logs/      created by module start-up
//   <root>/DataSync/
// with the library's module values initialised as if it were <root>/bin/Log.dll.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

namespace fs = std::filesystem;

// The directory holding the test programs and every build artefact
// (Log.dll / libLog.so, bvmsg.*.dll, log_child, actlog).
fs::path ArtifactDir();
// File name of the shipped shared library: "Log.dll" or "libLog.so".
const char* SharedLibraryName();
// Name of a program in the artefact directory, with ".exe" on Windows.
std::string ProgramName(std::string_view base);

std::u16string U16(const fs::path& path);
std::u16string U16(std::string_view utf8);
std::string Utf8(std::u16string_view text);

// A path in the temporary directory that no other process or call gets:
// <temp>/actlog-<stem>-<pid>-<count>-<random><suffix>.
fs::path UniqueTempPath(std::string_view stem, std::string_view suffix = {});

std::vector<std::uint8_t> ReadBytes(const fs::path& path);
void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes);
// UTF-16LE bytes of a text (no byte-order mark, no terminator).
std::vector<std::uint8_t> Utf16Bytes(std::u16string_view text);
// Reads a UTF-16LE file (byte-order mark kept as U+FEFF when present).
std::u16string ReadUtf16(const fs::path& path);
std::vector<std::uint32_t> ReadIndex(const fs::path& path);
bool Exists(const fs::path& path);
// File names in a directory, sorted.
std::vector<std::string> ListDir(const fs::path& dir);

class Sandbox {
public:
    // languages: which message libraries to copy into bin/ ("enu", "grm").
    explicit Sandbox(std::vector<std::string> languages = {"enu", "grm"});
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    fs::path root, bin, logs, dataSync;

    // The path the library is told it lives at: <bin>/Log.dll or <bin>/libLog.so.
    fs::path ModulePath() const;
    // Copies the real shared library (and on Windows nothing else is needed) into bin/,
    // so that child processes can load it from there.
    void InstallSharedLibrary() const;
    // Creates the full-sync mark in DataSync/ (creating the directory).
    void CreateFullSyncMark() const;
};

// Fixture: a Sandbox plus module start-up for it; the module values are reset
// afterwards. Tests that need another language or no message library call
// Reinitialize after changing the sandbox or the platform.
class SandboxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Runs module start-up again for the same sandbox; gives its result.
    int Reinitialize();

    Sandbox sandbox;
    fs::path Log(std::string_view owner = {}) const;       // <Logs>/[owner.]activity.log
    fs::path Index(std::string_view owner = {}) const;     // <Logs>/[owner.]activity.idx
    fs::path Journal() const { return sandbox.dataSync / "activity_sync.log"; }
    // The Logs directory's names without the POSIX mutexes' lock directory.
    std::vector<std::string> LogFiles() const;
    // Removes every file of the Logs directory; the lock directory stays.
    void ClearLogs() const;
};

}  // namespace testsupport
