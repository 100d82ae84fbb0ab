// store_test.cpp: the keyed text store through the plug-in: queue order, keys and slots, what a pop
// hands over, shortage of memory, and release at shutdown.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "frame/frame.h"
#include "store/store.h"
#include "support/faults.h"
#include "support/plugin_host.h"

namespace zor::test {
namespace {

void Push(PluginHost& host, int32_t key, TextBlock& text) {
    void* slot = nullptr;
    host.Call(37, {&key, &text}, &slot);
}
void Push(PluginHost& host, int32_t key, const std::string& s) {
    Text text(s);
    Push(host, key, text.block);
}
// prefix followed by n in decimal. Built by appending: g++ 12 at -O3 reports a false -Wrestrict
// overlap inside the inlined insert of `"text" + std::string&&`.
std::string Numbered(const char* prefix, int n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

std::string Pop(PluginHost& host, int32_t key) {
    Text text;
    host.CallText(38, {&key}, text);
    return text.str();
}
int32_t Count(PluginHost& host, int32_t key) { return host.CallInt(36, {&key}); }
void Delete(PluginHost& host, int32_t key) {
    void* slot = nullptr;
    host.Call(39, {&key}, &slot);
}

// The slot table as the store handle holds it: {key, count} per slot, in slot order.
struct SlotView {
    int32_t key, count;
    bool operator==(const SlotView&) const = default;
};
std::vector<SlotView> SlotTable(PluginHost& host) {
    const auto* globals = reinterpret_cast<const frame::PluginGlobals*>(*host.globals);
    std::vector<SlotView> out;
    HostHandle store = globals->StoreHandleField;
    if (store == nullptr) return out;
    const int32_t n = store::Header(store)->slotCount;
    EXPECT_EQ(HostGetHandleSize(store), static_cast<int32_t>(sizeof(store::StoreHeader) + n * sizeof(store::StoreEntry)));
    for (int32_t s = 0; s < n; ++s) {
        const store::StoreEntry& e = store::Slots(store)[s];
        // An empty queue holds no items; a free slot holds key 0.
        if (e.count <= 0) {
            EXPECT_TRUE(e.head == nullptr && e.tail == nullptr) << s;
        }
        if (e.count < 0) {
            EXPECT_EQ(e.key, 0) << s;
        }
        out.push_back({e.key, e.count});
    }
    return out;
}
std::ostream& operator<<(std::ostream& os, const SlotView& v) { return os << "{" << v.key << "," << v.count << "}"; }

TEST(Store, QueuesAreFirstInFirstOut) {
    PluginHost host;
    EXPECT_EQ(Count(host, 5), 0);
    EXPECT_EQ(Pop(host, 5), "");  // before any push
    for (const char* s : {"one", "two", "three"}) Push(host, 5, s);
    EXPECT_EQ(Count(host, 5), 3);
    EXPECT_EQ(Pop(host, 5), "one");
    EXPECT_EQ(Pop(host, 5), "two");
    Push(host, 5, "four");
    EXPECT_EQ(Pop(host, 5), "three");
    EXPECT_EQ(Pop(host, 5), "four");
    Text empty;
    host.CallText(38, {&empty}, empty);
    int32_t key = 5;
    host.CallText(38, {&key}, empty);
    EXPECT_EQ(empty.block.length, 0);
    EXPECT_EQ(empty.block.handle, nullptr);
    EXPECT_EQ(Count(host, 5), 0);
    // The emptied key keeps its slot.
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{5, 0}}));
}

