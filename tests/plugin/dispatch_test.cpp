// dispatch_test.cpp: RozoZIvav through a real parameter block: selectors, stream references, the
// constant commands and StreamList.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstring>

#include "net/net.h"
#include "support/plugin_host.h"

namespace zor::test {
namespace {

TEST(Dispatch, SelectorsOutsideTheTableLeaveTheSlotAlone) {
    PluginHost host;
    int32_t n = 0;
    for (int32_t selector : {0, 1, 56, 59, -3, 1000, INT32_MIN}) {
        EXPECT_EQ(host.CallInt(selector, {&n, &n, &n}), PluginHost::kUntouched) << selector;
    }
}

TEST(Dispatch, ConstantCommands) {
    PluginHost host;
    for (int32_t selector : {21, 22, 23, 25}) EXPECT_EQ(host.CallInt(selector, {}), -1);
    EXPECT_EQ(host.CallInt(26, {}), 0);
    EXPECT_EQ(host.CallString(24, {}), "");
    EXPECT_EQ(host.CallString(27, {}), "");
    int32_t a = 1, b = 2, c = 3, d = 4, e = 5;
    EXPECT_EQ(host.CallInt(55, {&a, &b, &c, &d, &e}), 0);
}

TEST(Dispatch, CopyTextStub) {
    PluginHost host;
    Str255 in(""), out("previous");
    int32_t third = 0, fourth = 77;
    EXPECT_EQ(host.CallInt(53, {in.bytes, out.bytes, &third, &fourth}), 0);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(third, 1000);
    Str255 full(std::string(255, 'x'));
    EXPECT_EQ(host.CallInt(53, {full.bytes, out.bytes, &third, &fourth}), 0);
    EXPECT_EQ(out.str(), std::string(255, 'x'));
}

TEST(Dispatch, StreamListWithNoStreams) {
    PluginHost host;
    struct Case {
        int32_t n, expected;
    } cases[] = {{0, 0}, {5, 0}, {1024, 0}, {2000, -1}, {-4, -1}, {1025, -1}};
    for (Case c : cases) EXPECT_EQ(host.CallInt(52, {&c.n}), c.expected) << c.n;
}

TEST(Dispatch, CommandsBeforeStartUpDoNothing) {
    PluginHost host(false);
    int32_t n = 0;
    EXPECT_EQ(host.CallInt(52, {&n}), PluginHost::kUntouched);
    EXPECT_EQ(host.CallInt(4, {&n}), PluginHost::kUntouched);
}

TEST(Dispatch, OnlyTheEntryPointIsExported) {
    void* library = dlopen(ZOR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(dlsym(library, "RozoZIvav"), nullptr);
    EXPECT_EQ(dlsym(library, "_ZN3zor6plugin10StreamListERNS0_11CommandCallE"), nullptr);
}

TEST(StartUp, MakesALockedGlobalRecordAndShutdownKeepsIt) {
    PluginHost host(false);
    host.Start();
    ASSERT_NE(host.globals, nullptr);
    EXPECT_NE(HostGetHandleState(host.globals) & HostHandleLocked, 0);
    EXPECT_NE(HostCurrentEventHook(), nullptr);
    host.entry(ZorSelectorShutDown, nullptr, &host.globals, nullptr);
    EXPECT_NE(host.globals, nullptr);
    EXPECT_EQ(HostCurrentEventHook(), nullptr);
}

TEST(StartUp, PollingOnlyInstallsNoHook) {
    HostSetPollingOnly(true);
    {
        PluginHost host;
        EXPECT_EQ(HostCurrentEventHook(), nullptr);
    }
    HostSetPollingOnly(false);
}

// A start-up with no variable for the global record does nothing (and does not crash).
TEST(StartUp, WithoutAVariableDoesNothing) {
    PluginHost host(false);
    host.entry(ZorSelectorStartUp, nullptr, nullptr, nullptr);
    EXPECT_EQ(HostCurrentEventHook(), nullptr);
}

// A second start-up while running stops the first as shutdown would: its listening socket and its
// stream are released (the port is free again), and the new record starts empty.
TEST(StartUp, TwiceReleasesWhatTheFirstHeld) {
    const int64_t allocations = HostLiveAllocations();
    {
        PluginHost host;
        int32_t unused = 0, reuse = 0, buffer = 0, address = 0x7F000001;
        int16_t unusedShort = 0, port = 0;
        ASSERT_EQ(host.CallInt(3, {&unused, &unusedShort, &port, &buffer, &unused, &reuse, &address}), 1);
        const HostHandle first = host.globals;
        const int32_t socket = reinterpret_cast<const frame::PluginGlobals*>(*first)->StreamTable[1]->socket;
        host.Start();
        ASSERT_NE(host.globals, first);
        EXPECT_EQ(reinterpret_cast<const frame::PluginGlobals*>(*first)->StreamTable[1], nullptr);
        EXPECT_EQ(fcntl(socket, F_GETFD), -1) << "the first start-up's listening socket is still open";
        int32_t zero = 0;
        EXPECT_EQ(host.CallInt(52, {&zero}), 0);
        host.Stop();
        HostUnlockHandle(first);
        HostDisposeHandle(first);
    }
    EXPECT_EQ(HostLiveAllocations(), allocations);
}

TEST(StartUp, ShutdownWithAnEmptyVariable) {
    PluginHost host(false);
    HostHandle none = nullptr;
    host.entry(ZorSelectorShutDown, nullptr, &none, nullptr);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(HostCurrentEventHook(), nullptr);
}

}  // namespace
}  // namespace zor::test

#include "plugin/commands.h"

namespace zor::test {
namespace {

TEST(Dispatch, EveryCommandOfTheTableHasAHandler) {
    for (const CommandSpec& c : kCommands) EXPECT_NE(plugin::FindHandler(c.selector), nullptr) << c.name;
    for (int32_t selector : {-2, -1, 0, 1, 56, 59}) EXPECT_EQ(plugin::FindHandler(selector), nullptr) << selector;
}

}  // namespace
}  // namespace zor::test
