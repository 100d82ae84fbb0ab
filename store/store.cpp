// store.cpp: the keyed text store's commands (36 to 39) and its release at shutdown.
#include "store/store.h"

#include "store/slot_index.h"

namespace zor::store {
namespace {

constexpr int32_t kMaxSlots = (INT32_MAX - static_cast<int32_t>(sizeof(StoreHeader))) / static_cast<int32_t>(sizeof(StoreEntry));

StoreItem* ItemOf(HostHandle item) { return reinterpret_cast<StoreItem*>(*item); }

// Releases the items and texts queued in one slot and marks it free. Disposing of other handles
// never moves the store, so `slot` stays good throughout.
void ClearSlot(StoreEntry& slot) {
    HostHandle item = slot.head;
    while (item != nullptr) {
        HostHandle next = ItemOf(item)->next;
        HostDisposeHandle(ItemOf(item)->text);
        HostDisposeHandle(item);
        item = next;
    }
    slot = StoreEntry{0, kFreeSlot, nullptr, nullptr};
}

// The slot for a key that has none: the first free one, else a new one at the end. -1 when the
// store cannot grow.
int32_t TakeSlot(HostHandle store, int32_t key) {
    int32_t slot = FirstFreeSlot(store);
    if (slot < 0) {
        const int32_t slotCount = Header(store)->slotCount;
        if (slotCount >= kMaxSlots) return -1;
        HostSetHandleSize(store, static_cast<int32_t>(sizeof(StoreHeader)) +
                                     (slotCount + 1) * static_cast<int32_t>(sizeof(StoreEntry)));
        if (HostMemoryError() != HostNoErr) return -1;
        slot = slotCount;
        Header(store)->slotCount = slotCount + 1;
    }
    Slots(store)[slot] = StoreEntry{key, 0, nullptr, nullptr};
    NoteSlotInUse(store, slot, key);
    return slot;
}

}  // namespace

int32_t CountTexts(const frame::PluginGlobals* globals, int32_t key) {
    HostHandle store = globals->StoreHandleField;
    if (store == nullptr) return 0;
    const int32_t slot = FindSlot(store, key);
    return slot < 0 ? 0 : Slots(store)[slot].count;
}

bool PushText(frame::PluginGlobals* globals, int32_t key, const TextBlock& text) {
    // The item and its copy of the text come first, so that a shortage leaves the store as it was.
    // An empty text without a handle is queued as an item without a text.
    HostHandle copy = nullptr;
    if (text.handle != nullptr) {
        copy = text.handle;
        if (HostCopyHandle(&copy) != HostNoErr) return false;
    }
    HostHandle item = HostNewHandle(static_cast<int32_t>(sizeof(StoreItem)));
    if (item == nullptr) {
        HostDisposeHandle(copy);
        return false;
    }
    *ItemOf(item) = StoreItem{nullptr, copy};

    HostHandle store = globals->StoreHandleField;
    if (store == nullptr) {
        store = HostNewHandleClear(static_cast<int32_t>(sizeof(StoreHeader)));
        if (store == nullptr) {
            HostDisposeHandle(ItemOf(item)->text);
            HostDisposeHandle(item);
            return false;
        }
        globals->StoreHandleField = store;
    }
    int32_t slot = FindSlot(store, key);
    if (slot < 0) slot = TakeSlot(store, key);
    if (slot < 0) {
        HostDisposeHandle(ItemOf(item)->text);
        HostDisposeHandle(item);
        return false;
    }

    StoreEntry& entry = Slots(store)[slot];
    ++entry.count;
    if (entry.tail != nullptr) ItemOf(entry.tail)->next = item;
    entry.tail = item;
    if (entry.head == nullptr) entry.head = item;
    return true;
}

TextBlock PopText(frame::PluginGlobals* globals, int32_t key) {
    TextBlock result{0, nullptr};
    HostHandle store = globals->StoreHandleField;
    if (store == nullptr) return result;
    const int32_t slot = FindSlot(store, key);
    if (slot < 0) return result;
    StoreEntry& entry = Slots(store)[slot];
    if (entry.count <= 0 || entry.head == nullptr) return result;

    HostHandle item = entry.head;
    const StoreItem taken = *ItemOf(item);
    result.handle = taken.text;
    if (taken.text != nullptr) {
        // The length is the handle's size; a text holds at most 32767 characters.
        const int32_t size = HostGetHandleSize(taken.text);
        result.length = static_cast<int16_t>(size > INT16_MAX ? INT16_MAX : size);
    }
    entry.head = taken.next;
    --entry.count;
    if (entry.count == 0 || entry.head == nullptr) entry = StoreEntry{entry.key, 0, nullptr, nullptr};
    HostDisposeHandle(item);
    return result;
}

void DeleteKey(frame::PluginGlobals* globals, int32_t key) {
    HostHandle store = globals->StoreHandleField;
    if (store == nullptr) return;
    const int32_t slot = FindSlot(store, key);
    if (slot < 0) return;
    const int8_t state = HostGetHandleState(store);
    HostLockHandle(store);
    ClearSlot(Slots(store)[slot]);
    HostSetHandleState(store, state);
    NoteSlotFreed(store, slot, key);
}

void StoreDispose(frame::PluginGlobals* globals) {
    HostHandle store = globals->StoreHandleField;
    if (store != nullptr) {
        ForgetIndex(store);
        HostLockHandle(store);
        const int32_t slotCount = Header(store)->slotCount;
        for (int32_t s = 0; s < slotCount; ++s) ClearSlot(Slots(store)[s]);
        HostDisposeHandle(store);
    }
    globals->StoreHandleField = nullptr;
}

void StoreCount(frame::CommandCall& call) {
    frame::SetIntResult(call, CountTexts(call.globals, frame::IntArg(call, 1)));
}

void StorePush(frame::CommandCall& call) {
    // A push that finds memory short queues nothing; the command has no result to say so.
    (void)PushText(call.globals, frame::IntArg(call, 1), frame::TextArg(call, 2));
}

void StorePop(frame::CommandCall& call) {
    *frame::TextResult(call) = PopText(call.globals, frame::IntArg(call, 1));
}

void StoreDelete(frame::CommandCall& call) { DeleteKey(call.globals, frame::IntArg(call, 1)); }

}  // namespace zor::store
