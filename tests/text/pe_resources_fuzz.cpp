// libFuzzer target: the PE string-table reader on arbitrary bytes. Each input
// is read twice: as an image of its own, and as patches (offset, byte pairs)
// laid over a well-formed image, so that the search reaches deep into the
// headers and the resource tree without a seed corpus. Any read outside the
// buffer is caught by the sanitizers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "pe_image.h"
#include "text/pe_resources.h"

namespace {

void Probe(const std::vector<std::uint8_t>& bytes) {
    actlog::text::PeResources reader;
    if (!reader.Parse(bytes.data(), bytes.size())) return;
    static const std::uint32_t kIds[] = {0, 15, 16, 256, 257, 271, 543, 1000, 0xFFFF, 0x10100};
    for (std::uint32_t id : kIds) {
        actlog::text::PeString found;
        if (reader.FindString(id, &found)) {
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < found.length; ++i) sum += found.UnitAt(i);
            volatile std::uint32_t sink = sum;
            (void)sink;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exact-size copies, so that a read one byte past the end is reported.
    Probe(std::vector<std::uint8_t>(data, data + size));

    static const std::vector<std::uint8_t> base = testsupport::PeImage().bytes;
    std::vector<std::uint8_t> patched = base;
    for (std::size_t i = 0; i + 2 < size; i += 3) {
        std::size_t at = (static_cast<std::size_t>(data[i]) << 8 | data[i + 1]) % base.size();
        patched[at] = data[i + 2];
    }
    // The last byte of an input of 3n+1 bytes cuts the image short.
    if (size % 3 == 1) patched.resize(patched.size() * data[size - 1] / 256);
    Probe(patched);
    return 0;
}
