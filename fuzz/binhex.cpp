// binhex.cpp: fuzzes the BinHex decoder as BinHexDecodeFile drives it, chunk by chunk, writing its
// forks into a scratch folder. Byte 0 (low 3 bits) says how many of the following bytes are chunk
// sizes; those sizes are used in turn (a size byte n feeds n + 1 bytes); the rest is the BinHex text.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "macfile/macfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zor::macfile;
    const zor::fuzz::InScratchFolder scratch;
    if (size == 0) return 0;
    const size_t sizeCount = data[0] & 7;
    if (size < 1 + sizeCount) return 0;
    const uint8_t* sizes = data + 1;
    const uint8_t* text = data + 1 + sizeCount;
    const size_t length = size - 1 - sizeCount;

    const int64_t before = HostLiveAllocations();
    static const zor::fuzz::Counted kDestination("out");
    BinHexDecoder d{};
    d.destination = kDestination;
    size_t offset = 0;
    for (size_t turn = 0; offset < length; ++turn) {
        size_t chunk = sizeCount == 0 ? length : size_t(sizes[turn % sizeCount]) + 1;
        if (chunk > length - offset) chunk = length - offset;
        // Each chunk in a block of its own size, so a read past it is caught.
        std::vector<uint8_t> piece(text + offset, text + offset + chunk);
        const int16_t state = FeedBinHex(&d, piece.data(), static_cast<int32_t>(chunk));
        if (d.inputIndex != static_cast<int32_t>(chunk)) __builtin_trap();
        // An open destination fork exists only while a fork's bytes are being written.
        if (d.fork != 0 && (state < kDataFork || state > kResourceCrcLow)) __builtin_trap();
        offset += chunk;
    }
    AbortBinHex(&d, false);
    if (d.complete && (d.fault || !d.sawBlock)) __builtin_trap();
    zor::fuzz::CheckNothingLeft(before);
    return 0;
}
