// Named mutexes exclude other processes: a record that another process
// appends through the real shared library waits while this process holds
// the write mutex, and goes in once it is released.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/platform.h"
#include "support/child_process.h"
#include "support/sandbox.h"

namespace {

using namespace actlog::platform;
using namespace std::chrono_literals;

class PlatformProcesses : public testsupport::SandboxTest {};

TEST_F(PlatformProcesses, AHeldMutexMakesAnotherProcessWait) {
    sandbox.InstallSharedLibrary();
    Platform& os = Current();
    MutexHandle write = os.OpenNamedMutex(u"$$BrevantWriteLog$$");
    ASSERT_TRUE(write.valid());
    ASSERT_EQ(WaitResult::Acquired, os.WaitMutex(write, WaitTime::Infinite));

    testsupport::ChildProcess child = testsupport::StartLogChild(sandbox, "append", {"", "1", "1", "waited"});
    ASSERT_TRUE(child.started());
    // Long enough for the child to start and reach the mutex; if it did not
    // wait, its record would be there by now.
    std::this_thread::sleep_for(1500ms);
    std::u16string before = testsupport::Exists(Log()) ? testsupport::ReadUtf16(Log()) : std::u16string();
    EXPECT_EQ(std::u16string::npos, before.find(u"waited-t0-0"));

    ASSERT_TRUE(os.ReleaseMutex(write));
    os.CloseMutex(write);
    EXPECT_EQ(0, child.Wait());
    EXPECT_NE(std::u16string::npos, testsupport::ReadUtf16(Log()).find(u"waited-t0-0"));
}

}  // namespace
