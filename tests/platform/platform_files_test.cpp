// Conformance of the native platform's file and name operations. The same
// expectations hold on every target: they are the Win32 behaviour the
// library relies on.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/sandbox.h"
#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>

#include "platform/posix/posix_platform.h"
#endif

namespace {

using namespace actlog::platform;
using testsupport::fs::path;
using testsupport::ReadBytes;
using testsupport::U16;
using testsupport::WriteBytes;

std::vector<std::uint8_t> Bytes(std::string_view text) { return {text.begin(), text.end()}; }

class PlatformFiles : public ::testing::Test {
protected:
    Platform& os = Native();
    testsupport::Sandbox sandbox{{}};
    path dir = sandbox.root / "files";

    void SetUp() override { testsupport::fs::create_directories(dir); }

    std::u16string At(std::string_view utf8) const { return U16(dir / U16(utf8)); }

    std::string ReadAll(FileHandle file) {
        std::string out;
        char buffer[64];
        std::uint32_t done = 0;
        while (os.Read(file, buffer, sizeof buffer, &done) && done > 0) out.append(buffer, done);
        return out;
    }

    // The names a search finds, sorted unless asked for the platform's order;
    // the search is closed, or left open in *held.
    std::vector<std::u16string> Search(std::string_view pattern, bool sorted = true,
                                       std::vector<SearchHandle>* held = nullptr) {
        std::vector<std::u16string> names;
        char16_t name[260];
        SearchHandle search = os.FindFirst(At(pattern).c_str(), name, 260);
        if (!search.valid()) return names;
        do {
            names.emplace_back(name);
        } while (os.FindNext(search, name, 260));
        if (held != nullptr) {
            held->push_back(search);
        } else {
            os.FindClose(search);
        }
        if (sorted) std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PlatformFiles, OpenFileCanBeRenamedAndDeletedWhileItsHandleKeepsReading) {
    WriteBytes(dir / "a.log", Bytes("first record"));
    FileHandle reader = os.OpenFile(At("a.log").c_str(), Access::Read, Disposition::OpenExisting);
    ASSERT_TRUE(reader.valid());

    ASSERT_TRUE(os.MoveNoReplace(At("a.log").c_str(), At("b.log").c_str()));
    EXPECT_FALSE(os.Exists(At("a.log").c_str()));
    EXPECT_EQ("first record", ReadAll(reader));

    ASSERT_TRUE(os.RemoveFile(At("b.log").c_str()));
    std::uint64_t position = 1;
    ASSERT_TRUE(os.Seek(reader, 0, SeekFrom::Begin, &position));
    EXPECT_EQ(0u, position);
    EXPECT_EQ("first record", ReadAll(reader));
    os.CloseFile(reader);
    EXPECT_FALSE(os.Exists(At("b.log").c_str()));
}

// A copy between offsets of two files, by the platform's own means and by the
// buffered copy it falls back to (1 MiB at a time): every byte lands once, and
// a source that ends early is damage.
TEST_F(PlatformFiles, CopyRangeMovesEveryByteBetweenOffsets) {
    std::vector<std::uint8_t> source(3 * 1024 * 1024 + 77);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + i / 4093);
    WriteBytes(dir / "from", source);
    for (bool buffered : {false, true}) {
        auto copy = [&](FileHandle from, std::uint64_t at, FileHandle to, std::uint32_t count, std::uint32_t* done) {
            return buffered ? os.Platform::CopyRange(from, at, to, 4, count, done) : os.CopyRange(from, at, to, 4, count, done);
        };
        for (std::uint32_t count : {0u, 5u, 1024u * 1024u, 2u * 1024u * 1024u + 3u}) {
            SCOPED_TRACE(testing::Message() << (buffered ? "buffered, " : "native, ") << count);
            WriteBytes(dir / "to", Bytes("head"));
            FileHandle from = os.OpenFile(At("from").c_str(), Access::Read, Disposition::OpenExisting);
            FileHandle to = os.OpenFile(At("to").c_str(), Access::Write, Disposition::OpenExisting);
            FileHandle spill = os.OpenFile(At("spill").c_str(), Access::Write, Disposition::CreateAlways);
            std::uint32_t done = 1;
            EXPECT_TRUE(copy(from, 1001, to, count, &done));
            EXPECT_EQ(count, done);
            EXPECT_EQ(actlog::Code::Damaged, copy(from, source.size() - 3, spill, 5, &done).code());
            for (FileHandle file : {from, to, spill}) os.CloseFile(file);
            std::vector<std::uint8_t> want = Bytes("head");
            want.insert(want.end(), source.begin() + 1001, source.begin() + 1001 + count);
            EXPECT_TRUE(ReadBytes(dir / "to") == want);
        }
    }
}

TEST_F(PlatformFiles, ExclusiveOpenIsRefusedWhileHeld) {
    FileHandle first = os.OpenFile(At("rebuild").c_str(), Access::Write, Disposition::CreateAlways, Share::Exclusive);
    ASSERT_TRUE(first.valid());
    std::uint32_t done = 0;
    ASSERT_TRUE(os.Write(first, "held", 4, &done));
    FileHandle second = os.OpenFile(At("rebuild").c_str(), Access::Write, Disposition::CreateAlways, Share::Exclusive);
    EXPECT_FALSE(second.valid());
    os.CloseFile(second);
    os.CloseFile(first);
    // Read only after closing: on Windows the exclusive holder keeps every reader out.
    EXPECT_EQ(Bytes("held"), ReadBytes(dir / "rebuild")) << "a refused open must not truncate";

    FileHandle third = os.OpenFile(At("rebuild").c_str(), Access::Write, Disposition::OpenExisting, Share::Exclusive);
    EXPECT_TRUE(third.valid());
    os.CloseFile(third);
}

TEST_F(PlatformFiles, DirectorySearchMatchesWildcardsWithoutRegardToCase) {
    for (const char* name : {"Alpha.log", "alpha.log.x", "beta.LOG", "vm01.activity.log", "P.vm01.activity.log",
                             "xvm02.activity.log", "aXbYbZc", "\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB"}) {
        WriteBytes(dir / U16(std::string_view(name)), Bytes("x"));
    }
    using Names = std::vector<std::u16string>;
    struct Row {
        const char* pattern;
        Names expected;  // sorted
    };
    const Row rows[] = {
        {"*.log", {u"Alpha.log", u"P.vm01.activity.log", u"beta.LOG", u"vm01.activity.log", u"xvm02.activity.log"}},
        {"ALPHA.LOG", {u"Alpha.log"}},
        {"?ETA.log", {u"beta.LOG"}},
        {"?eta.lo", {}},
        {"*VM01.ACTIVITY.LOG", {u"P.vm01.activity.log", u"vm01.activity.log"}},
        {"*vm02.activity.log", {u"xvm02.activity.log"}},
        {"alpha.log*", {u"Alpha.log", u"alpha.log.x"}},  // a trailing star matches nothing too
        {"*.x", {u"alpha.log.x"}},
        {"nothing*", {}},
        {"a*b*c", {u"aXbYbZc"}},
        {"\xD0\xA4\xD0\x90\xD0\x99\xD0\x9B", {u"\u0444\u0430\u0439\u043b"}},  // Cyrillic, upper case
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.pattern);
        EXPECT_EQ(row.expected, Search(row.pattern));
    }
}

