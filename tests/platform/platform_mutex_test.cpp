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
#ifndef _WIN32
#include "platform/posix/posix_platform.h"
#endif

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

TEST_F(PlatformMutex, ClosingAHeldMutexLetsOthersIn) {
    std::u16string name = Name(u"prune");
    MutexHandle holder = os.OpenNamedMutex(name.c_str());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(holder, WaitTime::Zero));
    WaitResult seen = WaitResult::Failed;
    std::thread other([&] {
        MutexHandle mine = os.OpenNamedMutex(name.c_str());
        seen = os.WaitMutex(mine, WaitTime::Infinite);
        if (seen == WaitResult::Acquired || seen == WaitResult::Abandoned) os.ReleaseMutex(mine).Ignore();
        os.CloseMutex(mine);
    });
    std::this_thread::sleep_for(50ms);
#ifdef _WIN32
    // Windows hands a mutex over only when its owning thread releases it or ends.
    EXPECT_TRUE(os.ReleaseMutex(holder));
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
    EXPECT_TRUE(os.ReleaseMutex(second));
#else
    EXPECT_EQ(WaitResult::TimedOut, os.WaitMutex(second, WaitTime::Zero));
    EXPECT_FALSE(os.ReleaseMutex(second)) << "a mutex the caller does not hold";
#endif
    EXPECT_TRUE(os.ReleaseMutex(first));
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
    EXPECT_TRUE(os.ReleaseMutex(parent));
    os.CloseMutex(parent);
    ::close(held[0]);
    ::close(held[1]);
}

TEST_F(PlatformMutex, PosixLockFilesLiveInTheMutexDirectory) {
    MutexHandle mutex = os.OpenNamedMutex(u"$$BrevantWriteLog$$vm01");
    ASSERT_TRUE(mutex.valid());
    os.CloseMutex(mutex);
    EXPECT_TRUE(testsupport::Exists(sandbox.logs / ".locks" / "%0024%0024BrevantWriteLog%0024%0024vm01"));
    for (const char16_t* name : {u"vm.09", u".vm"}) os.CloseMutex(os.OpenNamedMutex(name));
    EXPECT_TRUE(testsupport::Exists(sandbox.logs / ".locks" / "vm.09"));
    EXPECT_TRUE(testsupport::Exists(sandbox.logs / ".locks" / "%002Evm"));
    // A kept descriptor serves its name only under the directory it was opened in.
    testsupport::fs::create_directories(sandbox.root / "other");
    os.SetMutexDirectory(testsupport::U16(sandbox.root / "other").c_str());
    os.CloseMutex(os.OpenNamedMutex(u"vm.09"));
    EXPECT_TRUE(testsupport::Exists(sandbox.root / "other" / ".locks" / "vm.09"));
    // A lone surrogate names a mutex too (it is escaped, not converted).
    const char16_t lone[] = {u'x', 0xDC00, 0};
    MutexHandle odd = os.OpenNamedMutex(lone);
    EXPECT_TRUE(odd.valid());
    os.CloseMutex(odd);
}

TEST(PosixLockFileName, KeepsTwoHundredCharactersThenAHash) {
    const std::u16string a195(195, u'a');
    const struct {
        std::u16string name;
        std::string kept;  // before the hash, if any
        bool hashed;
    } rows[] = {
        {std::u16string(200, u'a'), std::string(200, 'a'), false},
        {std::u16string(201, u'a'), std::string(200, 'a'), true},
        {a195 + u"$", std::string(195, 'a') + "%0024", false},
        {a195 + u"a$", std::string(196, 'a'), true},
        {a195 + u"$a", std::string(195, 'a') + "%0024", true},
    };
    for (const auto& row : rows) {
        char out[posix::kLockNameBytes];
        posix::LockFileName(row.name.c_str(), out);
        const std::string name(out);
        EXPECT_EQ(name.substr(0, row.kept.size()), row.kept) << row.name.size();
        EXPECT_EQ(name.size(), row.kept.size() + (row.hashed ? 33 : 0)) << row.name.size();
        EXPECT_EQ(name[row.kept.size()], row.hashed ? '#' : '\0');
    }
}
#endif

}  // namespace
