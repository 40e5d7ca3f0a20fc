// UTF-8 on the command line, wide text at the library: UTF-16 where
// wchar_t has 16 bits (Windows), UTF-32 elsewhere.
#pragma once

#include <string>

namespace flasher {

std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

} // namespace flasher