#ifndef _WIN32
// Linux gives no order; the POSIX layer orders: the exact name first, then the
// shortest, then by unit. It reads the directory again for every batch of
// names, so the order must hold across batches, and searches may overlap.
TEST_F(PlatformFiles, PosixSearchOrderIsExactThenShortestThenByUnit) {
    std::vector<std::string> names = {"zz.vm01.activity.log", "P.vm01.activity.log", "A.vm01.activity.log",
                                      "VM01.activity.log", "vm01.activity.log"};
    for (int i = 0; i < 40; ++i) names.push_back(std::string(static_cast<std::size_t>(1 + i % 5), 'q') +
                                                  std::to_string(i) + ".vm01.activity.log");
    for (const std::string& name : names) WriteBytes(dir / name, Bytes("x"));
    WriteBytes(dir / "vm01.activity.idx", Bytes("x"));
    char16_t rootName[256];
    SearchHandle root = os.FindFirst(u"/*", rootName, 256);  // the root directory itself
    ASSERT_TRUE(root.valid());
    os.FindClose(root);

    std::vector<std::u16string> expected;
    for (const std::string& name : names) {
        if (name != "vm01.activity.log") expected.push_back(U16(path(name)));
    }
    std::sort(expected.begin(), expected.end(), [](const std::u16string& a, const std::u16string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    expected.insert(expected.begin(), u"vm01.activity.log");

    EXPECT_EQ(expected, Search("*vm01.activity.log", false));
    // More searches open at once than are kept without the heap.
    std::vector<SearchHandle> open;
    for (int i = 0; i < 12; ++i) EXPECT_EQ(expected, Search("*vm01.activity.log", false, &open)) << i;
    for (SearchHandle search : open) os.FindClose(search);
}

TEST_F(PlatformFiles, PosixNamesThatAreNotUtf16FailCleanly) {
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    std::u16string bad = U16(dir) + u"/" + lone;
    EXPECT_FALSE(os.OpenFile(bad.c_str(), Access::Write, Disposition::CreateAlways).valid());
    EXPECT_FALSE(os.Exists(bad.c_str()));
    EXPECT_FALSE(os.MakeDirectory(bad.c_str()));
    const std::u16string good = U16(dir) + u"/good", tooLong = U16(dir) + u"/" + std::u16string(5000, u'n');
    WriteBytes(dir / "good", Bytes("x"));
    EXPECT_FALSE(os.MoveNoReplace(good.c_str(), bad.c_str()));
    EXPECT_FALSE(os.MoveNoReplace(bad.c_str(), good.c_str()));
    EXPECT_FALSE(os.MoveNoReplace(good.c_str(), tooLong.c_str()));
    std::filesystem::remove(dir / "good");
    EXPECT_TRUE(testsupport::ListDir(dir).empty());
}

TEST(PosixUtf8Path, MeasuresAtEveryAlignment) {
    alignas(16) char16_t buffer[64];
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t length = 0; length < 40; ++length) {
            std::fill(std::begin(buffer), std::end(buffer), u'z');
            std::fill(buffer + start, buffer + start + length, u'a');
            buffer[start + length] = 0;
            posix::Utf8Path path(buffer + start);
            EXPECT_EQ(path.size(), length) << start;
            EXPECT_EQ(std::string(path.c_str()), std::string(length, 'a'));
        }
    }
}
#endif

}  // namespace
