#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/guarded_page.h"
#include "platform/platform.h"
#include "support/sandbox.h"
#ifndef _WIN32
#include "platform/posix/locale_language.h"
#include "platform/posix/posix_platform.h"
#endif

namespace {

using namespace actlog::platform;
using testsupport::GuardedPage;

TEST(PlatformSystem, CanReadSeesUnreadablePagesWithoutTouchingThem) {
    Platform& os = Native();
    GuardedPage page;
    const char* readable = page.Readable();
    const std::size_t size = page.Size();
    struct Case {
        const char* name;
        const void* address;
        std::size_t bytes;
        bool expected;
    };
    const Case cases[] = {
        {"whole readable page", readable, size, true},
        {"last byte of the readable page", readable + size - 1, 1, true},
        {"nothing to read", nullptr, 0, true},
        {"null", nullptr, 1, false},
        {"one byte into the unreadable page", readable + size - 1, 2, false},
        {"unreadable page", page.Unreadable(), 1, false},
        {"range that wraps around the address space", readable, ~std::size_t{0}, false},
        {"more than one chunk", readable, size + 4096, false},
    };
    for (const Case& c : cases) EXPECT_EQ(os.CanRead(c.address, c.bytes), c.expected) << c.name;
    // Two at once: each answer as if asked alone.
    for (const Case& a : cases) {
        for (const Case& b : cases) {
            bool first = !a.expected;
            EXPECT_EQ(os.CanReadBoth(a.address, a.bytes, b.address, b.bytes, &first), b.expected) << a.name << ", " << b.name;
            EXPECT_EQ(first, a.expected) << a.name << ", " << b.name;
        }
    }
}

#ifndef _WIN32
// The UTC clock's calendar is gmtime's, leap days and centuries included.
TEST(PlatformSystem, UtcCalendarIsGmtimes) {
    for (std::int64_t t = -2208988800; t < 7258118400; t += 86400 * 7 + 3607) {  // 1900 to 2200
        for (std::int64_t at : {t, t - t % 86400, t - t % 86400 - 1}) {
            const time_t seconds = static_cast<time_t>(at);
            struct tm parts {};
            ASSERT_NE(gmtime_r(&seconds, &parts), nullptr);
            const LogSystemTime got = actlog::platform::posix::UtcFromEpoch(at, 999999999);
            const LogSystemTime want{static_cast<std::uint16_t>(parts.tm_year + 1900), static_cast<std::uint16_t>(parts.tm_mon + 1),
                                     static_cast<std::uint16_t>(parts.tm_wday), static_cast<std::uint16_t>(parts.tm_mday),
                                     static_cast<std::uint16_t>(parts.tm_hour), static_cast<std::uint16_t>(parts.tm_min),
                                     static_cast<std::uint16_t>(parts.tm_sec), 999};
            ASSERT_EQ(0, std::memcmp(&got, &want, sizeof got)) << at;
        }
    }
}
#endif

// The clocks read the time now (a year either side at the turn of a year).
TEST(PlatformSystem, ClocksReadTheCurrentYear) {
    const std::time_t now = std::time(nullptr);
    const int year = std::gmtime(&now)->tm_year + 1900;
    for (LogSystemTime t : {Current().SystemTimeUtc(), Current().LocalTime()}) {
        EXPECT_LE(std::abs(int{t.wYear} - year), 1);
        EXPECT_TRUE(t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 && t.wDay <= 31);
    }
}

TEST(PlatformSystem, ModulePathNamesTheFileThatHoldsTheCode) {
    Platform& os = Native();
    char16_t path[1024];
    std::size_t n = os.ModulePath(path, 1024);
    ASSERT_GT(n, 0u);
    ASSERT_EQ(path[n], u'\0');
    // The tests link the library's code statically: the code lives in this program.
    std::u16string whole(path, n);
    EXPECT_EQ(testsupport::fs::path(testsupport::Utf8(whole)).filename().string(),
              testsupport::ProgramName("platform_tests"));
    EXPECT_TRUE(testsupport::Exists(testsupport::fs::path(testsupport::Utf8(whole))));

    char16_t cut[8];
    EXPECT_EQ(os.ModulePath(cut, 8), 7u);
    EXPECT_EQ(std::u16string(cut), whole.substr(0, 7));
}

// LoadString semantics of the native platform on a real message library.
TEST(PlatformSystem, LoadStringCountsCutsAndTerminates) {
    Platform& os = Native();
    const std::u16string path = testsupport::U16(testsupport::ArtifactDir() / "bvmsg.enu.dll");
    LibraryHandle library = os.LoadMessageLibrary(path.c_str());
    ASSERT_TRUE(library.valid());
    // The count of units copied, cut at the capacity less one, always terminated.
    const struct {
        std::uint32_t id;
        int capacity, copied;
        const char* text;
    } rows[] = {{256, 16, 7, "General"}, {256, 4, 3, "Gen"}, {257, 3, 2, "Er"}, {999, 16, 0, ""}};
    for (const auto& row : rows) {
        char16_t wide[16];
        std::fill(std::begin(wide), std::end(wide), u'#');
        EXPECT_EQ(row.copied, os.LoadStringWide(library, row.id, wide, row.capacity)) << row.text;
        EXPECT_EQ(testsupport::U16(std::string_view(row.text)), wide);
        char narrow[16] = {'#'};
        EXPECT_EQ(row.copied, os.LoadStringNarrow(library, row.id, narrow, row.capacity)) << row.text;
        EXPECT_EQ(std::string(row.text), narrow);
    }
    char16_t none[4];
    EXPECT_EQ(0, os.LoadStringWide(LibraryHandle{}, 256, none, 4));

    testsupport::Sandbox sandbox{{}};
    testsupport::WriteBytes(sandbox.bin / "text.dll", {'n', 'o', 't', ' ', 'a', ' ', 'd', 'l', 'l'});
    testsupport::WriteBytes(sandbox.bin / "empty.dll", {});
    for (const char* name : {"text.dll", "empty.dll", "missing.dll"}) {
        EXPECT_FALSE(os.LoadMessageLibrary(testsupport::U16(sandbox.bin / name).c_str()).valid()) << name;
    }
}

#ifndef _WIN32
// The 8-bit code page on Linux is UTF-8; a cut never splits a character.
TEST(PlatformSystem, PosixNarrowStringsAreUtf8CutAtWholeCharacters) {
    Platform& os = Native();
    const std::u16string path = testsupport::U16(testsupport::ArtifactDir() / "bvmsg.grm.dll");
    LibraryHandle library = os.LoadMessageLibrary(path.c_str());
    ASSERT_TRUE(library.valid());
    char narrow[64];
    EXPECT_EQ(14, os.LoadStringNarrow(library, 1005, narrow, 16));
    EXPECT_EQ(std::string("Volume %1 gepr"), narrow);
    EXPECT_EQ(16, os.LoadStringNarrow(library, 1005, narrow, 17));
    EXPECT_EQ(std::string("Volume %1 gepr\xC3\xBC"), narrow);
    EXPECT_EQ(0, os.LoadStringNarrow(library, 1005, narrow, 0));
}

TEST(PlatformSystem, PosixLocaleNamesMapToWindowsLanguageIds) {
    const struct {
        const char* locale;
        std::uint16_t id;
    } locales[] = {
        {"de_DE.UTF-8", 1031}, {"de_AT.UTF-8", 3079}, {"zh_CN.GB18030", 2052}, {"fr_FR@euro", 1036},
        {"DE-de", 1031},       {"en_GB.UTF-8", 2057}, {"POSIX", 1033},         {"de_DEX", 1033},
    };
    for (const auto& row : locales) EXPECT_EQ(row.id, posix::LanguageIdFromLocale(row.locale)) << row.locale;
    // The LANG line of a configuration file.
    const struct {
        const char* text;
        const char* lang;
    } configs[] = {
        {"LANG=de_DE.UTF-8\n", "de_DE.UTF-8"},
        {"# comment\nLC_TIME=en_GB.UTF-8\nLANG=\"fr_FR.UTF-8\"\n", "fr_FR.UTF-8"},
        {"LANG=C\nLANG=ja_JP.UTF-8", "ja_JP.UTF-8"},
        {"export LANG='es_ES.UTF-8'\n", "es_ES.UTF-8"},
        {"LANGUAGE=de_DE:en\n", ""},
        {"", ""},
    };
    for (const auto& row : configs) {
        EXPECT_EQ(std::string(row.lang), std::string(posix::LangFromConfig(row.text))) << row.text;
    }
}
#endif

#ifdef _WIN32
// A Win32 mutex whose owning thread ends is handed to the next waiter as
// abandoned, owned by it; Linux has no such state (a dead holder just releases).
TEST(PlatformSystem, MutexOfAnEndedThreadComesBackAbandoned) {
    Platform& os = Native();
    // Named after the process, so that parallel runs never share it.
    const std::u16string unique = testsupport::U16(std::string_view("actlog-test-abandoned-" + std::to_string(GetCurrentProcessId())));
    const char16_t* name = unique.c_str();
    // Opened first, so that the mutex outlives the owner's handle.
    MutexHandle mutex = os.OpenNamedMutex(name);
    ASSERT_TRUE(mutex.valid());
    std::thread owner([&] {
        MutexHandle mine = os.OpenNamedMutex(name);
        EXPECT_EQ(os.WaitMutex(mine, WaitTime::Zero), WaitResult::Acquired);
        os.CloseMutex(mine);  // ends still owning it
    });
    owner.join();
    EXPECT_EQ(os.WaitMutex(mutex, WaitTime::Zero), WaitResult::Abandoned);
    EXPECT_TRUE(os.ReleaseMutex(mutex)) << "an abandoned wait hands the mutex over";
    EXPECT_EQ(os.WaitMutex(mutex, WaitTime::Zero), WaitResult::Acquired);
    EXPECT_TRUE(os.ReleaseMutex(mutex));
    os.CloseMutex(mutex);
}
#endif

}  // namespace
