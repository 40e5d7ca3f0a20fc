// Writes the firmware file of the Wine flashes and the areas it must leave
// (firmware.mocf, expected-boot.bin, expected-app.bin) into the current
// directory, for a test that flashes with tambrix-flash.exe rather than
// with a host program of its own. Exit 0, or 1 when a file cannot be
// written.
#include "FlashHostFiles.h"

#include <cstdio>

int main()
{
    if (WriteFlashHostFiles())
        return 0;
    std::fprintf(stderr, "write_flash_files: cannot write the files\n");
    return 1;
}
