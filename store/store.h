// store.h: the keyed text store: first-in, first-out queues of texts under 32-bit keys, kept in one
// handle of the global record from the first push until shutdown.
//
// The store handle holds a slot count and then the slots in slot order. A slot serves one key; a
// deleted key's slot is marked free, keeps its place and goes to the next new key, so the slot
// table only grows when every slot is in use. Each queued text is an item handle (next, text) whose
// text is a copy of the pushed handle. An index from key to slot and a list of the free slots are
// kept beside the store (slot_index.h); the slots themselves stay the record of truth.
#ifndef ZOR_STORE_STORE_H
#define ZOR_STORE_STORE_H

#include <cstdint>

#include "frame/frame.h"

namespace zor::store {

// The front of the store handle; the slots follow it.
struct StoreHeader {
    int32_t slotCount;  // number of StoreEntry slots that follow
    int32_t reserved;   // 0; keeps the slots on their natural alignment
};

// One slot.
struct StoreEntry {
    int32_t key;      // the key this slot serves; 0 in a free slot
    int32_t count;    // texts queued; kFreeSlot marks a free slot
    HostHandle head;  // first (oldest) StoreItem, or null
    HostHandle tail;  // last (newest) StoreItem, or null
};

// The record in each item handle.
struct StoreItem {
    HostHandle next;  // the following item, or null
    HostHandle text;  // the queued text's bytes (the store's own copy), or null for an empty text
};

inline constexpr int32_t kFreeSlot = -1;

// The slots of a store handle (the address moves when the store grows: fetch it afresh).
inline StoreEntry* Slots(HostHandle store) {
    return reinterpret_cast<StoreEntry*>(*store + sizeof(StoreHeader));
}
inline StoreHeader* Header(HostHandle store) { return reinterpret_cast<StoreHeader*>(*store); }

// The number of texts queued under `key`; 0 with no store or no slot for the key.
int32_t CountTexts(const frame::PluginGlobals* globals, int32_t key);
// Queues a copy of the whole of `text`'s handle under `key`. False when memory ran short; the store
// is then as it was.
[[nodiscard]] bool PushText(frame::PluginGlobals* globals, int32_t key, const TextBlock& text);
// The oldest text queued under `key`, which passes to the caller; an empty text (length 0, null
// handle) when there is none. The length is the handle's size (at most 32767).
TextBlock PopText(frame::PluginGlobals* globals, int32_t key);
// Releases everything queued under `key` and frees its slot; a key without a slot is ignored.
void DeleteKey(frame::PluginGlobals* globals, int32_t key);

// Releases every queue, item and text, and the store itself; empties StoreHandleField.
void StoreDispose(frame::PluginGlobals* globals);

// Commands.
void StoreCount(frame::CommandCall& call);   // 36: (key) -> count
void StorePush(frame::CommandCall& call);    // 37: (key, text)
void StorePop(frame::CommandCall& call);     // 38: (key) -> text
void StoreDelete(frame::CommandCall& call);  // 39: (key)

}  // namespace zor::store

#endif  // ZOR_STORE_STORE_H
