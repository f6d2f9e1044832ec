// log_child commands for the activity tests.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "message_ids.h"
#include "support/child_api.h"

namespace {

// append <owner> <threads> <records per thread> <tag>
// Each thread logs "<tag>-t<thread>-<n>" with VMLogActivity (severity 1).
// Prints the texts of the calls that did not give 0, one a line.
int Append(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 4 || api.VMLogActivity == nullptr) return 2;
    const std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    const int threads = std::atoi(args[1].c_str());
    const int count = std::atoi(args[2].c_str());
    std::vector<std::vector<std::string>> failed(static_cast<std::size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int n = 0; n < count; ++n) {
                std::string text = args[3] + "-t" + std::to_string(t) + "-" + std::to_string(n);
                std::basic_string<LOG_WCHAR> wide = childapi::Wide(text);
                if (api.VMLogActivity(owner.c_str(), 1, MSG_PLAIN_TEXT, wide.c_str()) != 0) {
                    failed[static_cast<std::size_t>(t)].push_back(text);
                }
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    for (const auto& list : failed) {
        for (const std::string& text : list) std::printf("%s\n", text.c_str());
    }
    return 0;
}

const bool g_append = childapi::Register("append", &Append);

}  // namespace