TEST(Store, KeysAreIndependent) {
    PluginHost host;
    for (int i = 0; i < 4; ++i) {
        Push(host, 1, Numbered("a", i));
        Push(host, 2, Numbered("b", i));
        Push(host, INT32_MIN, Numbered("c", i));
    }
    EXPECT_EQ(Pop(host, 2), "b0");
    EXPECT_EQ(Pop(host, 1), "a0");
    EXPECT_EQ(Pop(host, 2), "b1");
    Delete(host, INT32_MIN);
    EXPECT_EQ(Count(host, 1), 3);
    EXPECT_EQ(Count(host, 2), 2);
    EXPECT_EQ(Count(host, INT32_MIN), 0);
    EXPECT_EQ(Pop(host, 1), "a1");
    EXPECT_EQ(Count(host, 3), 0);
    EXPECT_EQ(Pop(host, 3), "");
}

TEST(Store, DeletedSlotsGoToTheNextNewKeysInSlotOrder) {
    PluginHost host;
    for (int32_t key : {10, 20, 30, 40}) Push(host, key, "x");
    Delete(host, 40);
    Delete(host, 20);
    Delete(host, 20);  // a key without a slot is ignored
    Delete(host, 99);
    EXPECT_EQ(Count(host, 20), 0);
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{10, 1}, {0, -1}, {30, 1}, {0, -1}}));
    Push(host, 50, "y");
    Push(host, 10, "z");  // an existing key keeps its slot
    Push(host, 60, "w");
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{10, 2}, {50, 1}, {30, 1}, {60, 1}}));
    Push(host, 70, "v");  // no free slot left: the table grows by one
    EXPECT_EQ(SlotTable(host).size(), 5u);
    EXPECT_EQ(Pop(host, 50), "y");
    EXPECT_EQ(Pop(host, 10), "x");
}

TEST(Store, KeyZeroIsAnOrdinaryKey) {
    PluginHost host;
    Push(host, 7, "seven");
    Push(host, 8, "eight");
    Delete(host, 7);
    Delete(host, 8);
    // Free slots hold key 0 but serve no key.
    EXPECT_EQ(Count(host, 0), 0);
    EXPECT_EQ(Pop(host, 0), "");
    Delete(host, 0);
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{0, -1}, {0, -1}}));
    Push(host, 0, "zero");
    Push(host, 0, "nought");
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{0, 2}, {0, -1}}));
    EXPECT_EQ(Count(host, 0), 2);
    EXPECT_EQ(Pop(host, 0), "zero");
    Delete(host, 0);
    EXPECT_EQ(Count(host, 0), 0);
    EXPECT_EQ(SlotTable(host), (std::vector<SlotView>{{0, -1}, {0, -1}}));
}

TEST(Store, PushCopiesTheWholeHandleAndPopHandsItOver) {
    PluginHost host;
    // A text whose handle is longer than its length pops with the handle's size.
    Text text("0123456789");
    text.block.length = 3;
    Push(host, 1, text.block);
    (*text.block.handle)[0] = 'X';  // the store holds its own copy
    Text popped;
    int32_t key = 1;
    host.CallText(38, {&key}, popped);
    EXPECT_EQ(popped.block.length, 10);
    EXPECT_EQ(popped.str(), "0123456789");
    EXPECT_NE(popped.block.handle, text.block.handle);

    // An empty text without a handle keeps its place in the queue.
    Push(host, 2, "before");
    TextBlock none{0, nullptr};
    Push(host, 2, none);
    Push(host, 2, "after");
    EXPECT_EQ(Count(host, 2), 3);
    EXPECT_EQ(Pop(host, 2), "before");
    key = 2;
    host.CallText(38, {&key}, popped);
    EXPECT_EQ(popped.block.length, 0);
    EXPECT_EQ(popped.block.handle, nullptr);
    EXPECT_EQ(Pop(host, 2), "after");

    // A handle beyond what a text can count pops with the largest length, all bytes kept.
    Text big(std::string(40000, 'b'));
    Push(host, 3, big.block);
    key = 3;
    host.CallText(38, {&key}, popped);
    EXPECT_EQ(popped.block.length, 32767);
    EXPECT_EQ(HostGetHandleSize(popped.block.handle), 40000);
}

