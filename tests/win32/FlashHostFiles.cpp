#include "FlashHostFiles.h"

#include "support/RealTimeFirmware.h"

#include <cstdio>
#include <string>

namespace {

bool WriteAll(const char* name, const std::string& bytes)
{
    FILE* f = std::fopen(name, "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

bool WriteFlashHostFiles()
{
    testing_support::RealTimeFirmware f = testing_support::BuildRealTimeFirmware(0x41);
    return !f.file.empty() && WriteAll("firmware.mocf", f.File()) && WriteAll("expected-boot.bin", f.BootArea()) &&
           WriteAll("expected-app.bin", f.ApplicationArea());
}
