// A minimal PE32+ image with one .rsrc section holding string block 17
// (ids 256 to 271): 256 "General", 257 "Error", the rest empty. Damage tests
// and the fuzz target patch it at the named offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;

inline void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

struct PeImage {
    static constexpr std::size_t kPe = 0x40;
    static constexpr std::size_t kOptional = kPe + 24;
    static constexpr std::size_t kResourceDirectoryEntry = kOptional + 112 + 16;
    static constexpr std::size_t kSection = kOptional + 240;
    static constexpr std::size_t kRaw = 0x200;
    static constexpr std::uint32_t kRva = 0x1000;
    // Offsets within the resource section.
    static constexpr std::size_t kRoot = 0, kTypeDir = 0x18, kBlockDir = 0x30, kDataEntry = 0x48, kBlock = 0x58;

    Bytes bytes;

    PeImage() {
        std::vector<std::u16string> strings(16);
        strings[0] = u"General";
        strings[1] = u"Error";
        std::size_t blockSize = 0;
        for (const auto& s : strings) blockSize += 2 + 2 * s.size();
        std::size_t rawSize = kBlock + blockSize;
        bytes.assign(kRaw + rawSize, 0);
        bytes[0] = 'M';
        bytes[1] = 'Z';
        Put32(bytes, 0x3C, kPe);
        Put32(bytes, kPe, 0x00004550);
        Put16(bytes, kPe + 4, 0x8664);
        Put16(bytes, kPe + 6, 1);     // sections
        Put16(bytes, kPe + 20, 240);  // optional header size
        Put16(bytes, kOptional, 0x20B);
        Put32(bytes, kOptional + 108, 16);
        Put32(bytes, kResourceDirectoryEntry, kRva);
        Put32(bytes, kResourceDirectoryEntry + 4, static_cast<std::uint32_t>(rawSize));
        std::memcpy(&bytes[kSection], ".rsrc", 5);
        Put32(bytes, kSection + 8, static_cast<std::uint32_t>(rawSize));
        Put32(bytes, kSection + 12, kRva);
        Put32(bytes, kSection + 16, static_cast<std::uint32_t>(rawSize));
        Put32(bytes, kSection + 20, kRaw);
        Directory(kRoot, 6, kTypeDir | 0x80000000u);
        Directory(kTypeDir, 17, kBlockDir | 0x80000000u);
        Directory(kBlockDir, 0x409, kDataEntry);
        Put32(bytes, kRaw + kDataEntry, kRva + kBlock);
        Put32(bytes, kRaw + kDataEntry + 4, static_cast<std::uint32_t>(blockSize));
        std::size_t at = kRaw + kBlock;
        for (const auto& s : strings) {
            Put16(bytes, at, static_cast<std::uint32_t>(s.size()));
            for (std::size_t i = 0; i < s.size(); ++i) Put16(bytes, at + 2 + 2 * i, s[i]);
            at += 2 + 2 * s.size();
        }
    }

    // A directory with one id entry.
    void Directory(std::size_t at, std::uint32_t id, std::uint32_t target) {
        Put16(bytes, kRaw + at + 14, 1);
        Put32(bytes, kRaw + at + 16, id);
        Put32(bytes, kRaw + at + 20, target);
    }
};

}  // namespace testsupport
