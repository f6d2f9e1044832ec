// The failure sweep: an operation is run once to count the platform calls it
// makes, then again for every call N of each kind failing, once and from then
// on, each time from the same prepared state.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <vector>

#include "support/fault_platform.h"

namespace testsupport {

// Every kind of call that can fail.
inline const std::vector<FaultInjectingPlatform::Op>& SweptOps() {
    using Op = FaultInjectingPlatform::Op;
    static const std::vector<Op> ops = {Op::Open,      Op::Read,     Op::Write,     Op::Seek,      Op::Size,
                                        Op::SetEnd,    Op::Move,     Op::Delete,    Op::Exists,    Op::MakeDir,
                                        Op::FindFirst, Op::FindNext, Op::MutexOpen, Op::MutexWait, Op::MutexRelease,
                                        Op::Allocate};
    return ops;
}

// `prepare` sets the state; `run(failing)` makes the call under test. With a
// failing kind a rule is armed, which `run` disarms before checking what
// followed; without one it is the counting run.
inline void SweepFailingCalls(FaultInjectingPlatform& faults, const std::function<void()>& prepare,
                              const std::function<void(std::optional<FaultInjectingPlatform::Op> failing)>& run) {
    prepare();
    faults.ResetCounters();
    run(std::nullopt);
    std::vector<int> calls;
    for (FaultInjectingPlatform::Op op : SweptOps()) calls.push_back(faults.Calls(op));
    for (std::size_t o = 0; o < calls.size(); ++o) {
        for (int n = 1; n <= calls[o]; ++n) {
            for (bool fromThenOn : {false, true}) {
                SCOPED_TRACE(testing::Message() << "call " << n << " of kind " << static_cast<int>(SweptOps()[o])
                                                << (fromThenOn ? " and later ones" : "") << " fails");
                prepare();
                faults.FailNth(SweptOps()[o], n, fromThenOn);
                run(SweptOps()[o]);
                if (testing::Test::HasFailure()) return;
            }
        }
    }
}

}  // namespace testsupport
