// sweep.h: what the reliability tests share: running a command with its 1st, 2nd, ... allocation
// failing until it runs clean, a temporary folder, and the commands called through the test host.
#ifndef ZOR_TESTS_RELIABILITY_SWEEP_H
#define ZOR_TESTS_RELIABILITY_SWEEP_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "zor/host_files.h"
#include "support/faults.h"
#include "support/files.h"
#include "support/plugin_host.h"

namespace zor::test {

// Runs `setup`, then `run` with allocation number n failing, then `check(outcome, failed)` (which
// judges what the command gave and releases it, and what setup made), for n = 1, 2, 3 ... until a
// run has no failure. Every round must leave as many host allocations live, and as many forks
// open, as there were before its setup. Returns
// the number of runs (1 for a command that allocates nothing).
template <class Setup, class Run, class Check>
int SweepAllocations(Setup setup, Run run, Check check, int limit = 3000) {
    for (int n = 1; n <= limit; ++n) {
        const int64_t before = HostLiveAllocations();
        const int32_t forks = HostOpenForkCount();
        setup();
        bool failed = false;
        auto outcome = [&] {
            AllocationFailure failure(n);
            auto result = run();
            failed = failure.fired();
            return result;
        }();
        check(outcome, failed);
        EXPECT_EQ(HostLiveAllocations(), before) << "allocation " << n << " failing";
        EXPECT_EQ(HostOpenForkCount(), forks) << "allocation " << n << " failing";
        if (!failed || ::testing::Test::HasFailure()) return n;
    }
    ADD_FAILURE() << "still failing after " << limit << " allocations";
    return limit;
}

// Deterministic bytes.
std::string Pattern(size_t n, uint32_t seed);
// A file's resource fork, read through the host layer.
std::string ResourceFork(const std::string& path);
void SetResourceFork(const std::string& path, const std::string& bytes);
// The names in a folder, sorted, with each file's size and bytes' checksum: "name size sum\n"...
std::string FolderListing(const std::string& path);

// The Macintosh-file commands (17 to 20) through the host.
int32_t FileCommand(PluginHost& host, int32_t selector, const std::string& from, const std::string& to);

// Text commands: the result's bytes, and whether it came with a handle at all. The argument is made
// by the caller, before any allocation is made to fail.
struct TextOutcome {
    std::string bytes;
    bool handle = false;
};
TextOutcome CallTextCommand(PluginHost& host, int32_t selector, Text& input, int32_t mode, bool withMode = true);

// A small GIF file: 4 x 3 pixels of four colours.
std::string SmallGif();

}  // namespace zor::test

#endif  // ZOR_TESTS_RELIABILITY_SWEEP_H
