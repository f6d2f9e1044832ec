#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_os.h"
#include "bench_support.h"

namespace bench {

fs::path SelfDirectory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

const char* LibraryFileName() { return "libLog.so"; }

long PeakKib() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::strtol(line + 6, nullptr, 10);
    }
    std::fclose(status);
    return kib;
}

ReadHandle OpenForReading(const fs::path& file) { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }

long long ReadAt(ReadHandle file, void* buffer, std::size_t bytes, std::uint64_t offset) {
    return ::pread(static_cast<int>(file), buffer, bytes, static_cast<off_t>(offset));
}

void CloseForReading(ReadHandle file) { ::close(static_cast<int>(file)); }

int RunStep(const char* self, const std::vector<std::string>& args) {
    std::string command = std::string("'") + self + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    std::fflush(stdout);
    return std::system(command.c_str());
}

double RunTogether(int processes, const char*, const std::vector<std::string>&, const std::function<void()>& work) {
    int go[2];
    if (::pipe(go) != 0) return -1;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        pid_t child = ::fork();
        if (child < 0) return -1;
        if (child == 0) {
            ::close(go[1]);
            char byte = 0;
            if (::read(go[0], &byte, 1) != 0) ::_exit(1);
            work();
            ::_exit(0);
        }
        children.push_back(child);
    }
    ::close(go[0]);
    Clock::time_point t0 = Clock::now();
    ::close(go[1]);  // every child's read returns at once
    bool failed = false;
    for (pid_t child : children) {
        int status = -1;
        if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) failed = true;
    }
    return failed ? -1 : Seconds(t0);
}

int RunChild(const std::string&, const std::function<void()>&) { return 2; }

namespace {
bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }
}  // namespace

bool CopyWithSystemTool(const fs::path& from, const fs::path& to) {
    return Shell("cp '" + from.string() + "' '" + to.string() + "'");
}
bool RemoveWithSystemTool(const fs::path& file) { return Shell("rm '" + file.string() + "'"); }
bool WriteBackEverything() { return Shell("sync"); }

}  // namespace bench
