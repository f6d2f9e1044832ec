// The cost of one GetLog page (with its FreeLog) or one append, for counting
// instructions and system calls: run it under callgrind or `strace -c -f`
// with two counts and divide the difference by the difference of the counts,
// which leaves out the setup (a 10,000-record log written directly).
//
//   calls_bench <work directory> get|append <count>
//
// The work directory receives bin/ and Logs/; it is deleted at the end.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../Native/Messages/message_ids.h"
#include "bench_support.h"

namespace {

using namespace bench;

const char16_t kOwner[] = u"vm01";
const char16_t kMessage[] = u"Backup of virtual machine vm01 completed.";

std::uint32_t Severity(std::uint64_t k) { return static_cast<std::uint32_t>(1 + k % 5); }
std::uint32_t Job(std::uint64_t k) { return k % 5 == 0 ? static_cast<std::uint32_t>(k) : 0; }

bool Append() {
    return VMJobLogActivity(reinterpret_cast<const LOG_WCHAR*>(kOwner), 1, 7, MSG_PLAIN_TEXT, kMessage) == 0;
}

bool Page(std::uint32_t start) {
    ActivityEntry* entries = nullptr;
    std::uint32_t returned = 0;
    std::uint32_t total = 0;
    int result = GetLog(start, 100, &entries, &returned, &total, reinterpret_cast<const LOG_WCHAR*>(kOwner));
    FreeLog(entries);
    return result == 0 && returned == 100;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::string(argv[2]) != "get" && std::string(argv[2]) != "append")) {
        std::fprintf(stderr, "usage: %s <work directory> get|append <count>\n", argv[0]);
        return 2;
    }
    fs::path work = fs::absolute(argv[1]);
    bool get = std::string(argv[2]) == "get";
    int count = std::atoi(argv[3]);
    Start(work, SelfDirectory());
    // The pair exists, and one append has opened the mutexes a process keeps.
    if (!WriteLog(work / "Logs", "vm01", 10000, kMessage, Severity, Job) || !Append()) {
        std::fprintf(stderr, "setup failed\n");
        return 1;
    }
    for (int i = 0; i < count; ++i) {
        if (!(get ? Page(static_cast<std::uint32_t>(i) * 37 % 9900) : Append())) {
            std::fprintf(stderr, "%s failed\n", get ? "GetLog" : "append");
            return 1;
        }
    }
    fs::remove_all(work);
    return 0;
}
