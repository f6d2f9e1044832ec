// Appends use fixed buffers only: an owner's append, which also searches the
// Logs directory for the owner's file and writes the sync journal, makes no
// heap allocation. Counted by standing in for malloc, so only where the
// sanitizers do not own it.
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>

#include "activity/record_append.h"
#include "support/sandbox.h"

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ACTLOG_SANITIZED_MALLOC 1
#endif
#endif
#ifndef ACTLOG_SANITIZED_MALLOC

extern "C" void* __libc_malloc(std::size_t bytes);

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};
}  // namespace

extern "C" void* malloc(std::size_t bytes) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(bytes);
}

namespace {

using namespace testsupport;

class AppendHeapTest : public SandboxTest {};

TEST_F(AppendHeapTest, OwnerAppendAllocatesNothing) {
    WriteBytes(sandbox.logs / "P.vm02.activity.log", {0xFF, 0xFE});
    ASSERT_EQ(0, actlog::AppendActivityRecord(1, 7, u"first", u"vm01"));
    counting = true;
    int results[] = {actlog::AppendActivityRecord(1, 7, u"second", u"vm01"),
                     actlog::AppendActivityRecord(2, 0, u"third", u"vm02"),
                     actlog::AppendActivityRecord(0, 0, u"fourth", nullptr)};
    counting = false;
    for (int result : results) EXPECT_EQ(0, result);
    EXPECT_EQ(0, allocations.load());
}

}  // namespace

#endif
#endif
