// What the fuzz targets share; a target builds from src/ and this folder only.
#pragma once

#include "platform/Platform.h"

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace fuzz_support {

// A Log output that formats every message, so a format that does not match
// its arguments shows up under the sanitizers, and drops the text. The hex
// dump's one-column pieces (fixed formats of five characters at most) would
// only cost time.
inline void FormatAndDrop(void*, const wchar_t* format, va_list args)
{
    if (wcslen(format) <= 5)
        return;
    std::string text = platform::FormatV(format, args);
    (void)text;
}

inline void Check(bool condition)
{
    if (!condition)
        abort();
}

} // namespace fuzz_support
