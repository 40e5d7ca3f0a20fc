// The flash engine: owns the device object and the firmware file objects and
// carries every tunable and piece of device state the flash sequence uses.
#pragma once

#include "io/UsbIdentity.h"
#include "log/RefCounted.h"
#include "protocol/Pinfo.h"
#include "tambrix01/FlashTool.h"

#include <cstdint>

class Log;
class FlashIo;
class LibMOCF;
class LibFileHelper;
class LibElf;
class KiroAppTool;

using StatusCallbackFn = int32_t (*)(void* context, uint64_t status, uint64_t x, uint64_t y);
using AssistAdapterFn = int32_t (*)(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity);

constexpr int kFileCompatMax = 100;

class KIRO_FlashTool : public RefCounted {
public:
    explicit KIRO_FlashTool(Log* log);
    ~KIRO_FlashTool();
    KIRO_FlashTool(const KIRO_FlashTool&) = delete;
    KIRO_FlashTool& operator=(const KIRO_FlashTool&) = delete;

    // Clears the device record, keeping the given cable letter.
    void ResetPinfo(int32_t cable);

    // Reads the device's P_INFO report with the given menu command ("P_INFO"
    // or a routed form) and applies it to pinfo, m_BlueToothMode and
    // usbBootIds: 0, -1 for a report that fails a check, or the menu
    // command's failure (src/protocol/Pinfo.cpp).
    int32_t Scanner_GetPinfo(const char* command);
    // Checks and applies a report text already read: 0 or -1.
    int32_t ApplyPinfoReport(const char* text);

    uint32_t interfaceKind = 0;          // 0x5202 serial, 0x5500 USB once prepared
    uint64_t cableDelayRs232Ms = 300;
    uint64_t cableDelayUsbMs = 4000;
    uint64_t resetTimeoutMs = 10000;
    uint64_t wake_pause_ms = 50;
    Pinfo pinfo{};
    uint32_t entry_state = 0;
    uint8_t transparent_mode = 0;
    uint8_t rf_connection_existed = 0;
    uint8_t m_BlueToothMode = 0;
    uint8_t interface_kept_open = 0;
    uint32_t target_device_type = 0;     // 0 corded, 1 wireless behind a cradle
    char bt_address[16] = {};
    int8_t low_power_mode = 0;
    uint64_t retryMax = 3;
    uint64_t btlMaxPayload = 64;
    uint64_t btlTimeoutIcd = 2000;
    uint64_t btlTimeoutReply = 5000;
    uint64_t btlRetryMax = 3;
    uint32_t cancelFlag = 0;
    StatusCallbackFn statusCallback = nullptr;
    AssistAdapterFn assistAdapter = nullptr;
    void* assistAdapterContext = nullptr;
    uint32_t assistId = 0;
    void* statusContext = nullptr;
    uint32_t terminalStatus = 0;
    uint32_t fileCompatCount = 0;
    uint32_t fileCompat[kFileCompatMax] = {};
    Log* log = nullptr;
    FlashIo* io = nullptr;
    LibMOCF* mocf = nullptr;
    KiroAppTool* appTool = nullptr;
    LibFileHelper* fileTool = nullptr;
    LibElf* elf = nullptr;
    UsbIdentity usbIdentity{};
    UsbIdentity usbBootIds{};
    uint32_t lastcable = '?';
    uint32_t DefaultCableType = 'U';
    uint32_t baudRate = 115200;
    uint32_t comPort = 1;
    wchar_t* deviceName = nullptr;
    bool deviceNameOwned = false;        // a copy of our own, not the context's text
    WIN32_232_SETTINGS rs232_settings{};
    uint32_t rs232_backup_valid = 0;
    WIN32_232_SETTINGS rs232_backup{};
    WIN32_232_SETTINGS rs232_boot_settings{};

    void LogMsg(uint64_t level, const wchar_t* format, ...);
};
