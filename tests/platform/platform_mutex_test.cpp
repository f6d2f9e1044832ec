// Conformance of the native named mutexes: shared by every thread and
// process, tried or waited for, different names independent.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "support/sandbox.h"

namespace {

using namespace actlog::platform;
using namespace std::chrono_literals;

class PlatformMutex : public ::testing::Test {
protected:
    Platform& os = Native();
    testsupport::Sandbox sandbox{{}};
    // Unique per test run: Win32 mutex names are machine-wide.
    std::u16string prefix = u"$$PlatformTest$$" + testsupport::U16(std::string_view(sandbox.root.filename().string()));

    void SetUp() override {
        testsupport::fs::create_directories(sandbox.logs);
        os.SetMutexDirectory(testsupport::U16(sandbox.logs).c_str());
    }
    void TearDown() override { os.SetMutexDirectory(u""); }

    std::u16string Name(std::u16string_view suffix) const { return prefix + std::u16string(suffix); }
};

TEST_F(PlatformMutex, TryWaitOnAHeldMutexReportsBusyAtOnce) {
    std::u16string name = Name(u"write");
    MutexHandle holder = os.OpenNamedMutex(name.c_str());
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(holder, WaitTime::Zero));

    WaitResult seen = WaitResult::Acquired;
    std::thread other([&] {
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        seen = os.WaitMutex(mine, WaitTime::Zero);
        os.CloseMutex(mine);
    });
    other.join();
    EXPECT_EQ(WaitResult::TimedOut, seen);

    EXPECT_TRUE(os.ReleaseMutex(holder));
    std::thread after([&] {
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        seen = os.WaitMutex(mine, WaitTime::Zero);
        if (seen == WaitResult::Acquired) os.ReleaseMutex(mine);
        os.CloseMutex(mine);
    });
    after.join();
    EXPECT_EQ(WaitResult::Acquired, seen);
    os.CloseMutex(holder);
}

TEST_F(PlatformMutex, AWaitingThreadGetsTheMutexOnlyWhenItIsReleased) {
    std::u16string name = Name(u"read");
    MutexHandle holder = os.OpenNamedMutex(name.c_str());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(holder, WaitTime::Infinite));

    std::atomic<bool> acquired{false};
    std::atomic<bool> releasedFirst{false};
    std::atomic<bool> ordered{false};
    std::thread waiter([&] {
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        if (os.WaitMutex(mine, WaitTime::Infinite) == WaitResult::Acquired) {
            ordered = releasedFirst.load();
            acquired = true;
            os.ReleaseMutex(mine);
        }
        os.CloseMutex(mine);
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(acquired.load());
    releasedFirst = true;
    ASSERT_TRUE(os.ReleaseMutex(holder));
    waiter.join();
    EXPECT_TRUE(acquired.load());
    EXPECT_TRUE(ordered.load());
    os.CloseMutex(holder);
}

TEST_F(PlatformMutex, DifferentNamesNeverExcludeEachOther) {
    // Long, yet within the 259 characters a Win32 mutex name may have.
    const std::u16string longStem(180, u'n');
    struct Row {
        std::u16string held, tried;
    };
    const Row rows[] = {
        {Name(u"vm01"), Name(u"vm02")},
        {Name(u"vm01"), Name(u"VM01")},  // names tell letter case apart
        {Name(u"vm01"), Name(u"vm01.")},
        {Name(u"a$b"), Name(u"a%0024b")},  // an escape-looking name is not the escaped one
        {Name(longStem + u"1"), Name(longStem + u"2")},  // differ only after a long common start
        {Name(u"\u00e9t\u00e9"), Name(u"ete")},
    };
    for (const Row& row : rows) {
        MutexHandle held = os.OpenNamedMutex(row.held.c_str());
        ASSERT_TRUE(held.valid());
        ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(held, WaitTime::Zero));
        WaitResult seen = WaitResult::Failed;
        std::thread other([&] {
            MutexHandle tried = os.OpenNamedMutex(row.tried.c_str());
            seen = os.WaitMutex(tried, WaitTime::Zero);
            if (seen == WaitResult::Acquired) os.ReleaseMutex(tried);
            os.CloseMutex(tried);
        });
        other.join();
        EXPECT_EQ(WaitResult::Acquired, seen) << testsupport::Utf8(row.tried);
        os.ReleaseMutex(held);
        os.CloseMutex(held);
    }
}

