// The version query: which application and bootloader of a firmware file
// suit the device on the line (or the scanner behind its cradle), with their
// version texts and build times. Nothing is flashed.
#include "flash/FileVersion.h"

#include "api/ToolContext.h"
#include "files/LibMOCF.h"
#include "flash/FlashEntry.h"
#include "flash/KIRO_FlashTool.h"
#include "flash/KiroAppTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kReportAttempts = 3;
constexpr uint32_t kReportRetryPauseMs = 1000;
constexpr int kHeaderCompatIds = 16;

enum class ObjectKind { Other, Boot, App };

ObjectKind KindOf(uint64_t id)
{
    switch (id) {
    case 0x0A000000: case 0x0A000001: case 0x0A000002: case 0x0A000003:
    case 0x0A001000:
    case 0x0B400000:
        return ObjectKind::Boot;
    case 0x0A000004: case 0x0A000005: case 0x0A000006: case 0x0A000007:
    case 0x0A001001:
    case 0x0B400001:
        return ObjectKind::App;
    default:
        return ObjectKind::Other;
    }
}

int32_t NumberAt(const char* text, size_t at)
{
    if (at >= strlen(text))
        return 0;
    long number = strtol(text + at, nullptr, 10);
    if (number > INT32_MAX)
        return INT32_MAX;
    if (number < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(number);
}


// P_INFO with the given command, woken first on a serial line that may sleep;
// the device is closed afterwards whatever it answered. 0 or the last failure.
int32_t ReadReport(KIRO_FlashTool& engine, uint64_t interfaceType, const char* command)
{
    int32_t r = -1;
    for (int attempt = 0; attempt < kReportAttempts; ++attempt) {
        if (interfaceType == INTERFACE_RS232) {
            engine.LogMsg(LOG_INFO, L"Wakeup device with SYN+C command.\n");
            int32_t woke = engine.WakeUpDevice();
            platform::SleepMs(static_cast<uint32_t>(engine.wake_pause_ms));
            if (woke != 0) {
                r = woke;
                continue;
            }
        }
        r = engine.Scanner_GetPinfo(command);
        if (r == 0)
            break;
        platform::SleepMs(kReportRetryPauseMs);
    }
    // A Bluetooth-mode report must not keep the port open past the query.
    engine.m_BlueToothMode = 0;
    engine.interface_kept_open = 0;
    engine.ReportStatus(HFS_closing_interface);
    engine.io->CloseDevice();
    return r;
}

bool Compatible(KIRO_FlashTool& engine, const kiro_header& header)
{
    const uint32_t* device = engine.pinfo.Compatable;
    for (int i = 0; i < kHeaderCompatIds && header.c_array[i]; ++i) {
        uint32_t id = header.c_array[i];
        engine.LogMsg(LOG_INFO, L"Object compat id in kiro_header: 0x%02x\n", id);
        for (int j = 0; j < kPinfoListSize && device[j]; ++j) {
            engine.LogMsg(LOG_INFO, L"\tObject compat id from P_INFO: 0x%02x\n", device[j]);
            if (device[j] == id) {
                engine.LogMsg(LOG_INFO, L"Object compat id matched from P_INFO: 0x%02x\n", id);
                return true;
            }
        }
    }
    return false;
}

void FillHalf(KIRO_FlashTool& engine, kiro_header& header, char* version, size_t versionSize, int32_t* buildTime)
{
    TrimHeaderTexts(header);
    memset(version, 0, versionSize);
    memcpy(version, header.sw_rev, strnlen(header.sw_rev, versionSize - 1));
    for (char* p = header.cc_date; *p; ++p)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    if (!ParseBuildTime(header.cc_date, header.cc_time, buildTime))
        engine.LogMsg(LOG_ERROR, L"Invalid month: %ls\n", platform::Utf8ToWide(header.cc_date).c_str());
}

// The file's compatible objects into out: their number, or -1 when the file
// is no firmware the query knows.
int32_t CollectVersions(KIRO_FlashTool& engine, const wchar_t* fileName, FileVersionInfo* out)
{
    int32_t type = engine.GetFileType(fileName);
    if (type < 'A' || (type > 'B' && type != 'P')) {
        engine.UnloadFile();
        return -1;
    }
    int32_t found = 0;
    int32_t count = engine.CountObjects();
    for (int32_t i = 0; i < count; ++i) {
        MocfObject* object = engine.mocf->ObjectAt(i);
        if (!object)
            break;
        ObjectKind kind = KindOf(object->type);
        if (kind == ObjectKind::Other)
            continue;
        kiro_header header{};
        if (engine.appTool->UnpackObjectHeader(object, &header) != 0 || !Compatible(engine, header))
            continue;
        ++found;
        if (kind == ObjectKind::App)
            FillHalf(engine, header, out->appVersion, sizeof out->appVersion, out->appBuildTime);
        else
            FillHalf(engine, header, out->bootVersion, sizeof out->bootVersion, out->bootBuildTime);
    }
    engine.fileCompatCount = 0;
    memset(engine.fileCompat, 0, sizeof engine.fileCompat);
    engine.UnloadFile();
    return found;
}

} // namespace

