// store.h: the keyed text store: first-in, first-out queues of texts under 32-bit keys.
#ifndef ZOR_STORE_STORE_H
#define ZOR_STORE_STORE_H

#include "plugin/globals.h"

namespace zor::store {

// Releases every queue, item and text, and the store itself; empties StoreHandleField.
void StoreDispose(plugin::PluginGlobals* globals);

}  // namespace zor::store

#endif  // ZOR_STORE_STORE_H
