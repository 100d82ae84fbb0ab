// macfile.h: the Macintosh file encodings: MacBinary II and BinHex 4.0, file to file through the
// host's Macintosh-style file operations, and the CRC-16/XMODEM checksum they share.
//
// Statuses: 0 success; negative numbers are the host's Mac OS statuses passed through (-39 end of
// file, -43 not found ...); this subsystem adds its own:
//   2  no memory for the conversion's state or buffers
//   3  not a MacBinary header
//   4  BinHexDecode found no BinHex data in the source
//   5  BinHexDecode found damaged data: a bad character, a CRC mismatch, a stream cut short, a
//      name too long, or stray characters before the closing ':'
// and -128 (Mac OS's "user cancelled"): the host asked for the running command to stop.
#ifndef ZOR_MACFILE_MACFILE_H
#define ZOR_MACFILE_MACFILE_H

#include <cstddef>
#include <cstdint>

#include "frame/frame.h"

namespace zor::macfile {

inline constexpr int16_t kNoMemory = 2;
inline constexpr int16_t kNotMacBinary = 3;
inline constexpr int16_t kNoBinHexData = 4;
inline constexpr int16_t kDamagedBinHex = 5;
inline constexpr int16_t kCancelled = -128;

inline constexpr int32_t kChunkSize = 16384;     // BinHex: bytes per input chunk, and per HostYield
// MacBinary: bytes per transfer, and per HostYield. Larger than BinHex's chunk because MacBinary is
// nearly a copy, where the count of system calls decides the speed: 16 KiB transfers cost half as
// much processor time again as a copy made with 64 KiB ones. Memory stays fixed all the same.
inline constexpr int32_t kMacBinaryChunk = 65536;
inline constexpr int kHeaderSize = 128;          // a MacBinary header
inline constexpr int kMaxMacNameLength = 63;     // a Macintosh leaf name

// ---- CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final XOR) --------------------
// Continues `crc` over bytes[0..count).
[[nodiscard]] uint16_t Crc16Xmodem(const uint8_t* bytes, size_t count, uint16_t crc = 0);
// One byte; the table the two share.
[[nodiscard]] inline uint16_t Crc16XmodemByte(uint16_t crc, uint8_t byte);
extern const uint16_t kCrc16Table[256];
inline uint16_t Crc16XmodemByte(uint16_t crc, uint8_t byte) {
    return static_cast<uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ byte) & 0xFF]);
}

// ---- MacBinary -----------------------------------------------------------------------------------
// The conversion's record, one host handle per command (encoding reads the forks of `name`,
// decoding writes them).
struct MacBinaryState {
    unsigned char name[64];   // leaf name of the file whose forks are read or written, counted
    int16_t volume;           // its volume reference
    int32_t directory;        // its parent-directory id
    HostForkRef fork;         // fork open on it now; 0 = none
    int32_t dataLength;       // data fork length
    int32_t resourceLength;   // resource fork length
    int32_t position;         // offset in the MacBinary stream of the next byte produced or consumed
    uint8_t header[kHeaderSize];  // the MacBinary header
};

// The five boundaries of a MacBinary stream: H 128, A end of data, B end of its padding, C end of
// the resource fork, D end of its padding.
struct MacBinaryBounds {
    int64_t h, a, b, c, d;
};
[[nodiscard]] MacBinaryBounds BoundsOf(int32_t dataLength, int32_t resourceLength);
[[nodiscard]] inline int32_t PadOf(int32_t n) { return n % 128 == 0 ? 0 : 128 - n % 128; }

// Fields of an accepted header.
struct MacBinaryFields {
    unsigned char name[64];   // counted
    uint32_t type;
    uint32_t creator;
    uint16_t finderFlags;     // byte 73 high, byte 101 low
    int32_t dataLength;
    int32_t resourceLength;
    uint32_t created;
    uint32_t modified;
};

// 0 when the 128 bytes are not a MacBinary header, 1 (MacBinary I) or 2 (MacBinary II) otherwise;
// `fields` is filled when accepted.
[[nodiscard]] int AcceptMacBinaryHeader(const uint8_t header[kHeaderSize], MacBinaryFields* fields);
// Builds the header of (volume, directory, name) from its catalog; the two fork lengths returned.
[[nodiscard]] int16_t BuildMacBinaryHeader(int16_t volume, int32_t directory, const unsigned char* name,
                                           uint8_t header[kHeaderSize], int32_t* dataLength,
                                           int32_t* resourceLength);
// Produces up to *count bytes of the stream from state->position on; -39 with the bytes of the
// last call at the end of the stream, another status when a fork fails.
[[nodiscard]] int16_t ProduceMacBinary(MacBinaryState* state, uint8_t* buffer, int32_t* count);
// Takes *count bytes of the stream at state->position: writes the fork bytes, skips the padding.
[[nodiscard]] int16_t ConsumeMacBinary(MacBinaryState* state, const uint8_t* buffer, int32_t* count);

