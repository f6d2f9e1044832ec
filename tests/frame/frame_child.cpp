// log_child command for start-up tests: load-string <id> <size> prints
// "result=<JobLoadString result> text=<buffer>" and gives 0.
#include <cstdio>
#include <string>

#include "support/child_api.h"

namespace {

int LoadString(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (api.JobLoadString == nullptr || args.size() != 2) return 2;
    LOG_WCHAR buffer[260] = {};
    int size = std::stoi(args[1]);
    if (size < 0 || size > 260) return 2;
    int32_t result = api.JobLoadString(static_cast<uint32_t>(std::stoul(args[0])), buffer, size);
    std::string text;
    for (const LOG_WCHAR* at = buffer; *at != 0; ++at) text.push_back(static_cast<char>(*at & 0x7F));
    std::printf("result=%d text=%s\n", result, text.c_str());
    return 0;
}

const bool g_registered = childapi::Register("load-string", &LoadString);

}  // namespace
