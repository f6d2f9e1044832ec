#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/platform.h"
#include "platform/guarded_page.h"
#include "support/sandbox.h"

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
