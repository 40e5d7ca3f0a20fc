// The device information report: "tag: value" lines with a byte-sum
// checksum, read with the P_INFO menu command and applied to the engine's
// device record.
#include "flash/KIRO_FlashTool.h"

#include "io/FlashIo.h"
#include "log/Log.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kReportBufferSize = 4096;
constexpr size_t kAddressLength = 12;

// Copies as much of [text, text + length) as fits, always terminated.
void CopyText(char* field, size_t fieldSize, const char* text, size_t length)
{
    if (length >= fieldSize)
        length = fieldSize - 1;
    memcpy(field, text, length);
    field[length] = 0;
}

// A number with automatic base (0x hex, leading 0 octal); valid only when
// the whole value is a number that fits 32 bits.
bool ReadNumber(const char* value, int64_t* out)
{
    if (!value || !*value)
        return false;
    errno = 0;
    char* end = nullptr;
    long long number = strtoll(value, &end, 0);
    if (end == value || *end != 0 || errno == ERANGE || number < INT32_MIN || number > static_cast<long long>(UINT32_MAX))
        return false;
    *out = number;
    return true;
}

int32_t NumberOr(const char* value, int32_t fallback)
{
    int64_t number;
    return ReadNumber(value, &number) ? static_cast<int32_t>(number) : fallback;
}

// One list number at p, with the range of the other report numbers. False
// for a number beyond 32 bits: cut down, it would name another id.
bool ReadListNumber(const char* p, char** end, uint32_t* out)
{
    errno = 0;
    long long number = strtoll(p, end, 0);
    if (errno == ERANGE || number < INT32_MIN || number > static_cast<long long>(UINT32_MAX))
        return false;
    *out = static_cast<uint32_t>(number);
    return true;
}

// "0x41,0x42,": numbers into the list in order. A list that goes wrong
// keeps what was read; one longer than the list keeps the first entries.
void ReadIdList(KIRO_FlashTool& engine, const char* value, uint32_t* list)
{
    if (!value || !*value)
        return;
    const char* p = value;
    for (int i = 0;; ++i) {
        if (i == kPinfoListSize) {
            engine.LogMsg(LOG_ERROR, L"*ERROR* compat list holds more than %d ids, the rest is ignored\n",
                          kPinfoListSize);
            return;
        }
        char* end = nullptr;
        if (!ReadListNumber(p, &end, &list[i])) {
            engine.LogMsg(LOG_ERROR, L"*ERROR* Invalid\n");
            return;
        }
        if (*end == ',') {
            if (end[1] == 0)
                return;
            p = end + 1;
            continue;
        }
        if (*end != 0)
            engine.LogMsg(LOG_ERROR, L"*ERROR* Invalid\n");
        return;
    }
}

int32_t CableLetter(KIRO_FlashTool& engine, int32_t cbl)
{
    switch (cbl) {
    case 2:
    case 3:
        return 'R';
    case 4:
    case 5:
        return 'U';
    case 8:
    case 9:
        return 'I';
    case 16:
    case 17:
        return 'K';
    case 32:
        // Bluetooth: the link looks like the interface it was opened as.
        engine.LogMsg(LOG_INFO,
                      L"cbl value = %d, then set cable_type to default value = %c. And set m_BlueToothMode to "
                      L"TRUE.\n",
                      32, static_cast<int>(engine.DefaultCableType));
        engine.m_BlueToothMode = 1;
        return static_cast<int32_t>(engine.DefaultCableType);
    default:
        return '?';
    }
}

// The first "csum: " that starts a line.
const char* FindChecksumLine(const char* text)
{
    for (const char* p = strstr(text, "csum: "); p; p = strstr(p + 1, "csum: "))
        if (p > text && (p[-1] == '\r' || p[-1] == '\n'))
            return p;
    return nullptr;
}

// Format, items and checksum; null when they pass, else the reason.
const char* VerifyReport(KIRO_FlashTool& engine, const char* text)
{
    Pinfo& pinfo = engine.pinfo;
    if (strncmp(text, "fmt:", 4) != 0)
        return "parse fail";
    if (ParsePinfoItems(pinfo, text) != 0)
        return "parse fail";
    if (pinfo.itemCount == kPinfoMaxItems)
        engine.LogMsg(LOG_ERROR, L"pinfo - too many items\n");
    const char* csumLine = FindChecksumLine(text);
    if (!csumLine)
        return "no-csum";
    uint32_t sum = 0;
    for (const char* p = text; p < csumLine; ++p)
        sum = (sum + static_cast<unsigned char>(*p)) & 0xFFFF;
    int64_t reported = -1;
    if (!ReadNumber(FindPinfoItem(pinfo, "csum"), &reported))
        reported = -1;
    engine.LogMsg(LOG_ERROR, L"Expected CSUM: 0x%08x, got 0x%08x\n", sum, static_cast<uint32_t>(reported));
    if (reported != static_cast<int64_t>(sum))
        return "bad-csum";
    return nullptr;
}

