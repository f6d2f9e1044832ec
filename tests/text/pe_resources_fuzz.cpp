// libFuzzer target: the PE string-table reader on arbitrary bytes. Each input
// is read twice: as an image of its own, and as patches (offset, byte pairs)
// laid over a well-formed image, so that the search reaches deep into the
// headers and the resource tree without a seed corpus. Any read outside the
// buffer is caught by the sanitizers.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "text/pe_resources.h"

namespace {

void Put(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// PE32+ headers, one section at file offset 0x200 / RVA 0x1000 holding the
// resource tree type 6 -> block 17 -> language 0x409 -> two strings.
std::vector<std::uint8_t> WellFormedImage() {
    std::vector<std::uint8_t> b(0x200 + 0x80, 0);
    b[0] = 'M';
    b[1] = 'Z';
    Put(b, 0x3C, 0x40, 4);
    Put(b, 0x40, 0x00004550, 4);
    Put(b, 0x46, 1, 2);           // one section
    Put(b, 0x54, 240, 2);         // optional header size
    Put(b, 0x58, 0x20B, 2);       // PE32+
    Put(b, 0x58 + 108, 16, 4);    // data directories
    Put(b, 0x58 + 128, 0x1000, 4);
    Put(b, 0x58 + 132, 0x80, 4);
    std::size_t section = 0x58 + 240;
    Put(b, section + 8, 0x80, 4);
    Put(b, section + 12, 0x1000, 4);
    Put(b, section + 16, 0x80, 4);
    Put(b, section + 20, 0x200, 4);
    const std::uint32_t directories[][3] = {{0x00, 6, 0x80000018u}, {0x18, 17, 0x80000030u}, {0x30, 0x409, 0x48}};
    for (const auto& d : directories) {
        Put(b, 0x200 + d[0] + 14, 1, 2);
        Put(b, 0x200 + d[0] + 16, d[1], 4);
        Put(b, 0x200 + d[0] + 20, d[2], 4);
    }
    Put(b, 0x200 + 0x48, 0x1058, 4);
    Put(b, 0x200 + 0x4C, 0x28, 4);
    Put(b, 0x200 + 0x58, 2, 2);  // string 256: "ok", string 257: "x", the rest empty
    Put(b, 0x200 + 0x5A, 'o', 2);
    Put(b, 0x200 + 0x5C, 'k', 2);
    Put(b, 0x200 + 0x5E, 1, 2);
    Put(b, 0x200 + 0x60, 'x', 2);
    return b;
}

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

    static const std::vector<std::uint8_t> base = WellFormedImage();
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
