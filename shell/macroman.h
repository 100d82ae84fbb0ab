// macroman.h: the shell's Mac Roman and UTF-8 coding, which is the host layer's (host/macroman.h).
#ifndef ZOR_SHELL_MACROMAN_H
#define ZOR_SHELL_MACROMAN_H

#include "host/macroman.h"

namespace zor::shell {

using zor::host::AppendUtf8;
using zor::host::DecodeUtf8;
using zor::host::MacRomanToUnicode;
using zor::host::MacRomanToUtf8;
using zor::host::UnicodeToMacRoman;
using zor::host::Utf8ToMacRoman;

}  // namespace zor::shell

#endif  // ZOR_SHELL_MACROMAN_H
