// log_child command for start-up tests: load-string <id> <size> prints
// "result=<JobLoadString result> text=<buffer>", after a failure whether the
// caller's error says a bad argument, and gives 0.
#include <cerrno>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/child_api.h"

namespace {

int LoadString(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (api.JobLoadString == nullptr || args.size() != 2) return 2;
    LOG_WCHAR buffer[260] = {};
    int size = std::stoi(args[1]);
    if (size < 0 || size > 260) return 2;
    int32_t result = api.JobLoadString(static_cast<uint32_t>(std::stoul(args[0])), buffer, size);
#ifdef _WIN32
    const bool badArgument = GetLastError() == ERROR_INVALID_PARAMETER;
#else
    const bool badArgument = errno == EINVAL;
#endif
    std::string text;
    for (const LOG_WCHAR* at = buffer; *at != 0; ++at) text.push_back(static_cast<char>(*at & 0x7F));
    std::printf("result=%d text=%s%s\n", result, text.c_str(), result == 0 ? "" : badArgument ? " bad argument" : "");
    return 0;
}

const bool g_registered = childapi::Register("load-string", &LoadString);

}  // namespace
