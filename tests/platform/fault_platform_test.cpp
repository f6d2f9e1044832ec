// The fault-injecting platform that every failure test relies on: it must
// fail exactly the call it was told to, and forward everything else.
#include <gtest/gtest.h>

#include <thread>

#include "support/fault_platform.h"
#include "support/sandbox.h"

namespace {

using namespace actlog::platform;
using testsupport::FaultInjectingPlatform;
using Op = FaultInjectingPlatform::Op;

class FaultPlatform : public ::testing::Test {
protected:
    testsupport::Sandbox sandbox{{}};
    FaultInjectingPlatform faults;

    std::u16string At(const char* name) const { return testsupport::U16(sandbox.logs / name); }
    void SetUp() override { testsupport::fs::create_directories(sandbox.logs); }

    bool WriteOnce(const char* name) {
        FileHandle file = faults.OpenFile(At(name).c_str(), Access::Append, Disposition::OpenAlways, Share::All);
        std::uint32_t done = 0;
        bool ok = file.valid() && faults.Write(file, "ab", 2, &done);
        faults.CloseFile(file);
        return ok;
    }
};

TEST_F(FaultPlatform, FailsTheNthCallOnceOrFromThenOn) {
    faults.FailNth(Op::Write, 2);
    EXPECT_EQ((std::vector<bool>{true, false, true, true}),
              (std::vector<bool>{WriteOnce("a"), WriteOnce("a"), WriteOnce("a"), WriteOnce("a")}));
    faults.FailNth(Op::Write, 2, true);
    EXPECT_EQ((std::vector<bool>{true, false, false}), (std::vector<bool>{WriteOnce("a"), WriteOnce("a"), WriteOnce("a")}));
    faults.Disarm();
    EXPECT_TRUE(WriteOnce("a"));
    EXPECT_EQ(10u, testsupport::ReadBytes(sandbox.logs / "a").size()) << "five successful writes of two bytes";
    EXPECT_EQ(8, faults.Calls(Op::Write));
    EXPECT_EQ(8, faults.Calls(Op::Open));
}

TEST_F(FaultPlatform, PathFilterCountsOnlyMatchingCalls) {
    faults.FailOnlyPaths(u"activity.idx");
    faults.FailNth(Op::Write, 1);
    EXPECT_TRUE(WriteOnce("activity.log"));
    EXPECT_FALSE(WriteOnce("activity.idx"));
    EXPECT_TRUE(WriteOnce("activity.idx"));
}

TEST_F(FaultPlatform, PartialWriteWritesThePartThenFails) {
    faults.FailWritePartially(1, 3);
    FileHandle file = faults.OpenFile(At("p").c_str(), Access::Write, Disposition::CreateAlways, Share::All);
    std::uint32_t done = 0;
    EXPECT_FALSE(faults.Write(file, "abcdef", 6, &done));
    EXPECT_EQ(3u, done);
    EXPECT_TRUE(faults.Write(file, "gh", 2, &done));
    faults.CloseFile(file);
    EXPECT_EQ((std::vector<std::uint8_t>{'a', 'b', 'c', 'g', 'h'}), testsupport::ReadBytes(sandbox.logs / "p"));
}

TEST_F(FaultPlatform, AbandonedWaitReallyTakesTheMutex) {
    faults.SetMutexDirectory(testsupport::U16(sandbox.logs).c_str());
    faults.OverrideWait(1, WaitResult::Abandoned);
    MutexHandle mutex = faults.OpenNamedMutex(u"$$FaultTest$$m");
    EXPECT_EQ(WaitResult::Abandoned, faults.WaitMutex(mutex, WaitTime::Zero));
    WaitResult other = WaitResult::Acquired;
    std::thread([&] {
        MutexHandle mine = Native().OpenNamedMutex(u"$$FaultTest$$m");
        other = Native().WaitMutex(mine, WaitTime::Zero);
        Native().CloseMutex(mine);
    }).join();
    EXPECT_EQ(WaitResult::TimedOut, other);
    EXPECT_TRUE(faults.ReleaseMutex(mutex));
    faults.CloseMutex(mutex);
    Native().SetMutexDirectory(u"");
}

TEST_F(FaultPlatform, RunsAnActionBeforeTheNthCallAndFixesClockAndLanguage) {
    int ran = 0;
    faults.RunBeforeNth(Op::Exists, 2, [&] { ++ran; });
    faults.Exists(At("x").c_str());
    EXPECT_EQ(0, ran);
    faults.Exists(At("x").c_str());
    faults.Exists(At("x").c_str());
    EXPECT_EQ(1, ran);

    LogSystemTime fixed{2024, 2, 4, 29, 23, 59, 58, 999};
    faults.SetUtcTime(fixed);
    faults.SetLanguage(1031);
    EXPECT_EQ(29, faults.SystemTimeUtc().wDay);
    EXPECT_EQ(1031, faults.SystemDefaultLanguage());
    {
        testsupport::ScopedPlatform installed(faults);
        EXPECT_EQ(&faults, &Current());
    }
    EXPECT_EQ(&Native(), &Current());
}

}  // namespace
