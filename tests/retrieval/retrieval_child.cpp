// log_child commands of the retrieval tests.
#include <string>

#include "message_ids.h"
#include "support/child_api.h"

namespace {

// The message of writer `writer`'s record `i`: "w<writer> <i> " and a run of
// letters whose length follows from i, so a reader can tell a whole record.
std::string WriterMessage(int writer, int i) {
    return "w" + std::to_string(writer) + " " + std::to_string(i) + " " +
           std::string(static_cast<std::size_t>((i * 7) % 40), static_cast<char>('a' + writer));
}

// write-records <owner> <writer> <count>: appends `count` records to the owner's
// log, record i with severity i % 6 and job (writer + 1) unless i % 3 == 0.
int WriteRecords(const childapi::LogApi& api, const std::vector<std::string>& args) {
    if (args.size() != 3 || api.VMJobLogActivity == nullptr) return 2;
    std::basic_string<LOG_WCHAR> owner = childapi::Wide(args[0]);
    int writer = std::stoi(args[1]);
    int count = std::stoi(args[2]);
    for (int i = 0; i < count; ++i) {
        std::basic_string<LOG_WCHAR> text = childapi::Wide(WriterMessage(writer, i));
        std::uint32_t job = i % 3 == 0 ? 0u : static_cast<std::uint32_t>(writer + 1);
        if (api.VMJobLogActivity(owner.c_str(), static_cast<std::uint32_t>(i % 6), job, MSG_PLAIN_TEXT,
                                 text.c_str()) != 0) {
            return 1;
        }
    }
    return 0;
}

const bool g_writeRecords = childapi::Register("write-records", &WriteRecords);

}  // namespace
