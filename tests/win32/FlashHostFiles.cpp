#include "FlashHostFiles.h"

#include "io/UsbDevicePath.h"
#include "support/FirmwareFiles.h"

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
    using testing_support::AsString;
    testing_support::FirmwareFile f = testing_support::RealTimeFile(0x41);
    return !f.file.empty() && WriteAll("firmware.mocf", AsString(f.file)) &&
           WriteAll("expected-boot.bin", AsString(f.BootArea())) && WriteAll("expected-app.bin", AsString(f.app));
}

std::wstring DeviceMutexName(const wchar_t* path)
{
    std::wstring name;
    return UsbDeviceMutexName(path, name) ? name : std::wstring();
}
