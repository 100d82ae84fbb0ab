// zor.h: the binary interface between a host and the zor plug-in, and the table of its commands.
//
// A host loads libzor.so, finds RozoZIvav and calls it: selector -1 to start the plug-in, a command
// number for each command, selector -2 to stop it. This header is shared by the plug-in, by zor-host
// and by the tests; the command table below is the one description of every command's arguments.
#ifndef ZOR_ZOR_H
#define ZOR_ZOR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// A relocatable host memory block: a pointer to a master pointer; *h is the block's current address.
typedef char** HostHandle;

// A text argument or result: a character count and the handle holding the characters (no terminator).
typedef struct TextBlock {
    int16_t length;     // valid characters; at most 32767
    HostHandle handle;  // the characters; may be 0 for an empty text
} TextBlock;

// The one exported entry point. params[n-1] points at the host's variable for argument n (0 when an
// optional argument was not supplied); globals is the address of the host's variable that keeps the
// plug-in's global record; result is the pointer-sized result slot.
void RozoZIvav(int32_t selector, void** params, HostHandle* globals, void* result);

typedef void (*RozoZIvavFunction)(int32_t selector, void** params, HostHandle* globals, void* result);

enum { ZorSelectorStartUp = -1, ZorSelectorShutDown = -2 };

#ifdef __cplusplus
}  // extern "C"
#endif

#ifdef __cplusplus
#include <cstddef>
#include <string_view>

namespace zor {

// What params[n-1] points at.
enum class ArgKind : uint8_t {
    Integer,  // int32_t
    Short,    // int16_t: only the first two bytes of the variable are read or written
    String,   // unsigned char[256], counted: length byte, then at most 255 bytes
    Text,     // TextBlock
    Picture,  // HostHandle of picture or BLOB data; the handle's size is the data size
    Date,     // int16_t[3]: day, month, year
};

// What the result slot receives.
enum class ResultKind : uint8_t {
    None,     // nothing is written
    Integer,  // an int32_t at the slot's start
    String,   // the slot holds an unsigned char* to the host's 256-byte buffer, filled as a counted string
    Text,     // the slot holds a TextBlock* that the plug-in fills
    Picture,  // a HostHandle written into the slot
};

// One command. `args` has a letter per argument: i integer, h short, s string, t text, p picture,
// d date; an upper-case letter is an output the command writes; a '?' after a letter marks an
// argument the host may leave out (its address is then 0).
struct CommandSpec {
    int32_t selector;
    const char* name;
    const char* args;
    ResultKind result;
};

struct ArgSpec {
    ArgKind kind;
    bool output;
    bool optional;
};

inline constexpr CommandSpec kCommands[] = {
    {2, "TcpOpen", "shiiihi", ResultKind::Integer},
    {3, "TcpListen", "ihhiiii", ResultKind::Integer},
    {4, "TcpClose", "i", ResultKind::Integer},
    {5, "TcpRelease", "ii", ResultKind::Integer},
    {6, "TcpState", "ii", ResultKind::Integer},
    {7, "TcpSend", "ithi", ResultKind::Integer},
    {8, "TcpReceive", "iThi", ResultKind::Integer},
    {9, "TcpBytesAvailable", "i", ResultKind::Integer},
    {10, "TcpStreamInfo", "iIHHII", ResultKind::Integer},
    {11, "TcpWaitState", "iii", ResultKind::Integer},
    {12, "TcpSendFile", "itiiii", ResultKind::Integer},
    {13, "TcpReceiveFile", "itiii", ResultKind::Integer},
    {14, "LocalAddress", "III", ResultKind::Integer},
    {15, "AddressToName", "iii", ResultKind::String},
    {16, "NameToAddress", "sii", ResultKind::Integer},
    {17, "MacBinaryEncode", "ss", ResultKind::Integer},
    {18, "MacBinaryDecode", "ssS?", ResultKind::Integer},
    {19, "BinHexEncode", "ss", ResultKind::Integer},
    {20, "BinHexDecode", "ssS?", ResultKind::Integer},
    {21, "Unavailable21", "", ResultKind::Integer},
    {22, "Unavailable22", "", ResultKind::Integer},
    {23, "Unavailable23", "", ResultKind::Integer},
    {24, "Unavailable24", "", ResultKind::String},
    {25, "Unavailable25", "", ResultKind::Integer},
    {26, "Unavailable26", "", ResultKind::Integer},
    {27, "Unavailable27", "", ResultKind::String},
    {28, "TextToHtml", "ti", ResultKind::Text},
    {29, "HtmlToText", "ti", ResultKind::Text},
    {30, "UrlEncode", "ti", ResultKind::Text},
    {31, "UrlDecode", "ti", ResultKind::Text},
    {32, "MacToIso", "t", ResultKind::Text},
    {33, "IsoToMac", "t", ResultKind::Text},
    {34, "Milliseconds", "", ResultKind::Integer},
    {35, "ElapsedMilliseconds", "i", ResultKind::Integer},
    {36, "StoreCount", "i", ResultKind::Integer},
    {37, "StorePush", "it", ResultKind::None},
    {38, "StorePop", "i", ResultKind::Text},
    {39, "StoreDelete", "i", ResultKind::None},
    {40, "TcpSendPicture", "ip?ii", ResultKind::Integer},
    {41, "UdpOpen", "iii", ResultKind::Integer},
    {42, "UdpClose", "i", ResultKind::Integer},
    {43, "UdpSend", "itiii", ResultKind::Integer},
    {44, "UdpReceive", "iTIIii", ResultKind::Integer},
    {45, "UdpMaxDatagramSize", "i", ResultKind::Integer},
    {46, "PictureToGif", "piiiii", ResultKind::Picture},
    {47, "PictureInfo", "pIIIII", ResultKind::Integer},
    {48, "DateToRfc822", "ii", ResultKind::String},
    {49, "DateToSeconds", "dii", ResultKind::Integer},
    {50, "Rfc822ToDate", "si", ResultKind::Integer},
    {51, "SecondsToDate", "iDIi", ResultKind::None},
    {52, "StreamList", "i", ResultKind::Integer},
    {53, "CopyTextStub", "sSIi", ResultKind::Integer},
    {54, "MillisecondsSince", "i", ResultKind::Integer},
    {55, "Unavailable55", "iiiii", ResultKind::Integer},
    {57, "PictureToFile", "pt", ResultKind::Integer},
    {58, "FileToPicture", "t", ResultKind::Picture},
    // zor's own commands, from 100 up.
    {100, "TcpWaitData", "ii", ResultKind::Integer},
    {101, "TcpStartTls", "isi", ResultKind::Integer},
    {102, "TlsServerCredentials", "tt", ResultKind::Integer},
    {103, "TcpTlsInfo", "iSSS", ResultKind::Integer},
};

inline constexpr size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);
inline constexpr int32_t kHighestSelector = 103;
inline constexpr int32_t kSpecifiedCommandCount = 56;  // selectors 2 to 58 but 56
inline constexpr int32_t kFirstOwnSelector = 100;      // zor's own commands rise from here

