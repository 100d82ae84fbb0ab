// frame_commands.cpp: the commands whose whole behaviour is a constant, a copy or a count of the
// stream table.
#include <cstring>

#include "plugin/commands.h"

namespace zor::plugin {

void ResultMinusOne(CommandCall& call) { SetIntResult(call, -1); }

void ResultZero(CommandCall& call) { SetIntResult(call, 0); }

void ResultEmptyString(CommandCall& call) { StringResult(call)[0] = 0; }

// Copies argument 1 (length byte and characters) into argument 2 and sets argument 3 to 1000.
void CopyTextStub(CommandCall& call) {
    const unsigned char* source = StringArg(call, 1);
    std::memmove(StringArg(call, 2), source, static_cast<size_t>(source[0]) + 1);
    SetIntArg(call, 3, 1000);
    SetIntResult(call, 0);
}

// StreamList (n): n = 0 gives the count of references handed out; any other n the lowest StreamRef
// in use. An n outside 0..1024 gives -1 unless some stream is open.
void StreamList(CommandCall& call) {
    const int32_t n = IntArg(call, 1);
    int32_t result = 0;
    if (n < 0 || n > kStreamTableSize) result = -1;
    if (n == 0) {
        result = call.globals->OpenStreamCount;
    } else {
        for (int32_t ref = 1; ref < kStreamTableSize; ++ref) {
            if (call.globals->StreamTable[ref] != nullptr) {
                result = ref;
                break;
            }
        }
    }
    SetIntResult(call, result);
}

}  // namespace zor::plugin
