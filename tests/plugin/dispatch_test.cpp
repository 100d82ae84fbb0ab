// dispatch_test.cpp: RozoZIvav through a real parameter block: selectors, stream references, the
// constant commands and StreamList.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

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
