// conversion.cpp: the conversion flags that the stream commands apply on send and receive.
#include "text/text.h"

namespace zor::text {

bool ApplyConversionFlags(TextBlock& text, int32_t flags) {
    if (flags == 0) return true;

    // Steps on the text itself, in this order.
    if (flags & kMacToIso) TranslateMacToIso(text);
    if (flags & kIsoToMac) TranslateIsoToMac(text);
    if ((flags & (kCrToCrLf | kCrLfToCr)) != 0 && TextLength(text) > 0) {
        // The line-end passes run over the whole block: bytes past the length are no part of the text.
        const int32_t length = TextLength(text);
        bool ok = true;  // every line-end step done
        if (HostGetHandleSize(text.handle) != length) {
            HostSetHandleSize(text.handle, length);
            ok = HostMemoryError() == HostNoErr;
        }
        if (ok && (flags & kCrToCrLf)) {
            const int32_t size = ReplaceAll(text.handle, "\r", "\r\n");
            if (size >= 0) text.length = static_cast<int16_t>(size);
            ok = size >= 0;
        }
        if (ok && (flags & kCrLfToCr)) {
            const int32_t size = ReplaceAll(text.handle, "\r\n", "\r");
            if (size >= 0) text.length = static_cast<int16_t>(size);
            ok = size >= 0;
        }
        if (!ok) return false;
    }

    // The HTML steps each start from the text as it is now; when several are set the last one in
    // the order 0x10, 0x20, 0x40 gives the result, so only that one is made.
    TextBlock made{0, nullptr};
    if (flags & kEncodeHtmlKeepMarkup) {
        made = EncodeHtml(text, 1);
    } else if (flags & kDecodeHtml) {
        made = DecodeHtml(text, 0);
    } else if (flags & kEncodeHtml) {
        made = EncodeHtml(text, 0);
    } else {
        return true;
    }
    // A non-empty text never encodes or decodes to an empty one: an empty result means memory ran
    // out, and the text is kept rather than lost.
    if (made.handle == nullptr || (made.length == 0 && TextLength(text) > 0)) {
        if (made.handle != nullptr) HostDisposeHandle(made.handle);
        return false;
    }
    if (text.handle != nullptr) HostDisposeHandle(text.handle);
    text = made;
    return true;
}

int32_t LongestToConvert(int32_t flags) {
    int32_t growth = 1;
    if ((flags & kCrToCrLf) != 0) growth *= 2;
    if ((flags & kEncodeHtmlKeepMarkup) != 0 || ((flags & kEncodeHtml) != 0 && (flags & kDecodeHtml) == 0))
        growth *= kHtmlGrowth;
    return kMaxTextLength / growth;
}

}  // namespace zor::text
