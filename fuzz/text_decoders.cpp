// text_decoders.cpp: fuzzes the text decoders of HtmlToText (modes 0, 1 and 2: tags stripped) and
// UrlDecode (modes 0: forms, 1: plain, -1: quoted-printable) through their commands, with the
// plug-in's translation tables loaded. Decoding never makes a text longer.
#include <cstdint>
#include <cstring>

#include "fuzz_support.h"
#include "frame/frame.h"
#include "text/text.h"

#ifndef ZOR_BUILD_DIR
#define ZOR_BUILD_DIR "."
#endif

namespace {

void Run(void (*command)(zor::frame::CommandCall&), const uint8_t* data, int32_t length, int32_t mode) {
    TextBlock text{static_cast<int16_t>(length), HostNewHandle(length)};
    if (text.handle == nullptr) __builtin_trap();
    if (length > 0) std::memcpy(*text.handle, data, size_t(length));
    TextBlock result{0, nullptr};
    TextBlock* resultAddress = &result;
    void* params[2] = {&text, &mode};
    zor::frame::CommandCall call{params, nullptr, &resultAddress, nullptr};
    command(call);
    if (result.length < 0 || result.length > length || text.length != length) __builtin_trap();
    if (result.handle == nullptr || HostGetHandleSize(result.handle) < result.length) __builtin_trap();
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < result.length; ++i) sum = sum + static_cast<uint8_t>((*result.handle)[i]);
    HostDisposeHandle(result.handle);
    HostDisposeHandle(text.handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    HostSetResourcePath(ZOR_BUILD_DIR "/libzor.rsrc");
    // Whatever the resource layer keeps from its first read is kept before any leak count.
    static const uint8_t kWarm[] = "&eacute;%E9";
    Run(zor::text::HtmlToText, kWarm, sizeof kWarm - 1, 0);
    Run(zor::text::UrlDecode, kWarm, sizeof kWarm - 1, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int32_t length = size > 32767 ? 32767 : static_cast<int32_t>(size);
    const int64_t before = HostLiveAllocations();
    for (int32_t mode : {0, 1, 2}) Run(zor::text::HtmlToText, data, length, mode);
    for (int32_t mode : {0, 1, -1}) Run(zor::text::UrlDecode, data, length, mode);
    zor::fuzz::CheckNothingLeft(before);
    return 0;
}