TEST_F(PlatformMutex, ReleaseOfAMutexNotHeldFails) {
    MutexHandle mutex = os.OpenNamedMutex(Name(u"sync").c_str());
    ASSERT_TRUE(mutex.valid());
    EXPECT_FALSE(os.ReleaseMutex(mutex));
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(mutex, WaitTime::Zero));
    EXPECT_TRUE(os.ReleaseMutex(mutex));
    EXPECT_FALSE(os.ReleaseMutex(mutex));
    os.CloseMutex(mutex);
}

TEST_F(PlatformMutex, ClosingAHeldMutexLetsOthersIn) {
    std::u16string name = Name(u"prune");
    MutexHandle holder = os.OpenNamedMutex(name.c_str());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(holder, WaitTime::Zero));
    WaitResult seen = WaitResult::Failed;
    std::thread other([&] {
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        seen = os.WaitMutex(mine, WaitTime::Infinite);
        if (seen == WaitResult::Acquired || seen == WaitResult::Abandoned) os.ReleaseMutex(mine);
        os.CloseMutex(mine);
    });
    std::this_thread::sleep_for(50ms);
#ifdef _WIN32
    // Windows hands a mutex over only when its owning thread releases it or ends.
    os.ReleaseMutex(holder);
#endif
    os.CloseMutex(holder);
    other.join();
    EXPECT_EQ(WaitResult::Acquired, seen);
}

// The one documented difference: a Win32 mutex is recursive for the owning
// thread; the POSIX lock is held per open, so a second open in the same
// thread is excluded like any other. The library never takes a mutex it holds.
TEST_F(PlatformMutex, SecondOpenInTheOwningThread) {
    std::u16string name = Name(u"recursive");
    MutexHandle first = os.OpenNamedMutex(name.c_str());
    MutexHandle second = os.OpenNamedMutex(name.c_str());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(first, WaitTime::Zero));
#ifdef _WIN32
    EXPECT_EQ(WaitResult::Acquired, os.WaitMutex(second, WaitTime::Zero));
    os.ReleaseMutex(second);
#else
    EXPECT_EQ(WaitResult::TimedOut, os.WaitMutex(second, WaitTime::Zero));
#endif
    os.ReleaseMutex(first);
    os.CloseMutex(second);
    os.CloseMutex(first);
}

#ifndef _WIN32
// Lock descriptors are kept open between uses; a forked child takes none of
// its parent's (sharing a description would let both hold the lock at once).
TEST_F(PlatformMutex, PosixForkedChildLocksThroughItsOwnDescriptors) {
    std::u16string name = Name(u"forked");
    os.CloseMutex(os.OpenNamedMutex(name.c_str()));  // one descriptor kept, idle
    int held[2];
    ASSERT_EQ(0, ::pipe(held));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte = 0;
        bool ok = ::read(held[0], &byte, 1) == 1;
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        ok = ok && os.WaitMutex(mine, WaitTime::Zero) == WaitResult::TimedOut;
        os.CloseMutex(mine);
        ::_exit(ok ? 0 : 1);
    }
    MutexHandle parent = os.OpenNamedMutex(name.c_str());  // the kept descriptor
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(parent, WaitTime::Zero));
    ASSERT_EQ(1, ::write(held[1], "h", 1));
    int status = -1;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    os.ReleaseMutex(parent);
    os.CloseMutex(parent);
    ::close(held[0]);
    ::close(held[1]);
}

TEST_F(PlatformMutex, PosixLockFilesLiveInTheMutexDirectory) {
    MutexHandle mutex = os.OpenNamedMutex(u"$$BrevantWriteLog$$vm01");
    ASSERT_TRUE(mutex.valid());
    os.CloseMutex(mutex);
    EXPECT_TRUE(testsupport::Exists(sandbox.logs / ".locks" / "%0024%0024BrevantWriteLog%0024%0024vm01"));
    // A lone surrogate names a mutex too (it is escaped, not converted).
    const char16_t lone[] = {u'x', 0xDC00, 0};
    MutexHandle odd = os.OpenNamedMutex(lone);
    EXPECT_TRUE(odd.valid());
    os.CloseMutex(odd);
}
#endif

}  // namespace