const char* ApplyLinkTags(KIRO_FlashTool& engine)
{
    Pinfo& pinfo = engine.pinfo;
    if (const char* mode = FindPinfoItem(pinfo, "bt-mode")) {
        if (strcmp(mode, "server") == 0) {
            pinfo.bt_mode = 1;
        } else if (strcmp(mode, "client") == 0) {
            pinfo.bt_mode = 2;
        } else {
            engine.LogMsg(LOG_ERROR, L"Unexpected value for bt-mode tag : %hs.\n", mode);
            return "Invalid bt-mode tag.";
        }
        engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: bt_mode = %d.\n", pinfo.bt_mode);
    } else {
        pinfo.bt_mode = 0;
    }

    if (const char* hub = FindPinfoItem(pinfo, "hub-connections")) {
        pinfo.hub_connections = NumberOr(hub, -1);
        engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: hub_connections = %d.\n", pinfo.hub_connections);
    } else {
        pinfo.hub_connections = -1;
        engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: No hub_connections tag.\n");
    }

    if (pinfo.hub_connections == 1) {
        if (const char* dev = FindPinfoItem(pinfo, "dev-1-addr")) {
            if (strlen(dev) != kAddressLength) {
                engine.LogMsg(LOG_ERROR, L"Invalid dev-1-addr tag value: %hs, it must be in %d characters.\n", dev,
                              static_cast<int>(kAddressLength));
                return "Invalid dev-1-addr tag.";
            }
            CopyText(pinfo.scanner_bt_address, sizeof pinfo.scanner_bt_address, dev, kAddressLength);
            engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: valid scanner bt address (dev-1-addr): %hs\n",
                          pinfo.scanner_bt_address);
        } else if (const char* hubAddr = FindPinfoItem(pinfo, "hub-1-addr")) {
            if (strlen(hubAddr) != kAddressLength) {
                engine.LogMsg(LOG_ERROR, L"Invalid hub-1-addr tag value: %hs, it must be in %d characters.\n",
                              hubAddr, static_cast<int>(kAddressLength));
                return "Invalid hub-1-addr tag.";
            }
            CopyText(pinfo.scanner_bt_address, sizeof pinfo.scanner_bt_address, hubAddr, kAddressLength);
            engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: valid scanner bt address (hub-1-addr): %hs\n",
                          pinfo.scanner_bt_address);
        } else {
            return "No value for dev-1-addr and hub-1-addr tag.";
        }
    }
    return nullptr;
}

const char* ApplyCradleTags(KIRO_FlashTool& engine)
{
    Pinfo& pinfo = engine.pinfo;
    pinfo.scanner_in_cradle_state = NumberOr(FindPinfoItem(pinfo, "scanner-in-cradle"), 0);
    engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: scanner_in_cradle_state = %d.\n", pinfo.scanner_in_cradle_state);
    if (pinfo.scanner_in_cradle_state != 1)
        return nullptr;

    if (const char* mode = FindPinfoItem(pinfo, "pair-mode")) {
        if (strcmp(mode, "app") == 0) {
            pinfo.pair_mode = 'A';
        } else if (strcmp(mode, "boot") == 0) {
            pinfo.pair_mode = 'B';
        } else if (strcmp(mode, "Diagnostics") == 0) {
            pinfo.pair_mode = 'D';
        } else {
            engine.LogMsg(LOG_ERROR, L"Unexpected value pair-mode tag: %hs.\n", mode);
            return "Invalid pair-mode tag.";
        }
        engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: pair-mode = %c.\n", pinfo.pair_mode);
    }
    // A scanner in diagnostics mode may report any pair address.
    const char* address = FindPinfoItem(pinfo, "pair-address");
    if (address && strlen(address) == kAddressLength) {
        CopyText(pinfo.pair_address, sizeof pinfo.pair_address, address, kAddressLength);
        engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: valid paired address: %hs\n", pinfo.pair_address);
    } else if (pinfo.pair_mode != 'D') {
        return "Invalid pair-address tag, it must be in 12 characters.";
    }
    return nullptr;
}

