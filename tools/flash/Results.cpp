#include "Results.h"

#include "tambrix01/FlashTool.h"

namespace flasher {

const char* FlashMeaning(int32_t result)
{
    switch (result) {
    case FLASH_RESULT_OK: return "flashed; the device ran its application at the start";
    case FLASH_RESULT_FAILED: return "failed: the interface could not be set up, or a failure without a code of its own";
    case FLASH_RESULT_CANCELLED: return "cancelled";
    case FLASH_RESULT_BAD_FILE: return "the file is not firmware (neither an MOCF container nor a known image)";
    case FLASH_RESULT_INCOMPATIBLE: return "the firmware does not fit the device (or the scanner behind the cradle)";
    case FLASH_RESULT_NO_SERVER_MODE:
        return "the cradle did not return to server mode, or the device did not answer after the flash";
    case FLASH_RESULT_OK_FROM_BOOT:
        return "flashed; the device was in its bootloader at the start (not verified afterwards)";
    case FLASH_RESULT_NO_LINK: return "the cradle has no radio link and the scanner is not in the cradle";
    case FLASH_RESULT_LOW_BATTERY: return "the wireless scanner's battery is too low";
    case FLASH_RESULT_NO_SCANNER:
        return "no scanner behind the cradle (cradle in its bootloader or not in server mode, link lost)";
    case FLASH_RESULT_NO_PORT_NAME: return "the device came back under a new port name and none was given";
    default:
        return result < 0 ? "the interface could not even be opened again for the end-of-flash command"
                          : "failed with a result this flasher does not know";
    }
}

const char* VersionMeaning(int32_t result)
{
    switch (result) {
    case VERSION_RESULT_OK: return "found: the versions of the file's objects that suit the device";
    case VERSION_RESULT_BAD_INPUT: return "the file is not firmware, or a check failed";
    case VERSION_RESULT_NO_MATCH: return "no device, no device report, or nothing in the file fits the device";
    default: return "failed with a result this flasher does not know";
    }
}

int ExitCodeOf(int32_t result)
{
    if (result >= 0 && result < 64)
        return result;
    // Only the low byte of an exit code reaches a POSIX parent; a failure
    // must never read as 0.
    int code = static_cast<int>(static_cast<uint32_t>(result) & 0xFF);
    return code == 0 ? 255 : code;
}

int FlashExitCode(int32_t result)
{
    return Flashed(result) ? 0 : ExitCodeOf(result);
}

bool Flashed(int32_t result)
{
    return result == FLASH_RESULT_OK || result == FLASH_RESULT_OK_FROM_BOOT;
}

namespace {

int Rank(int32_t result)
{
    if (result < 0)
        return 5;
    switch (result) {
    case FLASH_RESULT_OK: return 0;
    case FLASH_RESULT_OK_FROM_BOOT: return 1;
    case FLASH_RESULT_CANCELLED: return 2;
    case FLASH_RESULT_NO_SERVER_MODE: return 4;
    default: return 3;
    }
}

} // namespace

int32_t WorstResult(const std::vector<int32_t>& results)
{
    int32_t worst = 0;
    for (int32_t r : results)
        if (Rank(r) > Rank(worst))
            worst = r;
    return worst;
}

} // namespace flasher
