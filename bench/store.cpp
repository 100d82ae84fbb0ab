// store.cpp: the keyed text store with 100,000 keys: pushes and pops per second through RozoZIvav,
// the same with one key, and a lookup by plain scan over the slots against the key index.
#include <algorithm>
#include <time.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "cpu_time.h"
#include "frame/frame.h"
#include "store/slot_index.h"
#include "store/store.h"
#include "support/plugin_host.h"

namespace {

using zor::bench::CpuSeconds;
using zor::bench::CpuSecondsSince;
using zor::test::PluginHost;

std::vector<int32_t> ScatteredKeys(int count) {
    std::mt19937 random(36);
    std::vector<int32_t> keys;
    for (int i = 0; i < count; ++i) keys.push_back(static_cast<int32_t>(random()));
    return keys;
}

// Push then pop under each key in turn, `rounds` times over: operations per second.
double PushPopRate(PluginHost& host, const std::vector<int32_t>& keys, int rounds) {
    zor::test::Text text("a queued text of modest length");
    TextBlock popped{0, nullptr};
    TextBlock* slot = &popped;
    int32_t key = 0;
    void* pushParams[] = {&key, &text.block};
    void* popParams[] = {&key};
    void* none = nullptr;
    const auto start = CpuSeconds();
    for (int r = 0; r < rounds; ++r) {
        for (int32_t k : keys) {
            key = k;
            host.entry(37, pushParams, &host.globals, &none);
            host.entry(38, popParams, &host.globals, &slot);
            HostDisposeHandle(popped.handle);
        }
    }
    return 2.0 * rounds * static_cast<double>(keys.size()) / CpuSecondsSince(start);
}

// Direct calls on a store of the plug-in's objects, with or without the key index.
double DirectLookupRate(const std::vector<int32_t>& keys, int operations, bool index) {
    HostHandle record = HostNewHandleClear(static_cast<int32_t>(sizeof(zor::frame::PluginGlobals)));
    auto* globals = reinterpret_cast<zor::frame::PluginGlobals*>(*record);
    zor::store::UseSlotIndex(true);
    zor::test::Text text("x");
    for (int32_t k : keys) (void)zor::store::PushText(globals, k, text.block);
    zor::store::UseSlotIndex(index);
    std::mt19937 random(37);
    std::uniform_int_distribution<size_t> pick(0, keys.size() - 1);
    const auto start = CpuSeconds();
    for (int i = 0; i < operations / 2; ++i) {
        const int32_t k = keys[pick(random)];
        (void)zor::store::PushText(globals, k, text.block);
        TextBlock popped = zor::store::PopText(globals, k);
        HostDisposeHandle(popped.handle);
    }
    const double rate = operations / CpuSecondsSince(start);
    zor::store::UseSlotIndex(true);
    zor::store::StoreDispose(globals);
    HostDisposeHandle(record);
    return rate;
}

// python3's nearest peer: a dict of deques, append and popleft under 100,000 keys in random order.
double PythonRate() {
    const char* command =
        "/usr/bin/python3 -c 'import time, random, collections\n"
        "random.seed(36); keys = [random.getrandbits(31) for _ in range(100000)]\n"
        "d = collections.defaultdict(collections.deque)\n"
        "for k in keys: d[k].append(\"x\")\n"
        "random.shuffle(keys)\n"
        "t = time.process_time()\n"
        "for r in range(5):\n"
        "    for k in keys:\n"
        "        d[k].append(\"a queued text\"); d[k].popleft()\n"
        "print(1000000 / (time.process_time() - t))'";
    double rate = -1;
    if (FILE* pipe = popen(command, "r")) {
        if (std::fscanf(pipe, "%lf", &rate) != 1) rate = -1;
        pclose(pipe);
    }
    return rate;
}

}  // namespace

int main() {
    const std::vector<int32_t> keys = ScatteredKeys(100'000);
    double many = 0, inOrder = 0, one = 0;
    {
        PluginHost host;
        zor::test::Text text("x");
        int32_t key = 0;
        void* params[] = {&key, &text.block};
        void* none = nullptr;
        for (int32_t k : keys) {
            key = k;
            host.entry(37, params, &host.globals, &none);
        }
        // Visit the keys in another order than they were made, so each visit lands on a random slot.
        std::vector<int32_t> shuffled = keys;
        std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(38));
        many = PushPopRate(host, shuffled, 10);
        inOrder = PushPopRate(host, keys, 10);
    }
    {
        PluginHost host;
        one = PushPopRate(host, std::vector<int32_t>(100'000, 42), 10);
    }
    const double python = PythonRate();
    std::printf("StorePush+StorePop through RozoZIvav, 100,000 keys: %6.2f million ops/s (goal: at least 1; keys in random order)\n",
                many / 1e6);
    std::printf("StorePush+StorePop through RozoZIvav, 100,000 keys: %6.2f million ops/s (keys in slot order)\n",
                inOrder / 1e6);
    std::printf("StorePush+StorePop through RozoZIvav, one key:      %6.2f million ops/s (ratio 100,000 keys / one: %.2f "
                "in random order, %.2f in slot order)\n",
                one / 1e6, many / one, inOrder / one);
    std::printf("python3 dict of deques, 100,000 keys:               %6.2f million ops/s (ratio zor / python3: %.2f)\n",
                python / 1e6, many / python);

    std::printf("BENCH\tStorePush+StorePop, 100,000 keys\t%.2f M ops/s\t1 M ops/s (goal)\t%.2f\t>=1\t%s\n",
                many / 1e6, many / 1e6, many >= 1e6 ? "yes" : "no");
    std::printf("BENCH\tStorePush+StorePop, 100,000 keys vs python3 dict of deques\t%.2f M ops/s\t%.2f M ops/s\t%.2f\t-\t-\n",
                many / 1e6, python / 1e6, many / python);
    const double indexed = DirectLookupRate(keys, 200'000, true);
    const double scanned = DirectLookupRate(keys, 2'000, false);
    std::printf("Push+pop on random keys of 100,000, key index:      %10.0f ops/s\n", indexed);
    std::printf("Push+pop on random keys of 100,000, slot scan:      %10.0f ops/s (index %.0fx faster)\n", scanned,
                indexed / scanned);
    std::printf("BENCH\tstore with 100,000 keys: key index vs slot scan\t%.0f ops/s\t%.0f ops/s\t%.0f\t-\t-\n", indexed,
                scanned, indexed / scanned);
    return 0;
}