void TrimHeaderTexts(kiro_header& header)
{
    TrimSpaces(header.sw_rev);
    TrimSpaces(header.cc_date);
    TrimSpaces(header.cc_time);
}

bool ParseBuildTime(const char* date, const char* time, int32_t out[9])
{
    static const char* const kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                          "jul", "aug", "sep", "oct", "nov", "dec"};
    int32_t month = 0;
    bool known = true;
    if (*date) {
        month = 1;
        known = false;
        for (int m = 0; m < 12 && !known; ++m) {
            int c = 0;
            while (c < 3 && tolower(static_cast<unsigned char>(date[c])) == kMonths[m][c])
                ++c;
            if (c == 3) {
                month = m + 1;
                known = true;
            }
        }
    }
    out[0] = NumberAt(time, 6);
    out[1] = NumberAt(time, 3);
    out[2] = NumberAt(time, 0);
    out[3] = NumberAt(date, 4);
    out[4] = month;
    out[5] = NumberAt(date, 7) - 1900;
    out[6] = 0;
    out[7] = 0;
    out[8] = -1;
    return known;
}

uint32_t QueryDeviceReport(ToolContext* context, std::string& text)
{
    KIRO_FlashTool* engine = context->engine;
    // The reports reach the host as in a flash, but the cancel word is left
    // as the host set it.
    engine->statusCallback = ToolStatusAdapter;
    engine->statusContext = context;
    if (PrepareInterface(context) != 0)
        return CFS_RESULT_FAILED;
    engine->ClearDeviceRecord();
    engine->ReportStatus(HFS_xxx_get_info);
    if (engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL) != 0)
        return CFS_RESULT_FAILED;
    if (ReadReport(*engine, context->interfaceType, "P_INFO") != 0) {
        engine->LogMsg(LOG_ERROR, L"Can not get P_INFO to detect scanner type.\n");
        engine->ReportStatus(HFS_terminal_fail_retry);
        return CFS_RESULT_FAILED;
    }
    text = engine->ReportText();
    return CFS_RESULT_OK;
}

uint32_t GetFileVersion(ToolContext* context, const wchar_t* fileName, FileVersionInfo* out)
{
    KIRO_FlashTool* engine = context->engine;
    if (PrepareInterface(context) != 0)
        return VERSION_RESULT_NO_MATCH;

    // The cradle on the line first; when it takes nothing, the scanner
    // linked to it, asked through it by address.
    char command[256] = "P_INFO";
    for (int pass = 0;; ++pass) {
        engine->ClearDeviceRecord();
        if (engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL) != 0)
            return VERSION_RESULT_NO_MATCH;
        if (ReadReport(*engine, context->interfaceType, command) != 0) {
            engine->LogMsg(LOG_ERROR, L"Can not get P_INFO to detect scanner type.\n");
            return VERSION_RESULT_NO_MATCH;
        }
        int32_t found = CollectVersions(*engine, fileName, out);
        if (found < 0)
            return VERSION_RESULT_BAD_INPUT;
        if (found > 0) {
            engine->LogMsg(LOG_SUMMARY, L"GetFileVersions SUCCESS: %s. \n", fileName);
            return VERSION_RESULT_OK;
        }
        if (pass > 0 || engine->pinfo.hub_connections <= 0)
            break;
        snprintf(command, sizeof command, ":#%s:P_INFO", engine->pinfo.scanner_bt_address);
    }
    engine->LogMsg(LOG_SUMMARY,
                   L"No object found to be compatable with the deviceand sub device. GetFileVersions FAIL: %s. \n",
                   fileName);
    return VERSION_RESULT_NO_MATCH;
}
