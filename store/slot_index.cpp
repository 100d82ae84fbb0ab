// slot_index.cpp: the store's index from key to slot (open addressing, linear probing) and its
// free slots (a min-heap, so the first free slot in slot order is always on top).
//
// The index lives in two host handles of its own, beside the store, and describes the store handle
// it was built for. Every change to the slots is reported here (NoteSlotInUse, NoteSlotFreed); a
// report that does not fit what the index knows, or a shortage of memory, drops the index, and the
// next lookup rebuilds it from the slots.
#include "store/slot_index.h"

#include "store/store.h"

namespace zor::store {
namespace {

constexpr int32_t kEmpty = -1;          // the slot of an unused table entry
constexpr int32_t kFirstCapacity = 16;  // table entries at least; always a power of two

struct IndexEntry {
    int32_t key;   // a key that has a slot
    int32_t slot;  // its slot, or kEmpty for an unused entry
};

struct SlotIndex {
    HostHandle owner;      // the store handle described, or null when there is no index
    int32_t slotCount;     // the store's slot count the index is in step with
    HostHandle table;      // IndexEntry[capacity]
    int32_t capacity;      // table entries, a power of two, at least twice `used`
    int32_t shift;         // 32 - log2(capacity): the bucket is the hash's top bits
    int32_t used;          // keys in the table
    HostHandle freeHeap;   // int32_t[freeCapacity]: the free slots, a min-heap
    int32_t freeCapacity;  // room in freeHeap
    int32_t freeCount;     // free slots in it
};

SlotIndex g_index{};
bool g_useIndex = true;

IndexEntry* Table() { return reinterpret_cast<IndexEntry*>(*g_index.table); }
int32_t* Heap() { return reinterpret_cast<int32_t*>(*g_index.freeHeap); }

uint32_t Bucket(int32_t key) { return (static_cast<uint32_t>(key) * 0x9E3779B1u) >> g_index.shift; }

void Drop() {
    HostDisposeHandle(g_index.table);
    HostDisposeHandle(g_index.freeHeap);
    g_index = SlotIndex{};
}

bool InStep(HostHandle store) {
    return store != nullptr && g_index.owner == store && g_index.slotCount == Header(store)->slotCount;
}

// ---- Key table ---------------------------------------------------------------------------------------

// An empty table of `capacity` entries (a power of two); false when memory is short.
bool NewTable(int32_t capacity) {
    HostHandle table = HostNewHandle(capacity * static_cast<int32_t>(sizeof(IndexEntry)));
    if (table == nullptr) return false;
    auto* entries = reinterpret_cast<IndexEntry*>(*table);
    for (int32_t i = 0; i < capacity; ++i) entries[i] = IndexEntry{0, kEmpty};
    g_index.table = table;
    g_index.capacity = capacity;
    g_index.shift = 32;
    for (int32_t c = capacity; c > 1; c >>= 1) --g_index.shift;
    g_index.used = 0;
    return true;
}

// Inserts a key known to be absent, into a table with room.
void TableInsert(int32_t key, int32_t slot) {
    IndexEntry* entries = Table();
    const uint32_t mask = static_cast<uint32_t>(g_index.capacity) - 1;
    uint32_t i = Bucket(key);
    while (entries[i].slot != kEmpty) i = (i + 1) & mask;
    entries[i] = IndexEntry{key, slot};
    ++g_index.used;
}

// Makes room for one more key, doubling the table when it would be over half full.
bool TableReserve() {
    if ((g_index.used + 1) * 2 <= g_index.capacity) return true;
    if (g_index.capacity >= (1 << 27)) return false;  // keeps the table's byte size in 32 bits
    HostHandle old = g_index.table;
    const int32_t oldCapacity = g_index.capacity;
    if (!NewTable(oldCapacity * 2)) {
        g_index.table = old;
        return false;
    }
    const auto* oldEntries = reinterpret_cast<const IndexEntry*>(*old);
    for (int32_t i = 0; i < oldCapacity; ++i)
        if (oldEntries[i].slot != kEmpty) TableInsert(oldEntries[i].key, oldEntries[i].slot);
    HostDisposeHandle(old);
    return true;
}

// The table entry of `key`, or -1.
int32_t TableFind(int32_t key) {
    const IndexEntry* entries = Table();
    const uint32_t mask = static_cast<uint32_t>(g_index.capacity) - 1;
    for (uint32_t i = Bucket(key);; i = (i + 1) & mask) {
        if (entries[i].slot == kEmpty) return -1;
        if (entries[i].key == key) return static_cast<int32_t>(i);
    }
}

// Removes entry `at`, shifting later entries of its probe run back so that no search stops short.
void TableRemove(int32_t at) {
    IndexEntry* entries = Table();
    const uint32_t mask = static_cast<uint32_t>(g_index.capacity) - 1;
    uint32_t hole = static_cast<uint32_t>(at);
    for (uint32_t i = (hole + 1) & mask; entries[i].slot != kEmpty; i = (i + 1) & mask) {
        const uint32_t home = Bucket(entries[i].key);
        // The entry may move into the hole when its home is not cyclically in (hole, i].
        if (((i - home) & mask) >= ((i - hole) & mask)) {
            entries[hole] = entries[i];
            hole = i;
        }
    }
    entries[hole] = IndexEntry{0, kEmpty};
    --g_index.used;
}

// ---- Free slots ----------------------------------------------------------------------------------------

bool HeapPush(int32_t slot) {
    if (g_index.freeCount == g_index.freeCapacity) {
        if (g_index.freeCapacity >= (1 << 28)) return false;
        const int32_t capacity = g_index.freeCapacity * 2;
        HostSetHandleSize(g_index.freeHeap, capacity * static_cast<int32_t>(sizeof(int32_t)));
        if (HostMemoryError() != HostNoErr) return false;
        g_index.freeCapacity = capacity;
    }
    int32_t* heap = Heap();
    int32_t i = g_index.freeCount++;
    while (i > 0 && heap[(i - 1) / 2] > slot) {
        heap[i] = heap[(i - 1) / 2];
        i = (i - 1) / 2;
    }
    heap[i] = slot;
    return true;
}

void HeapPopTop() {
    int32_t* heap = Heap();
    const int32_t last = heap[--g_index.freeCount];
    int32_t i = 0;
    for (;;) {
        int32_t child = 2 * i + 1;
        if (child >= g_index.freeCount) break;
        if (child + 1 < g_index.freeCount && heap[child + 1] < heap[child]) ++child;
        if (heap[child] >= last) break;
        heap[i] = heap[child];
        i = child;
    }
    heap[i] = last;
}

// ---- Building --------------------------------------------------------------------------------------------

// Builds the index of `store` from its slots; false (and no index) when memory is short.
bool Rebuild(HostHandle store) {
    Drop();
    const int32_t slotCount = Header(store)->slotCount;
    int32_t inUse = 0;
    const StoreEntry* slots = Slots(store);
    for (int32_t s = 0; s < slotCount; ++s)
        if (slots[s].count >= 0) ++inUse;
    int32_t capacity = kFirstCapacity;
    while (capacity < 2 * (inUse + 1)) capacity *= 2;
    if (capacity > (1 << 27)) return false;
    const int32_t freeCapacity = slotCount - inUse > 8 ? slotCount - inUse : 8;
    g_index.freeHeap = HostNewHandle(freeCapacity * static_cast<int32_t>(sizeof(int32_t)));
    if (g_index.freeHeap == nullptr || !NewTable(capacity)) {
        Drop();
        return false;
    }
    g_index.freeCapacity = freeCapacity;
    // The handles are new: the store has not moved. Free slots in rising order are already a heap.
    int32_t* heap = Heap();
    for (int32_t s = 0; s < slotCount; ++s) {
        if (slots[s].count >= 0) TableInsert(slots[s].key, s);
        else heap[g_index.freeCount++] = s;
    }
    g_index.owner = store;
    g_index.slotCount = slotCount;
    return true;
}

bool Ready(HostHandle store) { return g_useIndex && (InStep(store) || Rebuild(store)); }

}  // namespace

int32_t FindSlot(HostHandle store, int32_t key) {
    const StoreEntry* slots = Slots(store);
    if (Ready(store)) {
        const int32_t at = TableFind(key);
        if (at < 0) return -1;
        const int32_t slot = Table()[at].slot;
        if (slots[slot].key == key && slots[slot].count >= 0) return slot;
        Drop();  // out of step: answer by the scan
    }
    const int32_t slotCount = Header(store)->slotCount;
    for (int32_t s = 0; s < slotCount; ++s)
        if (slots[s].count >= 0 && slots[s].key == key) return s;
    return -1;
}

int32_t FirstFreeSlot(HostHandle store) {
    if (Ready(store)) return g_index.freeCount > 0 ? Heap()[0] : -1;
    const StoreEntry* slots = Slots(store);
    const int32_t slotCount = Header(store)->slotCount;
    for (int32_t s = 0; s < slotCount; ++s)
        if (slots[s].count < 0) return s;
    return -1;
}

void NoteSlotInUse(HostHandle store, int32_t slot, int32_t key) {
    if (store == nullptr || g_index.owner != store) return;
    const int32_t slotCount = Header(store)->slotCount;
    if (slot == g_index.slotCount && slotCount == slot + 1) {
        g_index.slotCount = slotCount;  // a slot added at the end
    } else if (slotCount == g_index.slotCount && g_index.freeCount > 0 && Heap()[0] == slot) {
        HeapPopTop();  // the first free slot taken
    } else {
        Drop();
        return;
    }
    if (!TableReserve()) {
        Drop();
        return;
    }
    TableInsert(key, slot);
}

void NoteSlotFreed(HostHandle store, int32_t slot, int32_t key) {
    if (!InStep(store)) {
        if (g_index.owner == store) Drop();
        return;
    }
    const int32_t at = TableFind(key);
    if (at < 0 || Table()[at].slot != slot) {
        Drop();
        return;
    }
    TableRemove(at);
    if (!HeapPush(slot)) Drop();
}

void ForgetIndex(HostHandle store) {
    if (store != nullptr && g_index.owner == store) Drop();
}

void UseSlotIndex(bool on) {
    if (!on) Drop();
    g_useIndex = on;
}

}  // namespace zor::store