TEST(Store, CommandsBeforeStartUpDoNothing) {
    const int64_t start = HostLiveAllocations();
    {
        PluginHost host(false);
        Push(host, 1, "x");
        EXPECT_EQ(Count(host, 1), PluginHost::kUntouched);
    }
    EXPECT_EQ(HostLiveAllocations(), start);
}

TEST(Store, ShutdownReleasesEverything) {
    const int64_t start = HostLiveAllocations();
    {
        PluginHost host;
        for (int32_t key = 0; key < 200; ++key)
            for (int i = 0; i <= key % 4; ++i) Push(host, key * 7919, std::string(static_cast<size_t>(key), 'q'));
        for (int32_t key = 0; key < 200; key += 3) Delete(host, key * 7919);
        for (int32_t key = 1; key < 200; key += 5) (void)Pop(host, key * 7919);
        EXPECT_GT(HostLiveAllocations(), start + 200);
        host.entry(ZorSelectorShutDown, nullptr, &host.globals, nullptr);
        EXPECT_EQ(reinterpret_cast<const frame::PluginGlobals*>(*host.globals)->StoreHandleField, nullptr);
        EXPECT_EQ(HostLiveAllocations(), start + 1);  // only the global record stays, with the host
        HostHandle first = host.globals;
        host.Start();  // a second start-up makes a new record; the test host releases both
        host.Stop();
        HostUnlockHandle(first);
        HostDisposeHandle(first);
    }
    EXPECT_EQ(HostLiveAllocations(), start);
}

// ---- Against a model -----------------------------------------------------------------------------

// The store as a plain scan over slots would keep it.
struct Model {
    std::vector<SlotView> slots;
    std::map<int32_t, std::deque<std::string>> queues;

    int Find(int32_t key) const {
        for (size_t s = 0; s < slots.size(); ++s)
            if (slots[s].count >= 0 && slots[s].key == key) return static_cast<int>(s);
        return -1;
    }
    void Push(int32_t key, const std::string& text) {
        int s = Find(key);
        if (s < 0) {
            for (size_t f = 0; f < slots.size() && s < 0; ++f)
                if (slots[f].count < 0) s = static_cast<int>(f);
            if (s < 0) {
                s = static_cast<int>(slots.size());
                slots.push_back({});
            }
            slots[static_cast<size_t>(s)] = {key, 0};
        }
        ++slots[static_cast<size_t>(s)].count;
        queues[key].push_back(text);
    }
    std::string Pop(int32_t key) {
        const int s = Find(key);
        if (s < 0 || slots[static_cast<size_t>(s)].count == 0) return "";
        --slots[static_cast<size_t>(s)].count;
        std::string front = queues[key].front();
        queues[key].pop_front();
        return front;
    }
    void Delete(int32_t key) {
        const int s = Find(key);
        if (s < 0) return;
        slots[static_cast<size_t>(s)] = {0, -1};
        queues.erase(key);
    }
};

// Random pushes, pops and deletes on two plug-in records at once, so the key index keeps changing
// hands between stores; every answer and the slot tables must be the model's.
TEST(Store, AgreesWithAPlainScanOverSlots) {
    const int64_t start = HostLiveAllocations();
    {
        PluginHost hosts[2];
        Model models[2];
        std::mt19937 random(8);
        std::uniform_int_distribution<int> percent(0, 99), which(0, 1), pick(0, 299);
        std::vector<int32_t> pool;  // scattered keys, so that they collide in the index
        for (int i = 0; i < 300; ++i) pool.push_back(static_cast<int32_t>(random()));
        const int32_t wide[] = {INT32_MIN, INT32_MAX, -1, 0, 1 << 20, 12345678};
        for (int i = 0; i < 12000; ++i) {
            const int h = percent(random) < 90 ? i / 3000 % 2 : which(random);
            PluginHost& host = hosts[h];
            Model& model = models[h];
            const int32_t key = percent(random) < 10 ? wide[static_cast<size_t>(percent(random)) % std::size(wide)]
                                                     : pool[static_cast<size_t>(pick(random))];
            const int op = percent(random);
            if (op < 50) {
                const std::string text = std::to_string(i);
                Push(host, key, text);
                model.Push(key, text);
            } else if (op < 85) {
                ASSERT_EQ(Pop(host, key), model.Pop(key)) << i;
            } else if (op < 95) {
                Delete(host, key);
                model.Delete(key);
            } else {
                const int s = model.Find(key);
                ASSERT_EQ(Count(host, key), s < 0 ? 0 : model.slots[static_cast<size_t>(s)].count) << i;
            }
            if (i % 100 == 0) {
                ASSERT_EQ(SlotTable(host), model.slots) << i;
            }
        }
        for (int h = 0; h < 2; ++h) ASSERT_EQ(SlotTable(hosts[h]), models[h].slots);
    }
    EXPECT_EQ(HostLiveAllocations(), start);
}

