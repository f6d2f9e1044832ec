// What the benchmark programs need from the operating system, one
// implementation per target (bench_os_posix.cpp, bench_os_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;

// The directory of the running program.
fs::path SelfDirectory();
// The file name the library has on this target (libLog.so, Log.dll).
const char* LibraryFileName();
// Peak resident memory of this process in KiB (-1 when unknown).
long PeakKib();

// A file open for positioned reads (the page floor's pread).
using ReadHandle = std::intptr_t;
ReadHandle OpenForReading(const fs::path& file);  // -1 on failure
long long ReadAt(ReadHandle file, void* buffer, std::size_t bytes, std::uint64_t offset);
void CloseForReading(ReadHandle file);

// Runs `self` again with `args` (one step of the benchmark in a fresh process);
// gives its exit status.
int RunStep(const char* self, const std::vector<std::string>& args);

// Runs `work` in `processes` processes at once and gives the seconds from the
// moment all of them may start until the last has finished (-1 on failure).
// POSIX forks; Windows starts `self` with `childArgs` plus a start event's
// name, and the child calls RunChild.
double RunTogether(int processes, const char* self, const std::vector<std::string>& childArgs,
                   const std::function<void()>& work);
// In a child RunTogether started: waits for the start event `go`, then runs `work`.
int RunChild(const std::string& go, const std::function<void()>& work);

// The prune's references: the system's own copy and delete (cp, rm on POSIX),
// and writing every dirty page back (sync; Windows has no such call: nothing).
bool CopyWithSystemTool(const fs::path& from, const fs::path& to);
bool RemoveWithSystemTool(const fs::path& file);
bool WriteBackEverything();

}  // namespace bench
