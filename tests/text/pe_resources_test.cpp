// The PE string-table reader: the real message libraries, and damaged images
// that must give "no image" or "missing string", never a read outside the
// buffer (each case holds its bytes in a buffer of exactly their size, so
// the sanitizer leg sees any overrun).
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sandbox.h"
#include "text/pe_resources.h"

namespace {

using actlog::text::PeResources;
using actlog::text::PeString;
using Bytes = std::vector<std::uint8_t>;

std::u16string Text(const PeString& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.length; ++i) out.push_back(s.UnitAt(i));
    return out;
}

// What one lookup gives: the string, or nothing when there is no image or
// no such string.
std::optional<std::u16string> Lookup(const Bytes& bytes, std::uint32_t id) {
    PeResources reader;
    PeString found;
    if (!reader.Parse(bytes.data(), bytes.size()) || !reader.FindString(id, &found)) return std::nullopt;
    return Text(found);
}

void Put16(Bytes& b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A minimal PE32+ image with one .rsrc section holding string block 17
// (ids 256 to 271): 256 "General", 257 "Error", the rest empty.
struct Image {
    static constexpr std::size_t kPe = 0x40;
    static constexpr std::size_t kOptional = kPe + 24;
    static constexpr std::size_t kResourceDirectoryEntry = kOptional + 112 + 16;
    static constexpr std::size_t kSection = kOptional + 240;
    static constexpr std::size_t kRaw = 0x200;
    static constexpr std::uint32_t kRva = 0x1000;
    // Offsets within the resource section.
    static constexpr std::size_t kRoot = 0, kTypeDir = 0x18, kBlockDir = 0x30, kDataEntry = 0x48, kBlock = 0x58;

    Bytes bytes;

    Image() {
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
        Put16(bytes, kPe + 6, 1);      // sections
        Put16(bytes, kPe + 20, 240);   // optional header size
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

TEST(PeResources, ReadsTheStringsOfAWellFormedImage) {
    Image image;
    EXPECT_EQ(u"General", Lookup(image.bytes, 256));
    EXPECT_EQ(u"Error", Lookup(image.bytes, 257));
    EXPECT_EQ(u"", Lookup(image.bytes, 271)) << "an empty entry of a present block";
    EXPECT_EQ(std::nullopt, Lookup(image.bytes, 255)) << "block 16 is absent";
    EXPECT_EQ(std::nullopt, Lookup(image.bytes, 272));
    EXPECT_EQ(u"General", Lookup(image.bytes, 0x10000u + 256)) << "only the low 16 bits count";
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
        {"section count huge", [](Bytes& b) { Put16(b, I::kPe + 6, 0xFFFF); }},
        {"section data past the end", [](Bytes& b) { Put32(b, I::kSection + 20, 0xFFFFFF00u); }},
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

// LoadString semantics of the native platform on a real message library.
TEST(PlatformStrings, LoadStringCountsCutsAndTerminates) {
    auto& os = actlog::platform::Native();
    std::u16string path = testsupport::U16(testsupport::ArtifactDir() / "bvmsg.enu.dll");
    actlog::platform::LibraryHandle library = os.LoadMessageLibrary(path.c_str());
    ASSERT_TRUE(library.valid());

    char16_t wide[16];
    EXPECT_EQ(7, os.LoadStringWide(library, 256, wide, 16));
    EXPECT_EQ(std::u16string(u"General"), wide);
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(3, os.LoadStringWide(library, 256, wide, 4));
    EXPECT_EQ(std::u16string(u"Gen"), wide);
    EXPECT_EQ(0, os.LoadStringWide(library, 999, wide, 16));
    EXPECT_EQ(0, os.LoadStringWide(actlog::platform::LibraryHandle{}, 256, wide, 16));

    char narrow[16];
    EXPECT_EQ(5, os.LoadStringNarrow(library, 257, narrow, 16));
    EXPECT_EQ(std::string("Error"), narrow);
    EXPECT_EQ(2, os.LoadStringNarrow(library, 257, narrow, 3));
    EXPECT_EQ(std::string("Er"), narrow);
    EXPECT_EQ(0, os.LoadStringNarrow(library, 999, narrow, 16));
    EXPECT_EQ(std::string(), narrow);
}

TEST(PlatformStrings, DamagedOrMissingFilesAreNoLibrary) {
    auto& os = actlog::platform::Native();
    testsupport::Sandbox sandbox{{}};
    Bytes text = {'n', 'o', 't', ' ', 'a', ' ', 'd', 'l', 'l'};
    testsupport::WriteBytes(sandbox.bin / "text.dll", text);
    testsupport::WriteBytes(sandbox.bin / "empty.dll", {});
    for (const char* name : {"text.dll", "empty.dll", "missing.dll"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(os.LoadMessageLibrary(testsupport::U16(sandbox.bin / name).c_str()).valid());
    }
}

#ifndef _WIN32
// The 8-bit code page on Linux is UTF-8; a cut never splits a character.
TEST(PlatformStrings, PosixNarrowStringsAreUtf8CutAtWholeCharacters) {
    auto& os = actlog::platform::Native();
    std::u16string path = testsupport::U16(testsupport::ArtifactDir() / "bvmsg.grm.dll");
    actlog::platform::LibraryHandle library = os.LoadMessageLibrary(path.c_str());
    ASSERT_TRUE(library.valid());
    char narrow[64];
    EXPECT_EQ(14, os.LoadStringNarrow(library, 1005, narrow, 16));
    EXPECT_EQ(std::string("Volume %1 gepr"), narrow);
    EXPECT_EQ(16, os.LoadStringNarrow(library, 1005, narrow, 17));
    EXPECT_EQ(std::string("Volume %1 gepr\xC3\xBC"), narrow);
    EXPECT_EQ(0, os.LoadStringNarrow(library, 1005, narrow, 0));
}
#endif

}  // namespace
