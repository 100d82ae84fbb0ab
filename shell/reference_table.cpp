// reference_table.cpp: the meanings of every command's arguments, result and statuses, one entry per
// command of kCommands in the same order (checked when this file is compiled).
#include "shell/reference.h"

namespace zor::shell {
namespace {

constexpr const char* N = "";  // the status's shared name (kStatusNames)

#define NO_STREAM {-1, "the reference names no stream"}
#define FILE_STATUSES \
    {-34, N}, {-36, N}, {-37, N}, {-39, "the file ends before its header says it does"}, \
    {-49, "the destination is the source file, under this or another name"}, {-54, N}, {-108, N}

}  // namespace

constexpr TopicNote kTopicNotes[] = {
    {"Conversions", "Conversion flags",
     "TcpSend, TcpReceive, TcpSendFile and TcpReceiveFile take conversion flags: the sum of the\n"
     "steps wanted (0 = none). Other bits are ignored.\n"
     "   1  Mac Roman to ISO-8859-1 (as MacToIso)\n"
     "   2  ISO-8859-1 to Mac Roman (as IsoToMac)\n"
     "   4  every CR becomes CR LF (a CR LF already there becomes CR LF LF)\n"
     "   8  every CR LF becomes CR\n"
     "  16  text to HTML entities, markup escaped too (as TextToHtml mode 0)\n"
     "  32  HTML entities back to text, markup escapes too (as HtmlToText mode 0)\n"
     "  64  text to HTML entities, markup kept (as TextToHtml mode 1)\n"
     "Order: 1, 2, 4 and 8 run in that order on the text. Then one HTML step: 64 when set, else 32,\n"
     "else 16 (each would start from the same text, so only that one runs). So 2 + 8 = 10 turns a\n"
     "received ISO-8859-1 text with CR LF line ends into Mac Roman with CR ones, and 1 + 4 = 5 does\n"
     "the reverse before a send. A step that runs out of memory stops the steps after it.\n"},
    {"Numbers", "Numbers that wrap",
     "Integers cross the interface as signed 32-bit values, and some are narrower; a value past the\n"
     "top reads back negative. How to read each back:\n"
     "  Host seconds (CurrentSeconds, DateToSeconds, Rfc822ToDate ...) count from 1904-01-01 as an\n"
     "    unsigned 32-bit number, but read as signed: every date after 1972-01-19 is negative, and\n"
     "    the count wraps on 2040-02-06. Add 4294967296 to a negative value for the true count;\n"
     "    the date commands take the value as it is.\n"
     "  TcpState(s; 17), the bytes sent since the stream was established, keeps 16 bits: after\n"
     "    300237 bytes it reads -27443. Add 65536 to a negative value; the count is modulo 65536.\n"
     "  The ports TcpStreamInfo sets are 16-bit: a port above 32767 reads back negative (-15536\n"
     "    for 50000). Add 65536 to a negative port. (UdpReceive gives the port as it is.)\n"},
};
const size_t kTopicNoteCount = sizeof kTopicNotes / sizeof kTopicNotes[0];

constexpr CommandNote kCommandNotes[] = {
    {2, "TCP streams", "open an outgoing TCP connection",
     {"host: a host name or dotted address; empty means this machine", "port: the remote port",
      "buffer: socket buffer size in bytes, 8192 (also for less) to 32766; 32767 or more: the system's own, growing with the connection (fastest)", "unused: not read",
      "reuse: not read (every open makes a new stream)", "local port: 0 = any",
      "local address: 0 = any, else a 32-bit address such as 0x7F000001"},
     "a stream reference (1 to 1023), or 0",
     {{0, "the name did not resolve, the connection was refused at once, or no reference is free"}},
     "$s := TcpOpen(\"127.0.0.1\"; 8080; 0; 0; 0; 0; 0)"},
    {3, "TCP streams", "listen for one incoming TCP connection (listeners may share a port)",
     {"unused: not read", "unused: not read", "local port: 0 = any", "buffer: socket buffer size in bytes, 8192 (also for less) to 32766; 32767 or more: the system's own, growing with the connection (fastest)",
      "unused: not read", "reuse: not read", "local address: 0 = any"},
     "a stream reference, or 0",
     {{0, "the port could not be bound or no reference is free"}},
     "$l := TcpListen(0; 0; 8080; 0; 0; 0; 0x7F000001)"},
    {4, "TCP streams", "send what is pending and close a stream gracefully",
     {"stream: a stream reference"},
     "0, or -1",
     {{0, "closed"}, {-1, "the reference names no stream, or the socket did not close"}},
     "TcpClose($s)"},
    {5, "TCP streams", "release a stream (its socket closed at once) and free its reference",
     {"stream: a stream reference", "keep: 0 gives the reference back; any other value keeps it counted"},
     "0, or -1; nothing is written when the reference names no stream",
     {{0, "released"}, {-1, "the socket did not close cleanly (the stream is released all the same)"}},
     "TcpRelease($s; 0)"},
    {6, "TCP streams", "a stream's state, or a network counter",
     {"stream: a stream reference, or -18 to -1 for a network counter",
      "selector: 0 the state, 14 the bytes of the last receive, 17 the bytes sent since established "
      "(16 bits: negative past 32767, add 65536; help Numbers)"},
     "the state, the count, or the counter",
     {{0, "idle"}, {2, "listening"}, {6, "connecting"}, {8, "established"}, {14, "closed"}, {20, "failed"},
      NO_STREAM},
     "$state := TcpState($s; 0)"},
    {7, "TCP streams", "send a text, after the selected conversions; small texts can be queued",
     {"stream: a stream reference", "text: the bytes to send",
      "push: 0 sends now; 1 to 255 queues until a send with 0; more queues until that many bytes wait",
      "conversions: the conversion flags applied first (0 = none)"},
     "0 once sent, the bytes queued, or -1",
     {{0, "sent (or nothing to send)"},
      {-1, "the reference names no stream, the connection broke, a conversion ran out of memory, or "
           "the send was cancelled"}},
     "TcpSend($s; \"GET / HTTP/1.0\\r\\n\\r\\n\"; 0; 0)"},
    {8, "TCP streams", "receive what has arrived, then convert it",
     {"stream: a stream reference", "text: receives the bytes", "maximum: the most bytes to take (0 = 32000)",
      "conversions: the conversion flags applied after receiving (0 = none)"},
     "the bytes received (before conversion), 0, or -1",
     {{0, "nothing was waiting"},
      {-1, "the reference names no stream, the connection was reset or aborted, or a conversion ran "
           "out of memory (the text keeps the bytes as received)"}},
     "$n := TcpReceive($s; $text; 0; 0)"},
    {9, "TCP streams", "bytes waiting to be read",
     {"stream: a stream reference"},
     "the count",
     {NO_STREAM},
     "$n := TcpBytesAvailable($s)"},
    {10, "TCP streams", "the addresses and ports of a stream",
     {"stream: a stream reference", "remote address: set to the peer's address",
      "remote port: set to the peer's port (16-bit: above 32767 reads negative, add 65536)",
      "local port: set to this end's port (16-bit, as the remote port)", "unused: set to -1",
      "local address: set to this end's address"},
     "0, or -1",
     {{0, "the outputs are set"}, NO_STREAM},
     "TcpStreamInfo($s; $address; $port; $local; $x; $me)"},
    {11, "TCP streams", "wait until a stream reaches a state, or a time-out",
     {"stream: a stream reference", "target: the state to reach (0 = established; negative = wait out the time-out)",
      "time-out: seconds (0 or less = none)"},
     "the last state read, or -1",
     {{2, "listening"}, {6, "connecting: the time-out passed first"}, {8, "established"}, {14, "closed"},
      {20, "failed"}, NO_STREAM},
     "$state := TcpWaitState($s; 8; 10)"},
    {12, "file transfer", "send a file, or a byte range of it, over a stream",
     {"stream: a stream reference", "file: the file's name", "conversions: the conversion flags applied to each chunk",
      "chunk: bytes per chunk (0 = 16384)", "start: the first byte's offset", "end: the offset after the last byte (0 = the end)"},
     "written only when the transfer could not start or a chunk failed; unchanged after a send error or "
     "a cancel",
     {{-1, "the reference names no stream, the file could not be opened, read or positioned, or a "
           "chunk could not be converted"},
      {-108, N}},
     "TcpSendFile($s; \"page.html\"; 0; 0; 0; 0)"},
    {13, "file transfer", "write what a stream receives into a file until the peer closes or goes idle",
     {"stream: a stream reference", "file: the file's name", "conversions: the conversion flags applied to each chunk",
      "append: 1 appends to the file, else it is replaced", "idle: seconds of silence that end it (0 or less = none)"},
     "written only on failure; the stream is released in every case that opened the file",
     {{-1, "the reference names no stream, the file could not be opened or written, a chunk could not "
           "be converted, or the transfer was cancelled (the file is incomplete)"},
      {-108, N}},
     "TcpReceiveFile($s; \"upload.bin\"; 0; 0; 30)"},
    {14, "names and addresses", "this machine's address",
     {"address: set to the address (0 until an outgoing connection has been established)", "five: set to 5",
      "minus one: set to -1"},
     "0",
     {{0, "the outputs are set"}},
     "LocalAddress($me; $x; $y)"},
    {15, "names and addresses", "an address as a host name or dotted text",
     {"address: a 32-bit address", "mode: 1 the name only, 2 the dotted text only, else the name or the dotted text",
      "unused: not read"},
     "a text (empty in mode 1 when the address has no name)",
     {},
     "$name := AddressToName(0x7F000001; 0; 0)"},
    {16, "names and addresses", "a host name or dotted text as an address",
     {"name: a host name or dotted text; empty means this machine", "unused: not read", "unused: not read"},
     "the address, or 0",
     {{0, "the name did not resolve"}},
     "$address := NameToAddress(\"localhost\"; 0; 0)"},
    {17, "Macintosh files", "a file (both forks and Finder information) to a MacBinary II file",
     {"source: the file to encode", "destination: the MacBinary file to write"},
     "0, or the status that stopped the conversion",
     {{0, N}, {-43, "the source, or the destination's folder, does not exist"}, {-120, N}, FILE_STATUSES,
      {2, N}, {-128, "cancelled: the destination holds what was written so far"}},
     "$status := MacBinaryEncode(\"report.txt\"; \"report.bin\")"},
    {18, "Macintosh files", "a MacBinary file back to a file",
     {"source: the MacBinary file", "destination: the file to write",
      "name: optional; emptied before the conversion (kept for older programs; nothing else is written there)"},
     "0, or the status that stopped the conversion",
     {{0, N}, {-43, "the source, or the destination's folder, does not exist"}, {-120, N}, FILE_STATUSES,
      {-1, "the stream ends inside its final padding"}, {2, N}, {3, N},
      {-128, "cancelled: the destination holds what was written so far"}},
     "$status := MacBinaryDecode(\"report.bin\"; \"report.txt\")"},
    {19, "Macintosh files", "a file to a BinHex 4.0 text file",
     {"source: the file to encode", "destination: the BinHex file to write"},
     "0, or the status that stopped the conversion",
     {{0, N}, {-43, "the source, or the destination's folder, does not exist"}, {-120, N}, FILE_STATUSES,
      {-128, "cancelled: the destination holds what was written so far"}},
     "$status := BinHexEncode(\"report.txt\"; \"report.hqx\")"},
    {20, "Macintosh files", "a BinHex 4.0 text file back to a file",
     {"source: the BinHex file", "destination: the file to write (the name inside the BinHex data is not used)",
      "name: optional; emptied before the conversion (kept for older programs; nothing else is written there)"},
     "0, or the status that stopped the conversion",
     {{0, N}, {-43, "the source, or the destination's folder, does not exist"}, {-120, N}, {-34, N}, {-36, N},
      {-37, N}, {-49, "the destination is the source file, under this or another name"}, {-54, N}, {-108, N}, {2, N},
      {4, N},
      {5, "damaged BinHex data: a bad character, a checksum mismatch, a stream cut short or a name too long"},
      {-128, "cancelled: the destination holds what was written so far"}},
     "$status := BinHexDecode(\"report.hqx\"; \"report.txt\")"},
    {21, "kept for compatibility", "does nothing", {}, "-1", {{-1, "always"}}, "Unavailable21()"},
    {22, "kept for compatibility", "does nothing", {}, "-1", {{-1, "always"}}, "Unavailable22()"},
    {23, "kept for compatibility", "does nothing", {}, "-1", {{-1, "always"}}, "Unavailable23()"},
    {24, "kept for compatibility", "does nothing", {}, "an empty text", {}, "Unavailable24()"},
    {25, "kept for compatibility", "does nothing", {}, "-1", {{-1, "always"}}, "Unavailable25()"},
    {26, "kept for compatibility", "does nothing", {}, "0", {{0, "always"}}, "Unavailable26()"},
    {27, "kept for compatibility", "does nothing", {}, "an empty text", {}, "Unavailable27()"},
    {28, "texts", "a text to HTML entities",
     {"text: Mac Roman text", "mode: 0 also escapes markup (< > & \"); any other value keeps it"},
     "a new text (empty when memory ran out) of at most 32767 bytes: a longer one is cut after the last whole "
     "entity that fits, so a result longer than 32759 bytes may have been cut (a text of at most 4095 bytes "
     "never is)", {}, "$html := TextToHtml(\"caf\\x8E & co\"; 0)"},
    {29, "texts", "HTML entities back to text",
     {"text: HTML", "mode: 0 also resolves the markup escapes, 2 also strips tags, any other value leaves them"},
     "a new text (empty when memory ran out)", {}, "$text := HtmlToText(\"caf&eacute;\"; 0)"},
    {30, "texts", "escape a text for URLs",
     {"text: the text", "mode: 0 form encoding (a space becomes +), any other value URL encoding (%20)"},
     "a new text of at most 32767 bytes: a longer one is cut after the last whole escape that fits, so a "
     "result longer than 32764 bytes may have been cut (a text of at most 10922 bytes never is)", {},
     "$query := UrlEncode(\"a b&c\"; 0)"},
    {31, "texts", "undo URL or quoted-printable escapes",
     {"text: the text", "mode: 0 % escapes and + as a space, -1 quoted-printable (= escapes), else % escapes only"},
     "a new text, always turned from ISO-8859-1 into Mac Roman after decoding: do not pass it to IsoToMac "
     "again (IsoToMac(UrlDecode(\"caf=E9\"; -1)) converts twice: caf and a pi sign, Mac Roman 0xB9). In mode -1 a soft line "
     "break (= then CR LF) is kept as it stands",
     {}, "$text := UrlDecode(\"caf=E9\"; -1)  // caf and e acute, already Mac Roman"},
    {32, "texts", "Mac Roman text to ISO-8859-1", {"text: Mac Roman text"}, "a new text", {},
     "$iso := MacToIso(\"caf\\x8E\")"},
    {33, "texts", "ISO-8859-1 text to Mac Roman", {"text: ISO-8859-1 text"}, "a new text", {},
     "$mac := IsoToMac(\"caf\\xE9\")"},
    {34, "dates and timers", "the millisecond counter (wraps after about 49.7 days)", {}, "the counter", {},
     "$start := Milliseconds()"},
    {35, "dates and timers", "milliseconds since a counter value", {"start: an earlier value of Milliseconds"},
     "the milliseconds since", {}, "$ms := ElapsedMilliseconds($start)"},
    {36, "keyed store", "the number of texts queued under a key", {"key: any integer"}, "the count (0 for an unknown key)",
     {}, "$n := StoreCount(7)"},
    {37, "keyed store", "append a text to a key's queue", {"key: any integer", "text: the text to queue"}, "nothing",
     {}, "StorePush(7; \"first\")"},
    {38, "keyed store", "take the oldest text of a key's queue", {"key: any integer"},
     "the text (empty when the queue is)", {}, "$text := StorePop(7)"},
    {39, "keyed store", "discard a key and its texts", {"key: any integer"}, "nothing", {}, "StoreDelete(7)"},
    {40, "file transfer", "send a picture's GIF or JPEG bytes over a stream",
     {"stream: a stream reference", "picture: optional; the picture", "start: the first byte's offset (0 with end 0: the GIF or JPEG data)",
      "end: the last byte's offset, included (0 = the end)"},
     "0, or -1",
     {{0, "sent"},
      {-1, "the reference names no stream, there is no picture or nothing to send, the connection "
           "broke, or the send was cancelled"}},
     "TcpSendPicture($s; $picture; 0; 0)"},
    {41, "UDP", "open a UDP endpoint", {"port: the local port (0 = any)", "unused: not read", "unused: not read"},
     "a stream reference, or 0", {{0, "the port could not be bound or no reference is free"}},
     "$u := UdpOpen(0; 0; 0)"},
    {42, "UDP", "close a UDP endpoint and free its reference", {"stream: a UDP stream reference"}, "0, or -1",
     {{0, "closed"}, NO_STREAM}, "UdpClose($u)"},
    {43, "UDP", "send a datagram",
     {"stream: a UDP stream reference",
      "datagram: the bytes, sent whole as one datagram (up to 32767 bytes; 548 is what every path "
      "carries unsplit, see UdpMaxDatagramSize)",
      "address: the destination address", "port: the destination port", "unused: not read"},
     "0, or -1", {{0, "sent"}, {-1, "the reference names no stream, or the system refused the datagram"}},
     "UdpSend($u; \"ping\"; 0x7F000001; 9999; 0)"},
    {44, "UDP", "receive a datagram, with the sender's address and port",
     {"stream: a UDP stream reference", "datagram: receives the bytes", "address: set to the sender's address",
      "port: set to the sender's port", "unused: not read",
      "time-out: seconds (0 = wait without limit; negative = only what is waiting now)"},
     "0, or -1",
     {{0, "received"},
      {-1, "the reference names no stream, nothing came in time, the datagram was longer than 2048 "
           "bytes, or the wait was cancelled"}},
     "$r := UdpReceive($u; $data; $from; $port; 0; 5)"},
    {45, "UDP", "the datagram size every network path carries without splitting it",
     {"stream: not read"}, "548 (UdpSend sends longer datagrams too, whole)", {}, "$most := UdpMaxDatagramSize(0)"},
    {46, "pictures", "draw a picture into an 8-bit image and make it a GIF",
     {"picture: the picture", "flags: 1 interlaced, 2 the colour at (column, row) becomes transparent",
      "width: pixels (0 or less = the picture's frame)", "height: pixels (0 or less = the picture's frame)",
      "column: of the transparent pixel", "row: of the transparent pixel"},
     "a new picture holding the GIF data, or none", {}, "$gif := PictureToGif($picture; 0; 0; 0; 0; 0)"},
    {47, "pictures", "a picture's data size, frame and whether it is GIF data",
     {"picture: the picture", "top: set to the frame's top", "left: set to the frame's left",
      "bottom: set to the frame's bottom", "right: set to the frame's right", "GIF: set to 1 for GIF data, else 0"},
     "the data size in bytes", {}, "$size := PictureInfo($picture; $top; $left; $bottom; $right; $gif)"},
    {48, "dates and timers", "host seconds to an RFC 822 date text",
     {"seconds: host seconds (from 1904; negative after 1972, help Numbers)",
      "zone: 0 shows local time with its offset; any other value GMT"},
     "the date text", {}, "$date := DateToRfc822($seconds; 0)"},
    {49, "dates and timers", "a date and a time of day to host seconds",
     {"date: the date", "time: seconds since midnight", "zone: 1 takes them as local time; any other value as GMT"},
     "host seconds (negative after 1972: add 4294967296 for the count; help Numbers)", {},
     "$seconds := DateToSeconds(!2024-02-29!; 43200; 0)"},
    {50, "dates and timers", "an RFC 822 (or compact) date text to host seconds in GMT",
     {"text: the date text", "mode: 1 compact layout, any other value RFC 822"},
     "host seconds, or 0", {{0, "the text holds no digit"}},
     "$seconds := Rfc822ToDate(\"Thu, 29 Feb 2024 12:00:00 GMT\"; 0)"},
    {51, "dates and timers", "host seconds to a date and a time of day",
     {"seconds: host seconds", "date: set to the date", "time: set to the seconds since midnight",
      "zone: 1 gives GMT; any other value local time"},
     "nothing", {}, "SecondsToDate($seconds; $date; $time; 0)"},
    {52, "TCP streams", "the count of open streams, or the lowest stream reference in use",
     {"which: 0 the count of references in use; any other value the lowest reference in use"},
     "the count or the reference",
     {{-1, "no reference is in use and which is outside 0 to 1024 (from 1 to 1024 the answer is then 0)"}},
     "$open := StreamList(0)"},
    {53, "kept for compatibility", "copies its first argument into its second and sets its third to 1000",
     {"from: a string", "to: set to a copy of from", "thousand: set to 1000", "unused: not read"}, "0",
     {{0, "always"}}, "CopyTextStub(\"abc\"; $copy; $n; 0)"},
    {54, "dates and timers", "milliseconds since a counter value (as ElapsedMilliseconds)",
     {"start: an earlier value of Milliseconds"}, "the milliseconds since", {}, "$ms := MillisecondsSince($start)"},
    {55, "kept for compatibility", "does nothing",
     {"unused: not read", "unused: not read", "unused: not read", "unused: not read", "unused: not read"}, "0",
     {{0, "always"}}, "Unavailable55(0; 0; 0; 0; 0)"},
    {57, "pictures", "write a picture's GIF or JPEG bytes to a file",
     {"picture: the picture", "file: the file's name"},
     "0, or the system's error number",
     {{0, "written"}, {2, "the file's folder does not exist"}, {13, "permission denied"}, {21, "the name is a folder"},
      {28, "disk full"}, {5, "input/output error"}},
     "$status := PictureToFile($gif; \"out.gif\")"},
    {58, "pictures", "read a whole file into a new picture",
     {"file: the file's name"}, "the picture, or none when the file cannot be read or does not fit in memory", {},
     "$picture := FileToPicture(\"photo.jpg\")"},
    // zor's own commands.
    {100, "TCP streams", "wait until a stream has bytes to read, its peer closes, or a time-out",
     {"stream: a stream reference", "ticks: the longest wait, in sixtieths of a second (0 or less = look once)"},
     "the bytes waiting, 0, or -1",
     {{0, "the ticks passed first, the host asked to cancel, or a listening stream took a connection"},
      {-1, "the reference names no stream, the stream failed, or its peer closed and nothing is left to read"}},
     "$n := TcpWaitData($s; 600)"},
    {101, "TLS", "run the TLS handshake on an established stream; every later byte of it goes through the session",
     {"stream: a stream reference",
      "server name: the name the server's certificate must carry (a client sends it as SNI); an address is "
      "checked against the certificate's addresses",
      "flags: bit 0 (1) the server side (with TlsServerCredentials); bit 1 (2) no certificate checks, for "
      "tests and private networks only; bits 8 to 15 the handshake time-out in seconds (0 = 30)"},
     "0 once the session is up, or a negative status; after a failure the stream is failed (20)",
     {{0, "the session is up (TLS 1.2 or later)"},
      {-1, "the reference names no stream, or the stream is not established, is already in TLS, or a client "
           "that checks certificates was given no server name; or OpenSSL (libssl.so.3, loaded at the first TLS "
           "command) cannot be loaded: the stream then stays as it was, in plain text"},
      {-2, "the handshake failed: the peer does not speak TLS 1.2 or later, or sent something else"},
      {-3, "the certificate is not trusted (no chain to an authority of the system's store)"},
      {-4, "the certificate is not for the server name given"},
      {-5, "the peer closed or reset the connection during the handshake"},
      {-6, "cancelled, or the handshake time-out passed"},
      {-7, "the server side has no credentials (TlsServerCredentials)"},
      {-8, "the certificate has expired or is not valid yet"}, {-108, N}},
     "$status := TcpStartTls($s; \"example.org\"; 0)"},
    {102, "TLS", "load the certificate chain and key that server-side streams present from now on",
     {"certificate: the PEM file of the certificate, then its chain", "key: the PEM file of its private key"},
     "0, or a status",
     {{0, "loaded"}, {-43, N},
      {-1, "the files are not a certificate and its matching key, or OpenSSL (libssl.so.3) cannot be loaded"},
      {-108, N}},
     "$status := TlsServerCredentials(\"server.pem\"; \"server.key\")"},
    {103, "TLS", "what a stream's TLS session agreed",
     {"stream: a stream reference", "version: set to the protocol version (TLSv1.3)",
      "cipher: set to the cipher suite's name", "peer: set to the peer certificate's subject (empty when none)"},
     "0, or -1",
     {{0, "the outputs are set"}, {-1, "the reference names no stream, or the stream is not in TLS (outputs empty), as every stream is when "
           "OpenSSL (libssl.so.3) cannot be loaded"}},
     "$status := TcpTlsInfo($s; $version; $cipher; $peer)"},
};

const size_t kCommandNoteCount = sizeof kCommandNotes / sizeof kCommandNotes[0];

namespace {

// One entry per command, in the table's order, with a meaning for each argument and an example.
constexpr bool NotesMatchTheCommandTable() {
    if (sizeof kCommandNotes / sizeof kCommandNotes[0] != kCommandCount) return false;
    for (size_t i = 0; i < kCommandCount; ++i) {
        const CommandNote& note = kCommandNotes[i];
        if (note.selector != kCommands[i].selector || note.example == nullptr || note.result == nullptr) return false;
        int args = 0;
        while (args < kNoteArgs && note.args[args] != nullptr) ++args;
        if (args != ArgCount(kCommands[i])) return false;
        if (note.statuses[kNoteStatuses - 1].text != nullptr) return false;  // room for the list's end
    }
    return true;
}
static_assert(NotesMatchTheCommandTable(), "the command reference and kCommands disagree");

}  // namespace

}  // namespace zor::shell
