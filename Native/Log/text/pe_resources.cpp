#include "text/pe_resources.h"

namespace actlog::text {
namespace {

constexpr std::uint32_t kStringTableType = 6;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint64_t kDirectoryHeaderSize = 16;
constexpr std::uint64_t kDirectoryEntrySize = 8;
constexpr std::uint64_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool Inside(std::uint64_t offset, std::uint64_t count, std::uint64_t size) {
    return offset <= size && count <= size - offset;
}

}  // namespace

void PeResources::Reset() noexcept {
    data_ = nullptr;
    size_ = 0;
    sectionTable_ = 0;
    sectionCount_ = 0;
    resourceStart_ = 0;
    resourceSize_ = 0;
    lastBlock_.store(0, std::memory_order_relaxed);
}

bool PeResources::Parse(const std::uint8_t* data, std::size_t size) noexcept {
    Reset();
    if (data == nullptr || !Inside(0, 0x40, size) || data[0] != 'M' || data[1] != 'Z') return false;
    std::uint64_t pe = Le32(data + 0x3C);
    // Signature (4), file header (20), optional header magic (2).
    if (!Inside(pe, 26, size) || Le32(data + pe) != 0x00004550u) return false;
    std::uint64_t fileHeader = pe + 4;
    std::uint32_t sections = Le16(data + fileHeader + 2);
    std::uint64_t optionalSize = Le16(data + fileHeader + 16);
    std::uint64_t optional = fileHeader + 20;
    if (Le16(data + optional) != kPe32PlusMagic) return false;
    // PE32+: NumberOfRvaAndSizes at 108, the data directories from 112.
    if (optionalSize < 112 || !Inside(optional, optionalSize, size)) return false;
    std::uint32_t directoryCount = Le32(data + optional + 108);
    std::uint64_t tableAt = optional + optionalSize;
    if (sections == 0 || !Inside(tableAt, sections * kSectionHeaderSize, size)) return false;
    // Every section's file data must lie within the file, as the loader demands.
    for (std::uint32_t i = 0; i < sections; ++i) {
        const std::uint8_t* header = data + tableAt + i * kSectionHeaderSize;
        std::uint64_t rawSize = Le32(header + 16);
        if (rawSize != 0 && !Inside(Le32(header + 20), rawSize, size)) return false;
    }
    data_ = data;
    size_ = size;
    sectionTable_ = tableAt;
    sectionCount_ = sections;

    std::uint64_t entry = optional + 112 + 8 * kResourceDirectoryIndex;
    if (directoryCount <= kResourceDirectoryIndex || entry + 8 > optional + optionalSize) return true;
    std::uint64_t rva = Le32(data + entry);
    std::uint64_t bytes = Le32(data + entry + 4);
    if (rva == 0 && bytes == 0) return true;
    std::uint64_t offset = 0;
    if (bytes < kDirectoryHeaderSize || !MapRva(rva, bytes, &offset)) {
        Reset();
        return false;
    }
    resourceStart_ = offset;
    resourceSize_ = bytes;
    return true;
}

bool PeResources::MapRva(std::uint64_t rva, std::uint64_t size, std::uint64_t* offset) const noexcept {
    for (std::uint32_t i = 0; i < sectionCount_; ++i) {
        const std::uint8_t* header = data_ + sectionTable_ + i * kSectionHeaderSize;
        std::uint64_t virtualAddress = Le32(header + 12);
        std::uint64_t rawSize = Le32(header + 16);
        std::uint64_t rawOffset = Le32(header + 20);
        if (rva < virtualAddress || rva - virtualAddress >= rawSize) continue;
        std::uint64_t within = rva - virtualAddress;
        if (!Inside(within, size, rawSize) || !Inside(rawOffset + within, size, size_)) return false;
        *offset = rawOffset + within;
        return true;
    }
    return false;
}

bool PeResources::FindEntry(std::uint64_t directory, std::uint32_t id, bool first, std::uint64_t* target,
                            bool* isDirectory) const noexcept {
    if (!Inside(directory, kDirectoryHeaderSize, resourceSize_)) return false;
    const std::uint8_t* header = data_ + resourceStart_ + directory;
    std::uint64_t named = Le16(header + 12);
    std::uint64_t ids = Le16(header + 14);
    std::uint64_t entries = directory + kDirectoryHeaderSize;
    if (!Inside(entries, (named + ids) * kDirectoryEntrySize, resourceSize_)) return false;
    // Named entries come first; an id is only ever among the id entries.
    for (std::uint64_t i = first ? 0 : named; i < named + ids; ++i) {
        const std::uint8_t* e = data_ + resourceStart_ + entries + i * kDirectoryEntrySize;
        std::uint32_t name = Le32(e);
        if (!first && ((name & kHighBit) != 0 || name != id)) continue;
        std::uint32_t to = Le32(e + 4);
        *isDirectory = (to & kHighBit) != 0;
        *target = to & ~kHighBit;
        return true;
    }
    return false;
}

bool PeResources::FindBlock(std::uint32_t block, std::uint64_t* offset, std::uint64_t* size) const noexcept {
    // Packed: block + 1 in bits 0-12, the offset in bits 13-38, the size in
    // bits 39-63; a block too far out or too large for that is not kept.
    constexpr std::uint64_t kBlockBits = 13, kOffsetBits = 26;
    std::uint64_t last = lastBlock_.load(std::memory_order_relaxed);
    if ((last & ((1u << kBlockBits) - 1)) == block + 1u) {
        *offset = (last >> kBlockBits) & ((std::uint64_t{1} << kOffsetBits) - 1);
        *size = last >> (kBlockBits + kOffsetBits);
        return true;
    }
    std::uint64_t level = 0;
    bool isDirectory = false;
    // Three fixed levels, type -> block -> language; each step must lead to
    // the kind expected, so no directory can be visited twice.
    if (!FindEntry(0, kStringTableType, false, &level, &isDirectory) || !isDirectory) return false;
    if (!FindEntry(level, block + 1, false, &level, &isDirectory) || !isDirectory) return false;
    if (!FindEntry(level, 0, true, &level, &isDirectory) || isDirectory) return false;
    if (!Inside(level, kDataEntrySize, resourceSize_)) return false;
    const std::uint8_t* dataEntry = data_ + resourceStart_ + level;
    *size = Le32(dataEntry + 4);
    if (!MapRva(Le32(dataEntry), *size, offset)) return false;
    if (*offset >> kOffsetBits == 0 && *size >> (64 - kBlockBits - kOffsetBits) == 0) {
        lastBlock_.store((block + 1u) | (*offset << kBlockBits) | (*size << (kBlockBits + kOffsetBits)),
                         std::memory_order_relaxed);
    }
    return true;
}

bool PeResources::FindString(std::uint32_t id, PeString* found) const noexcept {
    if (resourceSize_ == 0 || found == nullptr) return false;
    std::uint32_t low = id & 0xFFFFu;
    std::uint64_t block = 0;
    std::uint64_t blockSize = 0;
    if (!FindBlock(low >> 4, &block, &blockSize)) return false;
    // Sixteen length-prefixed strings; walk to entry id % 16.
    std::uint64_t at = 0;
    for (std::uint32_t k = 0;; ++k) {
        if (!Inside(at, 2, blockSize)) return false;
        std::uint64_t length = Le16(data_ + block + at);
        if (!Inside(at + 2, 2 * length, blockSize)) return false;
        if (k == (low & 15u)) {
            found->bytes = data_ + block + at + 2;
            found->length = static_cast<std::size_t>(length);
            return true;
        }
        at += 2 + 2 * length;
    }
}

}  // namespace actlog::text