[[nodiscard]] int16_t MacBinaryEncodeFile(const unsigned char* source, const unsigned char* destination);
[[nodiscard]] int16_t MacBinaryDecodeFile(const unsigned char* source, const unsigned char* destination);
// ---- Destinations --------------------------------------------------------------------------------
// True when the destination (a counted string) leads to a file the conversion reads: the source or
// its sidecar, under whatever name (a path with "./" or "..", a hard link, a symbolic link), or when
// the destination's own sidecar is one of them. Writing there would destroy what is being read. An
// empty name, or one that leads to no file, is no file.
bool Overlaps(const unsigned char* source, const unsigned char* destination);
// A conversion writes its destination under a temporary name beside it, which BeginDestination
// makes (starting with the sidecar the destination has; `fresh` says the name held no file).
// EndDestination puts it in place when the conversion's `status` is 0, and when it failed removes
// it, so an existing destination is left as it was; a fresh destination keeps what was written
// (the fork bytes a cut stream gave). Both return the conversion's status, or their own failure.
[[nodiscard]] int16_t BeginDestination(const unsigned char* destination, unsigned char temporary[256], bool* fresh);
[[nodiscard]] int16_t EndDestination(unsigned char* temporary, const unsigned char* destination, int16_t status,
                                     bool fresh);

// ---- BinHex 4.0 ----------------------------------------------------------------------------------
// The 64 characters, value v at position v.
extern const char kBinHexAlphabet[65];
// The text before the encoded characters: CR, the sentence, CR, CR, ':'.
extern const char kBinHexIntroduction[50];
inline constexpr int kBinHexIntroductionLength = 49;

struct BinHexEncoderState {
    uint32_t crc;        // CRC of the current section's logical bytes
    int16_t phase;       // 0, 1 or 2: bytes of the current group of three packed so far
    int16_t pending;     // bits waiting for the next character (at most 6)
    int16_t column;      // characters on the current line
    HostForkRef output;  // the destination's data fork
};

// Packs one logical byte: writes 1 to 4 bytes (characters and line ends) at out; their count.
int PackBinHex(BinHexEncoderState* s, uint8_t byte, uint8_t* out);

[[nodiscard]] int16_t BinHexEncodeFile(const unsigned char* source, const unsigned char* destination);

// The decoder's states.
enum BinHexState : int16_t {
    kScanning = 0,        // waiting for a line end
    kLineStart = 100,     // at the start of a line: a ':' starts a block
    kHeaderName = 1,      // name length byte, name characters, version byte
    kHeaderFields = 2,    // the 20 bytes from type to header CRC
    kDataFork = 3,        // data fork bytes
    kDataCrcHigh = 4,     // data fork CRC, high byte
    kDataCrcLow = 5,      // data fork CRC, low byte
    kResourceFork = 6,    // resource fork bytes
    kResourceCrcHigh = 7, // resource fork CRC, high byte
    kResourceCrcLow = 8,  // resource fork CRC, low byte
    kClosing = 9,         // after the last CRC: waiting for the closing ':'
    kFinished = 10,       // finished or aborted: input ignored until the end of the chunk
};

struct BinHexDecoder {
    int16_t state;                 // BinHexState
    int32_t remaining;             // state 1: next name byte index; 3 and 6: fork bytes still to come
    HostHandle output;             // collects fork bytes before they are written
    int32_t outputSize;            // its size: 16384, or half the free memory when that is less
    int32_t count;                 // 2: header bytes in; 3, 6: bytes in output; 9: characters counted
    HostForkRef fork;              // destination fork being written; 0 = none
    int16_t volume;                // the destination's volume: always 0
    unsigned char name[64];        // the header's name bytes as received, length byte first
    uint8_t lastByte;              // last byte delivered by the run-length stage
    uint8_t phase;                 // 0..3 in the current group of four characters
    uint8_t accumulator;           // bits of the byte being assembled
    uint8_t markerPending;         // a 0x90 marker waits for its count
    int32_t inputIndex;            // position in the chunk being fed
    uint8_t headerFields[20];      // type, creator, flags, data length, resource length, CRC
    uint32_t crc;                  // CRC of the current section's bytes
    uint32_t storedCrc;            // CRC read from the stream for the current section
    const unsigned char* destination;  // the file to create (the command's argument 2)
    uint8_t fault;                 // set by every fault of the block
    // How the block went, for the command's result.
    uint8_t sawBlock;              // a block was started
    uint8_t complete;              // the block reached its last CRC with no fault
    uint8_t noMemory;              // the output buffer could not be had
    int16_t destinationStatus;     // the first failing Mac status of a destination operation
};

// Feeds bytes[0..count) to the decoder; the state afterwards.
int16_t FeedBinHex(BinHexDecoder* d, const uint8_t* bytes, int32_t count);
// Closes what is open, frees the output buffer, state 10; `setFault` marks the block damaged.
void AbortBinHex(BinHexDecoder* d, bool setFault);

[[nodiscard]] int16_t BinHexDecodeFile(const unsigned char* source, const unsigned char* destination);

// ---- Commands ------------------------------------------------------------------------------------
void MacBinaryEncode(frame::CommandCall& call);  // 17
void MacBinaryDecode(frame::CommandCall& call);  // 18
void BinHexEncode(frame::CommandCall& call);     // 19
void BinHexDecode(frame::CommandCall& call);     // 20

}  // namespace zor::macfile

#endif  // ZOR_MACFILE_MACFILE_H
