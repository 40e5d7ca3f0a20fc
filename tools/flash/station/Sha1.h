// The firmware file's SHA-1, for the ledger: which file a device got.
#pragma once

#include <string>

namespace flasher {

// Lower-case hex digest of the file's bytes; empty when it cannot be read.
std::string FileSha1(const std::string& path);
// The same of bytes in memory.
std::string Sha1Hex(const std::string& bytes);

} // namespace flasher