// The command of a selector, or nullptr when the selector names none.
constexpr const CommandSpec* FindCommand(int32_t selector) {
    for (const CommandSpec& c : kCommands)
        if (c.selector == selector) return &c;
    return nullptr;
}

constexpr bool IsCommand(int32_t selector) {
    for (const CommandSpec& c : kCommands)
        if (c.selector == selector) return true;
    return false;
}

constexpr const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& c : kCommands)
        if (name == c.name) return &c;
    return nullptr;
}

// Number of arguments of a command (letters of its argument string).
constexpr int ArgCount(const CommandSpec& c) {
    int n = 0;
    for (const char* p = c.args; *p; ++p)
        if (*p != '?') ++n;
    return n;
}

// Argument n (0-based) of a command.
constexpr ArgSpec Arg(const CommandSpec& c, int n) {
    const char* p = c.args;
    for (;; ++p) {
        if (*p == '?') continue;
        if (n-- == 0) break;
    }
    ArgSpec a{ArgKind::Integer, *p >= 'A' && *p <= 'Z', p[1] == '?'};
    switch (*p | 0x20) {
        case 'i': a.kind = ArgKind::Integer; break;
        case 'h': a.kind = ArgKind::Short; break;
        case 's': a.kind = ArgKind::String; break;
        case 't': a.kind = ArgKind::Text; break;
        case 'p': a.kind = ArgKind::Picture; break;
        case 'd': a.kind = ArgKind::Date; break;
    }
    return a;
}

// The table is checked once, when this header is compiled: selectors in rising order, every selector
// from 2 to 58 but 56 present, zor's own commands from 100 up after them, and only known letters in
// the argument strings.
constexpr bool CommandTableIsWellFormed() {
    if (kCommandCount < kSpecifiedCommandCount) return false;
    int32_t previous = 1;
    for (const CommandSpec& c : kCommands) {
        if (c.selector <= previous || c.selector == 56 || c.selector > kHighestSelector) return false;
        if (c.selector > 58 && c.selector < kFirstOwnSelector) return false;
        if (c.selector <= 58 && c.selector != previous + 1 && !(previous == 55 && c.selector == 57)) return false;
        previous = c.selector;
        for (const char* p = c.args; *p; ++p) {
            switch (*p | 0x20) {
                case 'i': case 'h': case 's': case 't': case 'p': case 'd': break;
                default:
                    if (*p != '?' || p == c.args || p[-1] == '?') return false;
            }
        }
    }
    return true;
}
static_assert(CommandTableIsWellFormed(), "command table");

}  // namespace zor
#endif  // __cplusplus

#endif  // ZOR_ZOR_H
