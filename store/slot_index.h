// slot_index.h: the store's index from key to slot and its list of free slots.
//
// The index describes one store handle at a time and can always be rebuilt from the slots, which
// stay the record of truth: when it describes another store (or another slot count), or memory for
// it ran short, the next lookup rebuilds it, and when even that fails, lookups scan the slots in
// slot order. Either way the answers are those of the scan: the in-use slot of a key, and the
// first free slot in slot order.
#ifndef ZOR_STORE_SLOT_INDEX_H
#define ZOR_STORE_SLOT_INDEX_H

#include <cstdint>

#include "zor/host_toolbox.h"

namespace zor::store {

// The in-use slot serving `key`, or -1.
int32_t FindSlot(HostHandle store, int32_t key);
// The first free slot in slot order, or -1.
int32_t FirstFreeSlot(HostHandle store);
// Records that `slot` (free, or just added at the end) now serves `key`.
void NoteSlotInUse(HostHandle store, int32_t slot, int32_t key);
// Records that `slot`, which served `key`, is free.
void NoteSlotFreed(HostHandle store, int32_t slot, int32_t key);
// Releases the index when it describes `store` (which is about to be disposed of).
void ForgetIndex(HostHandle store);
// On by default. Off, every lookup scans the slots as a store without an index would: benchmarks
// measure the two against each other.
void UseSlotIndex(bool on);

}  // namespace zor::store

#endif  // ZOR_STORE_SLOT_INDEX_H
