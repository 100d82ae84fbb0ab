// text.h: text transformations: character sets, HTML entities, URL and quoted-printable escapes,
// and the conversion flags applied on the way to and from the network.
#ifndef ZOR_TEXT_TEXT_H
#define ZOR_TEXT_TEXT_H

#include <cstdint>

#include "plugin/host_toolbox.h"

namespace zor::text {

// Puts a text through the transformations its flags select, in place (the handle may be resized).
void ApplyConversionFlags(TextBlock& text, int32_t flags);

}  // namespace zor::text

#endif  // ZOR_TEXT_TEXT_H
