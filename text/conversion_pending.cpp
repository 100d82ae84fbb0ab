// conversion_pending.cpp: until the text transformations exist, conversion flags change nothing.
#include "text/text.h"

namespace zor::text {

void ApplyConversionFlags(TextBlock&, int32_t) {}

}  // namespace zor::text
