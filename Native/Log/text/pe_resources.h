// Reader of the string tables of a PE32+ image held in memory (a message
// library file read whole). Every offset is checked against the buffer: a
// damaged file gives "no image" or "missing string", never a read outside it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace actlog::text {

// A string found in an image: `length` UTF-16LE units starting at `bytes`
// (not necessarily aligned; read them with UnitAt).
struct PeString {
    const std::uint8_t* bytes = nullptr;
    std::size_t length = 0;
    char16_t UnitAt(std::size_t i) const noexcept {
        return static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
};

class PeResources {
public:
    // Checks the headers and locates the resource section. The buffer must
    // outlive this object. false when the bytes are not a PE32+ image or the
    // resource directory lies outside them.
    bool Parse(const std::uint8_t* data, std::size_t size) noexcept;

    // String `id` of the string table (type 6): block id / 16 + 1, the block's
    // first language, entry id % 16. Only the low 16 bits of `id` count, as
    // with the Win32 loader. false when there is no such block; an empty
    // string is found with length 0.
    bool FindString(std::uint32_t id, PeString* found) const noexcept;

private:
    // File offset of `size` bytes at relative virtual address `rva`; false
    // when they do not lie wholly within one section's file data.
    bool MapRva(std::uint64_t rva, std::uint64_t size, std::uint64_t* offset) const noexcept;
    // Offset (within the resource section) of the subdirectory or data entry
    // for `id` in the directory at `directory`; *isDirectory tells which.
    bool FindEntry(std::uint64_t directory, std::uint32_t id, bool first, std::uint64_t* target,
                   bool* isDirectory) const noexcept;
    // File offset and size of string block `block` (id / 16), from the last
    // block found or by walking the directory; false when there is none.
    bool FindBlock(std::uint32_t block, std::uint64_t* offset, std::uint64_t* size) const noexcept;
    void Reset() noexcept;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::uint64_t sectionTable_ = 0;  // file offset of the section headers
    std::uint32_t sectionCount_ = 0;
    std::uint64_t resourceStart_ = 0;  // file offset of the resource directory
    std::uint64_t resourceSize_ = 0;   // 0: the image has no resources
    // The last block found, packed (see FindBlock); 0 = none. Messages mostly
    // come from one block, so most lookups skip the directory walk.
    mutable std::atomic<std::uint64_t> lastBlock_{0};
};

}  // namespace actlog::text
