// The PE string-table reader: a well-formed image, and damaged images
// that must give "no image" or "missing string", never a read outside the
// buffer (each case holds its bytes in a buffer of exactly their size, so
// the sanitizer leg sees any overrun).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>

#include "pe_image.h"
#include "text/pe_resources.h"

namespace {

using actlog::text::PeResources;
using actlog::text::PeString;
using testsupport::Bytes;
using testsupport::Put16;
using testsupport::Put32;
using Image = testsupport::PeImage;

// What one lookup gives: the string, or nothing when there is no image or
// no such string.
std::optional<std::u16string> Find(const PeResources& reader, std::uint32_t id) {
    PeString found;
    if (!reader.FindString(id, &found)) return std::nullopt;
    std::u16string text;
    for (std::size_t i = 0; i < found.length; ++i) text.push_back(found.UnitAt(i));
    return text;
}

std::optional<std::u16string> Lookup(const Bytes& bytes, std::uint32_t id) {
    PeResources reader;
    if (!reader.Parse(bytes.data(), bytes.size())) return std::nullopt;
    return Find(reader, id);
}

TEST(PeResources, ReadsTheStringsOfAWellFormedImage) {
    Image image;
    // One reader for all: the block found last must answer for no other.
    PeResources reader;
    ASSERT_TRUE(reader.Parse(image.bytes.data(), image.bytes.size()));
    EXPECT_EQ(u"General", Find(reader, 256));
    EXPECT_EQ(u"Error", Find(reader, 257));
    EXPECT_EQ(u"", Find(reader, 271)) << "an empty entry of a present block";
    EXPECT_EQ(std::nullopt, Find(reader, 255)) << "block 16 is absent";
    EXPECT_EQ(std::nullopt, Find(reader, 272));
    EXPECT_EQ(u"General", Find(reader, 0x10000u + 256)) << "only the low 16 bits count";
}

TEST(PeResources, DamagedImagesGiveNoImageOrAMissingString) {
    using I = Image;
    struct Row {
        const char* what;
        std::function<void(Bytes&)> damage;
    };
    const Row rows[] = {
        {"no MZ", [](Bytes& b) { b[0] = 'X'; }},
        {"e_lfanew past the end", [](Bytes& b) { Put32(b, 0x3C, static_cast<std::uint32_t>(b.size()) - 2); }},
        {"PE32, not PE32+", [](Bytes& b) { Put16(b, I::kOptional, 0x10B); }},
        {"optional header too short for the resource entry",
         [](Bytes& b) {
             // Two directories fit in 128 bytes; the third's entry would lie in
             // the section table that follows, whose name holds a valid one.
             const Bytes entry(b.begin() + I::kResourceDirectoryEntry, b.begin() + I::kResourceDirectoryEntry + 8);
             std::copy_n(b.begin() + I::kSection, 40, b.begin() + I::kOptional + 128);
             std::copy(entry.begin(), entry.end(), b.begin() + I::kOptional + 128);
             Put16(b, I::kPe + 20, 128);
         }},
        {"section count huge", [](Bytes& b) { Put16(b, I::kPe + 6, 0xFFFF); }},
        {"section data past the end", [](Bytes& b) { Put32(b, I::kSection + 20, 0xFFFFFF00u); }},
        {"second section's data past the end",
         [](Bytes& b) {
             Put16(b, I::kPe + 6, 2);
             Put32(b, I::kSection + 40 + 16, 0x10);
             Put32(b, I::kSection + 40 + 20, 0xFFFFFF00u);
         }},
        {"resource directory outside every section", [](Bytes& b) { Put32(b, I::kResourceDirectoryEntry, 0x9000); }},
        {"root entry count huge", [](Bytes& b) { Put16(b, I::kRaw + I::kRoot + 14, 0xFFFF); }},
        {"type directory loops to the root", [](Bytes& b) { Put32(b, I::kRaw + 20, 0x80000000u); }},
        {"block directory loops to itself",
         [](Bytes& b) { Put32(b, I::kRaw + I::kTypeDir + 20, 0x80000000u | I::kTypeDir); }},
        {"language entry is a directory (loop)",
         [](Bytes& b) { Put32(b, I::kRaw + I::kBlockDir + 20, 0x80000000u | I::kBlockDir); }},
        {"string data outside the file", [](Bytes& b) { Put32(b, I::kRaw + I::kDataEntry, 0x50000); }},
        {"string length past its block", [](Bytes& b) { Put16(b, I::kRaw + I::kBlock, 0xFFFF); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Image image;
        row.damage(image.bytes);
        EXPECT_EQ(std::nullopt, Lookup(image.bytes, 256));
        EXPECT_EQ(std::nullopt, Lookup(image.bytes, 271));
    }
}

TEST(PeResources, AnImageCutAnywhereNeverReadsPastItsEnd) {
    Image image;
    for (std::size_t cut = 0; cut < image.bytes.size(); ++cut) {
        Bytes part(image.bytes.begin(), image.bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        for (std::uint32_t id : {256u, 257u, 271u}) {
            EXPECT_EQ(std::nullopt, Lookup(part, id)) << "cut at " << cut << ", id " << id;
        }
    }
}

}  // namespace
