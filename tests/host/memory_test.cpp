// memory_test.cpp: handles, lock state, scrambling, copies and searching in handles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/faults.h"
#include "support/plugin_host.h"

namespace zor::test {
namespace {

TEST(Handles, ResizeKeepsTheLeadingBytes) {
    HostHandle h = NewHandleWith("abcdef");
    HostSetHandleSize(h, 100000);
    ASSERT_EQ(HostMemoryError(), 0);
    EXPECT_EQ(std::string(*h, 6), "abcdef");
    HostSetHandleSize(h, 3);
    EXPECT_EQ(HandleBytes(h), "abc");
    HostDisposeHandle(h);
}

TEST(Handles, LockedNeverMovesUnlockedMovesUnderScrambling) {
    const bool was = HostHeapScramble();
    HostSetHeapScramble(true);
    HostHandle h = NewHandleWith("0123456789");
    HostLockHandle(h);
    char* before = *h;
    HostSetHandleSize(h, 4);
    EXPECT_EQ(*h, before);
    HostSetHandleSize(h, 1000);
    EXPECT_EQ(HostMemoryError(), HostMemFullErr) << "a locked block cannot grow in place";
    EXPECT_EQ(*h, before);
    EXPECT_EQ(HostGetHandleSize(h), 4);
    int8_t state = HostGetHandleState(h);
    HostUnlockHandle(h);
    HostSetHandleSize(h, 4);
    EXPECT_NE(*h, before);
    EXPECT_EQ(HandleBytes(h), "0123");
    HostSetHandleState(h, state);
    EXPECT_NE(HostGetHandleState(h) & HostHandleLocked, 0);
    HostUnlockHandle(h);
    HostDisposeHandle(h);
    HostSetHeapScramble(was);
}

TEST(Handles, CopyHandleAndClearAndBlocks) {
    HostHandle h = NewHandleWith("xyz");
    HostHandle copy = h;
    ASSERT_EQ(HostCopyHandle(&copy), 0);
    EXPECT_NE(copy, h);
    EXPECT_EQ(HandleBytes(copy), "xyz");
    HostDisposeHandle(copy);
    HostDisposeHandle(h);
    HostHandle clear = HostNewHandleClear(64);
    EXPECT_EQ(std::string(*clear, 64), std::string(64, '\0'));
    HostDisposeHandle(clear);
    auto* block = static_cast<char*>(HostNewBlockClear(10));
    EXPECT_EQ(std::string(block, 10), std::string(10, '\0'));
    HostDisposeBlock(block);
    EXPECT_EQ(HostNewHandle(-1), nullptr);
    EXPECT_EQ(HostMemoryError(), HostMemFullErr);
}

TEST(Handles, WithoutScramblingNewHandlesStartFreshAndGrowAndShrinkInPlace) {
    const bool was = HostHeapScramble();
    HostSetHeapScramble(false);
    const int64_t live = HostLiveAllocations();
    for (int round = 0; round < 3; ++round) {
        HostHandle a = NewHandleWith("first");
        HostLockHandle(a);
        HostDisposeHandle(a);
        HostHandle b = HostNewHandleClear(3);
        EXPECT_EQ(HostGetHandleState(b), 0) << "a new handle is not locked";
        EXPECT_EQ(HandleBytes(b), std::string(3, '\0'));
        HostDisposeHandle(b);
    }
    HostHandle h = NewHandleWith("abcdefgh");
    char* first = *h;
    HostSetHandleSize(h, 4);
    EXPECT_EQ(*h, first) << "shrinking keeps the bytes where they are";
    HostSetHandleSize(h, 100000);
    ASSERT_EQ(HostMemoryError(), HostNoErr);
    EXPECT_EQ(std::string(*h, 4), "abcd");
    std::memset(*h + 4, 'z', 100000 - 4);
    HostSetHandleSize(h, 200000);
    EXPECT_EQ(std::string(*h, 6), "abcdzz");
    HostDisposeHandle(h);
    EXPECT_EQ(HostLiveAllocations(), live);
    HostSetHeapScramble(was);
}

TEST(Handles, FailingAllocationsReportMemFullAndLoseNothing) {
    const int64_t live = HostLiveAllocations();
    for (int64_t n = 1;; ++n) {
        AllocationFailure failure(n);
        HostHandle h = NewHandleWith("");
        if (h == nullptr) {
            EXPECT_EQ(HostMemoryError(), HostMemFullErr);
            continue;
        }
        HostSetHandleSize(h, 10);
        if (HostMemoryError() == HostNoErr) std::memcpy(*h, "0123456789", 10);
        HostHandle copy = h;
        const int16_t status = HostCopyHandle(&copy);
        EXPECT_EQ(status == 0, copy != h);
        if (status == 0) HostDisposeHandle(copy);
        HostDisposeHandle(h);
        EXPECT_EQ(HostLiveAllocations(), live);
        if (!failure.fired()) break;
    }
}

TEST(SearchHandle, FindsAtOrAfterTheStart) {
    HostHandle h = NewHandleWith("one two one two");
    EXPECT_EQ(HostSearchHandle(h, 0, "two", 3, nullptr, 0), 4);
    EXPECT_EQ(HostSearchHandle(h, 5, "two", 3, nullptr, 0), 12);
    EXPECT_EQ(HostSearchHandle(h, 13, "two", 3, nullptr, 0), -1);
    EXPECT_LT(HostSearchHandle(h, 0, "three", 5, nullptr, 0), 0);
    EXPECT_LT(HostSearchHandle(h, 100, "o", 1, nullptr, 0), 0);
    HostDisposeHandle(h);
}

TEST(SearchHandle, ReplacesWithLongerAndShorterText) {
    HostHandle h = NewHandleWith("a&b&c");
    EXPECT_EQ(HostSearchHandle(h, 0, "&", 1, "&amp;", 5), 6);
    EXPECT_EQ(HandleBytes(h), "a&amp;b&c");
    EXPECT_EQ(HostSearchHandle(h, 6, "&", 1, "&amp;", 5), 12);
    EXPECT_EQ(HandleBytes(h), "a&amp;b&amp;c");
    EXPECT_EQ(HostSearchHandle(h, 0, "&amp;", 5, "+", 1), 2);
    EXPECT_EQ(HandleBytes(h), "a+b&amp;c");
    EXPECT_EQ(HostSearchHandle(h, 0, "&amp;", 5, "", 0), 3);
    EXPECT_EQ(HandleBytes(h), "a+bc");
    EXPECT_LT(HostSearchHandle(h, 0, "zz", 2, "y", 1), 0);
    EXPECT_EQ(HandleBytes(h), "a+bc");
    HostDisposeHandle(h);
}

}  // namespace
}  // namespace zor::test