// Fills the record in the order the flow has always relied on; null, or
// the reason of the first tag that fails.
const char* ApplyTags(KIRO_FlashTool& engine)
{
    Pinfo& pinfo = engine.pinfo;
    if (const char* mode = FindPinfoItem(pinfo, "mode"))
        pinfo.scannerstate = strcmp(mode, "app") == 0 ? 'A' : strcmp(mode, "boot") == 0 ? 'B' : 'X';

    const char* compat = FindPinfoItem(pinfo, "boot-compat");
    engine.LogMsg(LOG_INFO, L"Validate compat: %hs\n", compat);
    ReadIdList(engine, compat, pinfo.Compatable);
    if (const char* incompat = FindPinfoItem(pinfo, "boot-incompat")) {
        engine.LogMsg(LOG_INFO, L"Validate incompat: %hs\n", incompat);
        ReadIdList(engine, incompat, pinfo.inCompatable);
    }

    engine.m_BlueToothMode = 0;
    pinfo.physical_cable_type = CableLetter(engine, NumberOr(FindPinfoItem(pinfo, "cbl"), -1));

    const char* name = FindPinfoItem(pinfo, "boot-m_name");
    if (!name)
        name = "unknown";
    CopyText(pinfo.boot_m_name, sizeof pinfo.boot_m_name, name, strlen(name));
    pinfo.flash = NumberOr(FindPinfoItem(pinfo, "flash"), -1);
    pinfo.hw_rev = NumberOr(FindPinfoItem(pinfo, "hw-rev"), 0);
    engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: hw_rev = %d.\n", pinfo.hw_rev);
    pinfo.physical_device_type = NumberOr(FindPinfoItem(pinfo, "device-type"), 0);
    engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: physical_device_type = %d.\n", pinfo.physical_device_type);

    if (const char* reason = ApplyLinkTags(engine))
        return reason;
    if (const char* reason = ApplyCradleTags(engine))
        return reason;

    UsbIdentity& boot = engine.usbBootIds;
    boot.vendorId = NumberOr(FindPinfoItem(pinfo, "usbvid"), -1);
    boot.productId = NumberOr(FindPinfoItem(pinfo, "usbpid"), -1);
    boot.interfaceNumber = 0;
    boot.interfaceId = 0;
    boot.devicePath = nullptr;
    boot.preservedPath = nullptr;
    engine.LogMsg(LOG_INFO, L"Scanner_GetPinfo: VID = %d,PID = %d, Nth = %d,pDeviceName = %s .\n", boot.vendorId,
                  boot.productId, 0, boot.devicePath);
    return nullptr;
}

void ClearItems(Pinfo& pinfo)
{
    pinfo.itemCount = 0;
    memset(pinfo.items, 0, sizeof pinfo.items);
}

} // namespace

int32_t ParsePinfoItems(Pinfo& pinfo, const char* text)
{
    const char* rest = text;
    for (;;) {
        if (pinfo.itemCount >= kPinfoMaxItems)
            return 0;
        if (strcmp(rest, "\r\n") == 0 || strcmp(rest, "\r") == 0 || strcmp(rest, "\n") == 0)
            return 0;
        const char* lineEnd = strpbrk(rest, "\r\n");
        if (!lineEnd)
            return -1;
        const char* colon = strchr(rest, ':');
        if (!colon || colon >= lineEnd || colon == rest || colon[1] != ' ')
            return -1;
        PinfoItem& item = pinfo.items[pinfo.itemCount < 0 ? 0 : pinfo.itemCount];
        CopyText(item.tag, sizeof item.tag, rest, static_cast<size_t>(colon - rest));
        CopyText(item.value, sizeof item.value, colon + 2, static_cast<size_t>(lineEnd - (colon + 2)));
        rest = lineEnd + (lineEnd[0] == '\r' && lineEnd[1] == '\n' ? 2 : 1);
        if (++pinfo.itemCount >= kPinfoMaxItems)
            return 0;
    }
}

const char* FindPinfoItem(const Pinfo& pinfo, const char* tag)
{
    for (int32_t i = 0; i < pinfo.itemCount && i < kPinfoMaxItems; ++i)
        if (strcmp(pinfo.items[i].tag, tag) == 0)
            return pinfo.items[i].value;
    return nullptr;
}

int32_t KIRO_FlashTool::Scanner_GetPinfo(const char* command)
{
    ClearItems(pinfo);
    if (log)
        log->Stamp(LOG_INFO, L"Get PINFO start");
    io->FlushRx(0);
    char report[kReportBufferSize];
    report[0] = 0;
    int32_t result = io->MNU_Query('M', command, command ? strlen(command) : 0, "",
                                   reinterpret_cast<uint8_t*>(report), sizeof report);
    if (result < 0)
        return result;
    return ApplyPinfoReport(report);
}

int32_t KIRO_FlashTool::ApplyPinfoReport(const char* text)
{
    ClearItems(pinfo);
    const char* reason = VerifyReport(*this, text);
    if (!reason)
        reason = ApplyTags(*this);
    if (!reason)
        return 0;
    LogMsg(LOG_ERROR, L"pinfo parse fail: %hs\n", reason);
    ClearItems(pinfo);
    return -1;
}
