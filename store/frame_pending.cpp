// frame_pending.cpp: the frame's view of the store until it exists: nothing is ever pushed.
#include "store/store.h"

namespace zor::store {

void StoreDispose(plugin::PluginGlobals* globals) { globals->StoreHandleField = nullptr; }

}  // namespace zor::store
