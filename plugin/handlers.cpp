// handlers.cpp: which procedure runs each command. A selector missing here is not built yet: the
// dispatcher then does nothing and writes no result. The order of the lines does not matter.
#include <array>

#include "plugin/commands.h"
// Subsystem headers (one line each).
#include "transfer/transfer.h"
#include "text/text.h"
#include "net/net.h"
#include "net/tls.h"
#include "store/store.h"
#include "time/datetime.h"
#include "macfile/macfile.h"
#include "gif/gif.h"

namespace zor::plugin {
namespace {

constexpr HandlerEntry kHandlers[] = {
    // Frame.
    {21, ResultMinusOne, kPlain},
    {22, ResultMinusOne, kPlain},
    {23, ResultMinusOne, kPlain},
    {24, ResultEmptyString, kPlain},
    {25, ResultMinusOne, kPlain},
    {26, ResultZero, kPlain},
    {27, ResultEmptyString, kPlain},
    {52, StreamList, kNeedsGlobals},
    {53, CopyTextStub, kPlain},
    {55, ResultZero, kPlain},
    // Subsystems (one line per command).
    {12, transfer::TcpSendFile, kResolvesTcpStream},
    {13, transfer::TcpReceiveFile, kResolvesTcpStream},
    {40, transfer::TcpSendPicture, kResolvesTcpStream},
    {47, transfer::PictureInfo, kPlain},
    {57, transfer::PictureToFile, kPlain},
    {58, transfer::FileToPicture, kPlain},
    {28, text::TextToHtml, kPlain},
    {29, text::HtmlToText, kPlain},
    {30, text::UrlEncode, kPlain},
    {31, text::UrlDecode, kPlain},
    {32, text::MacToIso, kPlain},
    {33, text::IsoToMac, kPlain},
    {2, net::TcpOpen, kNeedsGlobals},
    {3, net::TcpListen, kNeedsGlobals},
    {4, net::TcpClose, kResolvesStream},
    {5, net::TcpRelease, kResolvesStream},
    {6, net::TcpState, kResolvesStream},
    {7, net::TcpSend, kResolvesTcpStream},
    {8, net::TcpReceive, kResolvesTcpStream},
    {9, net::TcpBytesAvailable, kResolvesStream},
    {10, net::TcpStreamInfo, kResolvesStream},
    {11, net::TcpWaitState, kResolvesStream},
    {100, net::TcpWaitData, kResolvesTcpStream},
    {14, net::LocalAddress, kPlain},
    {15, net::AddressToName, kPlain},
    {16, net::NameToAddress, kPlain},
    {41, net::UdpOpen, kNeedsGlobals},
    {42, net::UdpClose, kResolvesStream},
    {43, net::UdpSend, kResolvesUdpStream},
    {44, net::UdpReceive, kResolvesUdpStream},
    {45, net::UdpMaxDatagramSize, kPlain},
    {101, net::TcpStartTls, kResolvesTcpStream},
    {102, net::TlsServerCredentials, kPlain},
    {103, net::TcpTlsInfo, kResolvesTcpStream},
    {34, datetime::Milliseconds, kPlain},
    {35, datetime::ElapsedMilliseconds, kPlain},
    {36, store::StoreCount, kNeedsGlobals},
    {37, store::StorePush, kNeedsGlobals},
    {38, store::StorePop, kNeedsGlobals},
    {39, store::StoreDelete, kNeedsGlobals},
    {48, datetime::DateToRfc822, kPlain},
    {49, datetime::DateToSeconds, kPlain},
    {50, datetime::Rfc822ToDate, kPlain},
    {51, datetime::SecondsToDate, kPlain},
    {54, datetime::MillisecondsSince, kPlain},
    {17, macfile::MacBinaryEncode, kPlain},
    {18, macfile::MacBinaryDecode, kPlain},
    {19, macfile::BinHexEncode, kPlain},
    {20, macfile::BinHexDecode, kPlain},
    {46, gif::PictureToGif, kPlain},
};

// The handlers indexed by selector, checked against the command table.
constexpr std::array<HandlerEntry, kHighestSelector + 1> MakeIndex() {
    std::array<HandlerEntry, kHighestSelector + 1> index{};
    for (const HandlerEntry& h : kHandlers) index[h.selector] = h;
    return index;
}

constexpr bool HandlersMatchCommandTable() {
    std::array<int, kHighestSelector + 1> seen{};
    for (const HandlerEntry& h : kHandlers) {
        if (h.selector < 0 || h.selector > kHighestSelector || !IsCommand(h.selector)) return false;
        if (seen[h.selector]++ != 0) return false;
    }
    return true;
}
static_assert(HandlersMatchCommandTable(), "every handler names a command of the table, once");

constexpr auto kIndex = MakeIndex();

}  // namespace

const HandlerEntry* FindHandler(int32_t selector) {
    if (selector < 0 || selector > kHighestSelector || kIndex[selector].run == nullptr) return nullptr;
    return &kIndex[selector];
}

}  // namespace zor::plugin
