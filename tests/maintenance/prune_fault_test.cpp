// Failures of the prune file swap, driven through the fault-injecting
// platform while records are appended during the prune: the result, the files
// afterwards, and that every record whose append gave 0 stands exactly once.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "maintenance_helpers.h"
#include "support/fault_platform.h"
#include "support/sandbox.h"

#include "Log.h"
#include "activity/record_append.h"

namespace {

using namespace maintenancetest;
using Op = testsupport::FaultInjectingPlatform::Op;
using actlog::platform::WaitResult;
using testsupport::ReadIndex;

class PruneFaultTest : public testsupport::SandboxTest {
public:
    void SetUp() override {
        SandboxTest::SetUp();
        installed_ = std::make_unique<testsupport::ScopedPlatform>(faults);
        WriteLogPair(Log("vm"), Index("vm"),
                     {{At(2024, 2, 1, 1, 0, 0), u"old1"}, {At(2024, 2, 1, 2, 0, 0), u"old2"},
                      {At(2024, 2, 1, 3, 0, 0), u"keep3"}, {At(2024, 2, 1, 4, 0, 0), u"keep4"}});
    }
    void TearDown() override {
        installed_.reset();
        SandboxTest::TearDown();
    }

    void Append(const std::u16string& text) {
        int result = actlog::AppendActivityRecord(1, 0, text.c_str(), u"vm");
        if (result == 0) told.push_back(text);
    }
    // Runs `during` once the new pair exists and the prune holds no mutex
    // against writers: just before the copy opens the new log.
    void DuringCopy(std::function<void()> during) {
        faults.FailOnlyPaths(u".activity.log.new");
        faults.RunBeforeNth(Op::Open, 2, [this, during] {
            faults.Disarm();
            during();
        });
    }
    int Prune() {
        LogSystemTime date = At(2024, 2, 1, 2, 30, 0);
        return PruneLog(&date, W(u"vm"));
    }
    void Occupy(const std::string& name) {
        for (char digit = '0'; digit <= '9'; ++digit) {
            testsupport::WriteBytes(sandbox.logs / (name + ".old" + digit), {1});
            occupied.push_back(name + ".old" + digit);
        }
    }

    testsupport::FaultInjectingPlatform faults;
    std::vector<std::u16string> told;  // appends that gave 0
    std::vector<std::string> occupied;

private:
    std::unique_ptr<testsupport::ScopedPlatform> installed_;
};

struct FaultCase {
    const char* name;
    std::function<void(PruneFaultTest&)> arrange;
    int result;
    bool pruned;  // whether old1 and old2 are gone
};

void TwoDuringCopyThen(PruneFaultTest& t, std::function<void()> arm) {
    t.DuringCopy([&t, arm] {
        t.Append(u"new1");
        t.Append(u"new2");
        arm();
    });
}

TEST_F(PruneFaultTest, EveryFailureKeepsEveryRecord) {
    const FaultCase cases[] = {
        {"prepare fails",
         [](PruneFaultTest& t) {
             t.faults.FailOnlyPaths(u".activity.idx.new");
             t.faults.FailNth(Op::SetEnd, 1);
         },
         -1, false},
        {"log part fails",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u".activity.log.new");
                 t.faults.FailNth(Op::Write, 1);
             });
         },
         -1, false},
        {"index part fails",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u".activity.idx.new");
                 t.faults.FailNth(Op::Write, 1);
             });
         },
         2, true},
        {"write mutex wait of the swap fails",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u"$$BrevantWriteLog$$");
                 t.faults.OverrideWait(1, WaitResult::Failed);
             });
         },
         -1, false},
        {"write mutex of the swap abandoned",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u"$$BrevantWriteLog$$");
                 t.faults.OverrideWait(1, WaitResult::Abandoned);
             });
         },
         -1, false},
        {"read mutex wait of the swap fails",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u"$$BrevantReadLog$$");
                 t.faults.OverrideWait(1, WaitResult::Failed);
             });
         },
         -1, false},
        {"new log cannot take the main log's place",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u".activity.log.new");
                 t.faults.FailNth(Op::Move, 1);
             });
         },
         -1, false},
        {"new index cannot take the index's place",
         [](PruneFaultTest& t) {
             TwoDuringCopyThen(t, [&t] {
                 t.faults.FailOnlyPaths(u".activity.idx.new");
                 t.faults.FailNth(Op::Move, 1);
             });
         },
         2, true},
        {"backup names of the index all taken",
         [](PruneFaultTest& t) {
             t.Occupy("vm.activity.idx");
             TwoDuringCopyThen(t, [] {});
         },
         2, true},
        {"backup names of the log all taken",
         [](PruneFaultTest& t) {
             t.Occupy("vm.activity.log");
             TwoDuringCopyThen(t, [] {});
         },
         -1, false},
        {"a record reaches only the main pair",
         [](PruneFaultTest& t) {
             t.DuringCopy([&t] {
                 t.Append(u"new1");
                 t.faults.FailOnlyPaths(u".activity.log.new");
                 t.faults.FailNth(Op::Open, 1);
                 t.Append(u"main only");
                 t.faults.Disarm();
                 t.Append(u"new2");
             });
         },
         2, true},
        {"records reach both pairs",
         [](PruneFaultTest& t) {
             t.DuringCopy([&t] {
                 t.Append(u"new1");
                 t.faults.FailOnlyPaths(u".new");
                 t.faults.FailNth(Op::Write, 2);  // the new index entry, after the new log line
                 t.Append(u"both1");
                 t.faults.Disarm();
                 t.Append(u"both2");
             });
         },
         2, true},
        {"records reach both pairs, then the swap fails",
         [](PruneFaultTest& t) {
             t.DuringCopy([&t] {
                 t.Append(u"new1");
                 t.faults.FailOnlyPaths(u".new");
                 t.faults.FailNth(Op::Write, 2);
                 t.Append(u"both1");
                 t.faults.Disarm();
                 t.Append(u"both2");
                 t.faults.FailOnlyPaths(u".activity.log.new");
                 t.faults.FailNth(Op::Move, 1);
             });
         },
         -1, false},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        for (const auto& entry : std::filesystem::directory_iterator(sandbox.logs)) {
            if (entry.is_regular_file()) std::filesystem::remove(entry.path());
        }
        SetUp();
        told.clear();
        occupied.clear();
        c.arrange(*this);
        EXPECT_EQ(c.result, Prune());
        faults.Disarm();
        EXPECT_EQ(std::string(c.name) == "prepare fails" ? 0u : std::string(c.name).find("reach") != std::string::npos ? 3u : 2u,
                  told.size());

        std::vector<std::u16string> lines = Lines(Log("vm"));
        for (const char16_t* old : {u"old1", u"old2"}) EXPECT_EQ(c.pruned ? 0 : 1, CountMessage(lines, old)) << testsupport::Utf8(old);
        std::size_t expected = (c.pruned ? 2u : 4u) + told.size();
        EXPECT_EQ(1, CountMessage(lines, u"keep3"));
        EXPECT_EQ(1, CountMessage(lines, u"keep4"));
        for (const std::u16string& text : told) EXPECT_EQ(1, CountMessage(lines, text)) << testsupport::Utf8(text);
        EXPECT_EQ(expected, lines.size());
        EXPECT_EQ(LineEndOffsets(Log("vm")), ReadIndex(Index("vm")));
        EXPECT_EQ(occupied, Leftovers(sandbox.logs));
    }
}

}  // namespace