TEST(Store, ManyKeysReuseFreedSlotsInOrder) {
    PluginHost host;
    constexpr int32_t kKeys = 4000;
    for (int32_t k = 0; k < kKeys; ++k) Push(host, k * 31 - 50000, "t");
    for (int32_t k = 0; k < kKeys; k += 2) Delete(host, k * 31 - 50000);
    for (int32_t k = 0; k < kKeys / 2; ++k) Push(host, 1000000 + k, "n");
    const std::vector<SlotView> slots = SlotTable(host);
    ASSERT_EQ(slots.size(), static_cast<size_t>(kKeys));
    for (int32_t s = 0; s < kKeys; ++s) {
        const int32_t key = s % 2 == 0 ? 1000000 + s / 2 : s * 31 - 50000;
        ASSERT_EQ(slots[static_cast<size_t>(s)], (SlotView{key, 1})) << s;
        ASSERT_EQ(Count(host, key), 1);
    }
}

// ---- Shortage of memory ----------------------------------------------------------------------------

// A push that finds memory short at any one allocation queues nothing and loses nothing; the store
// keeps working afterwards, and shutdown releases all of it.
TEST(Store, PushesThatRunShortLeaveTheStoreAsItWas) {
    const int64_t start = HostLiveAllocations();
    enum Setting { kNoStore, kExistingKey, kNewSlot, kOtherHostIndexed };
    for (Setting setting : {kNoStore, kExistingKey, kNewSlot, kOtherHostIndexed}) {
        for (int n = 1;; ++n) {
            bool failed = false;
            {
                PluginHost other;
                PluginHost host;
                Model model;
                if (setting != kNoStore) {
                    for (int32_t key : {1, 2, 3}) {
                        Push(host, key, Numbered("old", key));
                        model.Push(key, Numbered("old", key));
                    }
                }
                if (setting == kOtherHostIndexed) Push(other, 1, "elsewhere");  // the index now serves `other`
                const int32_t key = setting == kNewSlot || setting == kNoStore ? 9 : 2;
                const int s = model.Find(key);
                const int32_t before = s < 0 ? 0 : model.slots[static_cast<size_t>(s)].count;
                Text text("new");
                {
                    AllocationFailure fail(n);
                    Push(host, key, text.block);
                    failed = fail.fired();
                }
                // Either the push happened whole (the shortage may have hit only the key index,
                // which lookups do without), or not at all.
                const int32_t after = Count(host, key);
                ASSERT_TRUE(after == before || after == before + 1) << setting << " " << n;
                if (after == before + 1) model.Push(key, "new");
                EXPECT_EQ(SlotTable(host), model.slots) << setting << " " << n;
                Push(host, 9, "later");
                model.Push(9, "later");
                for (int32_t k : {1, 2, 3, 9})
                    while (!model.queues[k].empty()) EXPECT_EQ(Pop(host, k), model.Pop(k)) << setting << " " << n;
            }
            EXPECT_EQ(HostLiveAllocations(), start) << setting << " " << n;
            if (!failed) break;
        }
    }
}

}  // namespace
}  // namespace zor::test
