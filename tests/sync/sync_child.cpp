// log_child commands for the sync journal tests.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "message_ids.h"
#include "support/child_api.h"

namespace {

// sync-log <owner or -> <count> <tag>
// Logs "<tag>-<i>" for i = 0 .. count-1 with severity i % 6 and job number i,
// for the machine ("-", through JobLogActivity) or for an owner (VMJobLogActivity).
// Prints each record whose call did not give 0.
int SyncLog(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 3 || api.JobLogActivity == nullptr || api.VMJobLogActivity == nullptr) return 2;
    const bool machine = args[0] == "-";
    const std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    const int count = std::atoi(args[1].c_str());
    for (int i = 0; i < count; ++i) {
        std::string text = args[2] + "-" + std::to_string(i);
        std::basic_string<LOG_WCHAR> wide = childapi::Wide(text);
        auto severity = static_cast<uint32_t>(i % 6);
        auto job = static_cast<uint32_t>(i);
        int32_t result = machine ? api.JobLogActivity(severity, job, MSG_PLAIN_TEXT, wide.c_str())
                                 : api.VMJobLogActivity(owner.c_str(), severity, job, MSG_PLAIN_TEXT, wide.c_str());
        if (result != 0) std::printf("%s\n", text.c_str());
    }
    return 0;
}

const bool g_syncLog = childapi::Register("sync-log", &SyncLog);

}  // namespace
