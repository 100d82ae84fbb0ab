// commands.h: the command procedures of the plug-in frame, and the dispatcher's table of handlers.
#ifndef ZOR_PLUGIN_COMMANDS_H
#define ZOR_PLUGIN_COMMANDS_H

#include "frame/frame.h"

namespace zor::plugin {

// The plug-in's top floor works in the frame's terms throughout.
using namespace zor::frame;

// How the dispatcher prepares a command.
enum HandlerFlags : uint8_t {
    kPlain = 0,
    kNeedsGlobals = 1,    // does nothing before start-up (no global record)
    kResolvesStream = 3,  // argument 1 is a StreamRef resolved to call.entry (implies kNeedsGlobals)
    kTcpOnly = 4,         // with kResolvesStream: a UDP stream gives -1 and the command does not run
    kUdpOnly = 8,         // with kResolvesStream: a TCP stream gives -1 and the command does not run
    kResolvesTcpStream = kResolvesStream | kTcpOnly,
    kResolvesUdpStream = kResolvesStream | kUdpOnly,
};

struct HandlerEntry {
    int32_t selector;
    CommandHandler run;
    uint8_t flags;
};

// The handler of a selector, or null when the selector names no command that is built.
const HandlerEntry* FindHandler(int32_t selector);

// Commands of the frame.
void ResultMinusOne(CommandCall& call);   // 21, 22, 23, 25
void ResultZero(CommandCall& call);       // 26, 55
void ResultEmptyString(CommandCall& call);  // 24, 27
void CopyTextStub(CommandCall& call);     // 53
void StreamList(CommandCall& call);       // 52

// Start-up (selector -1) and shutdown (selector -2).
void StartUp(HostHandle* globalsVariable);
void ShutDown(HostHandle* globalsVariable);

}  // namespace zor::plugin

#endif  // ZOR_PLUGIN_COMMANDS_H
