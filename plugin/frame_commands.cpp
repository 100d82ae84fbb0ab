// frame_commands.cpp: the commands whose whole behaviour is a constant or a copy.
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

}  // namespace zor::plugin
