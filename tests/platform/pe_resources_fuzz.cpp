// libFuzzer target: the PE string-table reader on arbitrary bytes. Any read
// outside the input is caught by the sanitizers.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that a read one byte past the end is reported.
    std::vector<std::uint8_t> bytes(data, data + size);
    actlog::platform::PeResources reader;
    if (!reader.Parse(bytes.data(), bytes.size())) return 0;
    static const std::uint32_t kIds[] = {0, 1, 15, 16, 256, 264, 543, 1000, 0xFFFF, 0x12345};
    for (std::uint32_t id : kIds) {
        actlog::platform::PeString found;
        if (reader.FindString(id, &found)) {
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < found.length; ++i) sum += found.UnitAt(i);
            volatile std::uint32_t sink = sum;
            (void)sink;
        }
    }
    return 0;
}
