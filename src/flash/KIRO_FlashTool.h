// The flash engine: owns the device object and the firmware file objects and
// carries every tunable and piece of device state the flash sequence uses.
//
// The sequence itself is spread over src/flash/ by step: status reports and
// interface set-up (EngineInterface.cpp), opening (OpenInterface.cpp), reset
// waits (ResetWait.cpp), the cradle link (CradleLink.cpp), compatibility
// (Compat.cpp), object flashing (FlashObjects.cpp), boot entry
// (BootEntry.cpp), the driver (FlashScanner.cpp), its completion
// (PostFlash.cpp) and the version query (FileVersion.cpp).
#pragma once

#include "io/UsbIdentity.h"
#include "log/RefCounted.h"
#include "protocol/Pinfo.h"
#include "tambrix01/FlashTool.h"

#include <cstdint>
#include <string>

class Log;
class FlashIo;
class LibMOCF;
class LibFileHelper;
class LibElf;
class KiroAppTool;
struct MocfObject;

using StatusCallbackFn = int32_t (*)(void* context, uint64_t status, uint64_t x, uint64_t y);
using AssistAdapterFn = int32_t (*)(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity);

constexpr int kFileCompatMax = 100;

// The progress vocabulary of the flash sequence.
enum HfsStatus : uint64_t {
    HFS_idle_other = 0,
    HFS_xxx_get_info = 1,
    HFS_app_goto_boot = 2,
    HFS_old_bl_por_wait = 3,
    HFS_old_bl_get_info = 4,
    HFS_old_bl_flashing_x_of_y = 5,
    HFS_old_bl_complete = 6,
    HFS_new_bl_por_wait = 7,
    HFS_new_bl_get_info = 8,
    HFS_new_app_flashing_x_of_y = 9,
    HFS_new_app_complete = 10,
    HFS_new_app_por_wait = 11,
    HFS_canceling = 12,
    HFS_end_cleanup = 13,
    HFS_initialize_interface = 14,
    HFS_opening_interface = 15,
    HFS_opening_may_retry = 16,
    HFS_closing_interface = 17,
    HFS_terminal_bad_file = 18,
    HFS_terminal_canceled = 19,
    HFS_terminal_fail_no_open = 20,
    HFS_terminal_fail_no_com = 21,
    HFS_terminal_fail_retry = 22,
    HFS_terminal_fail_timeout = 23,
    HFS_terminal_success_ok = 24,
    HFS_terminal_success_assumed = 25,
};

// "HFS_..." for a known number, "unknown" otherwise.
const char* StatusName(uint64_t status);

// The flow's own outcomes, below the protocol codes (0 success, -1 general,
// -2 .. -11 from the protocols and transports).
enum : int32_t {
    FLOW_INCOMPATIBLE = -12,     // the firmware does not fit the device or the scanner behind it
    FLOW_NO_LINK = -13,          // no radio link and the scanner is not on the cradle
    FLOW_LOW_BATTERY = -14,      // the wireless scanner's battery is too low
    FLOW_NO_SERVER_MODE = -15,   // cradle not back in server mode, or no P_INFO after the end
    FLOW_NO_SCANNER = -16,       // no scanner linked to the cradle
    FLOW_NO_PORT_NAME = -17,     // the assist callback gave no new port name
};

// Open modes of OpenInterface.
enum : int32_t {
    OPEN_DEVICE = 'D',       // whatever state the device record shows
    OPEN_BOOT = 'B',         // the device is in its bootloader
    OPEN_BOOT_EXPECTED = 'b' // it should be in its bootloader by now (USB restart wait)
};
// Open types: how a failure counts and whether a cancel stops the open.
enum : int32_t {
    OPEN_MAY_RETRY = 0,
    OPEN_FINAL = 1,
    OPEN_EVEN_IF_CANCELLED = 2,
};

// Kinds of restart FlashScanner_ResetWait waits for.
enum : int32_t {
    REBOOT_INTO_BOOT = 0,     // after NEWAP2
    REBOOT_AFTER_BOOT = 1,    // after a boot image
    REBOOT_AFTER_APP = 2,     // after the application image
    REBOOT_RF_LINK = 3,       // the cradle re-establishes its radio link
};

// What CheckAttachedDevice decided.
enum class CompatVerdict { Compatible, NotApplicable, NotCompatible };

// The four bootloader link parameters, for Scanner_BTL_Set / Scanner_BTL_Get.
enum class BtlParameter { MaxPayload, TimeoutIcd, TimeoutReply, RetryMax };

// Where the transports come from. Null members mean the real serial and USB
// set-ups; the simulator and the flow tests put their own in place so the
// whole sequence runs against a simulated device.
struct TransportHooks {
    // Installs a serial transport for deviceName with these settings: 0, or
    // the set-up's failure code.
    int32_t (*serial)(void* context, FlashIo* io, const wchar_t* deviceName, const WIN32_232_SETTINGS* settings);
    // Installs a USB HID transport for the identity: 0 or -1.
    int32_t (*usb)(void* context, FlashIo* io, const UsbIdentity* identity);
    void* context;
};

class KIRO_FlashTool : public RefCounted {
public:
    explicit KIRO_FlashTool(Log* log);
    ~KIRO_FlashTool();
    KIRO_FlashTool(const KIRO_FlashTool&) = delete;
    KIRO_FlashTool& operator=(const KIRO_FlashTool&) = delete;

    // Clears the device record, keeping the given cable letter.
    void ResetPinfo(int32_t cable);
    // Clears the device record but keeps the cable it came over; state '?'.
    void ClearDeviceRecord();

    // Reads the device's P_INFO report with the given menu command ("P_INFO"
    // or a routed form) and applies it to pinfo, m_BlueToothMode and
    // usbBootIds: 0, -1 for a report that fails a check, or the menu
    // command's failure (src/protocol/Pinfo.cpp).
    int32_t Scanner_GetPinfo(const char* command);
    // Checks and applies a report text already read: 0 or -1.
    int32_t ApplyPinfoReport(const char* text);

    // ---- status and interface set-up (EngineInterface.cpp) -----------------
    // Logs the report, hands it to the status callback and notes a cancel.
    void ReportStatus(uint64_t status, uint64_t x = 0, uint64_t y = 0);
    bool Cancelled() const { return cancelFlag != 0; }
    // 0, or the serial set-up's failure (-1 no memory for the name).
    int32_t InitRs232V2(const wchar_t* portName, const WIN32_232_SETTINGS* settings);
    // 0 or -3. The name is copied.
    int32_t InitUsb(const wchar_t* deviceName);
    int32_t SetupUsbInterface(const UsbIdentity& identity);
    // Closes the device unless a Bluetooth-mode device keeps it open.
    void CloseInterface();
    // The serial set-up through the hooks: by name with these settings.
    int32_t SetupSerialTransport(const WIN32_232_SETTINGS* settings);
    // Replaces the engine's device name with a copy of name: 0 or -1.
    int32_t SetDeviceName(const wchar_t* name);

    // ---- opening (OpenInterface.cpp) ------------------------------------------
    // 0 open; -1 refused mode, cable or state, cancelled, no transport or open
    // slot; -3 the transport's open failed; or the set-up's own code.
    int32_t OpenInterface(int32_t openmode, int32_t type);

    // ---- restarts (ResetWait.cpp) ---------------------------------------------
    int32_t FlashScanner_ResetWait(int32_t reboot_type);
    // SYN 'C' CR: 0 when anything came back, -1 otherwise.
    int32_t WakeUpDevice();
    // Up to retryMax wake-ups, stopping at the first answered: 0 or -1.
    int32_t WakeUpWithRetries();

    // ---- the driver (FlashScanner.cpp) and its completion (PostFlash.cpp) -----
    // 0 or a negative internal result.
    int32_t FlashScanner_Internal(int32_t fileType, const wchar_t* fileName);
    // Leaves transparent mode, restores server mode, waits for the restart
    // and completes the flash; returns the flash's final internal result.
    int32_t PostFlash(int32_t r);
    // The end-of-flash command and readiness check; always ends closed with
    // the menu timeout and the caller's serial settings back.
    int32_t CompleteFlash(int32_t r);

    // ---- cradle link (CradleLink.cpp) -----------------------------------------
    int32_t SetupCradleLink();
    int32_t ScannerToBootViaCradle();
    int32_t ConnectCradleToScanner();
    int32_t EnterTransparentMode();

    // ---- compatibility (Compat.cpp) -------------------------------------------
    // 0, or -1 for a table of more than kFileCompatMax ids.
    int32_t LoadFileCompatList();
    CompatVerdict CheckAttachedDevice(int32_t fileType);
    // 0 compatible (target_device_type becomes 1) or FLOW_INCOMPATIBLE.
    int32_t CheckScannerBehindCradle();
    // The first object of this id and header type whose compat ids meet the
    // device's list, or null.
    MocfObject* FindObjectByCompat(uint32_t id, uint8_t type);
    // The ids held in fileCompat: never more than kFileCompatMax.
    uint32_t FileCompatHeld() const { return fileCompatCount < kFileCompatMax ? fileCompatCount : kFileCompatMax; }

    // ---- firmware objects (FlashObjects.cpp) ----------------------------------
    // 'P', 'A', 'B', 'S', or a negative load error.
    int32_t GetFileType(const wchar_t* fileName);
    void UnloadFile();
    int32_t CountObjects();
    int32_t FlashByType(int32_t fileType, const wchar_t* fileName);
    int32_t FlashMocf(const wchar_t* fileName);
    // imageType 'A' or 'B'; resetType 1 after a boot image, 2 after an
    // application. The image is an object's data of imageSize bytes.
    int32_t FlashRawInternal(int32_t imageType, uint32_t resetType, const uint8_t* image, uint64_t imageSize);

    // ---- boot entry (BootEntry.cpp) and bootloader parameters -----------------
    // 0 with the device open in its bootloader, parameters agreed; *state
    // receives the state letter used.
    int32_t GotoFlashMode(int32_t* state);
    int32_t Scanner_BTL_Set(BtlParameter which);
    int32_t Scanner_BTL_Get(BtlParameter which);
    int32_t Scanner_BTL_SetAll();
    int32_t Scanner_BTL_GetAll();
    // Battery of the scanner behind the cradle: the reply digit (1 low), 0
    // when the scanner does not know the command, negative on failure.
    int32_t Scanner_GetBT_FLS();

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
    wchar_t* deviceName = nullptr;       // the engine's own copy
    WIN32_232_SETTINGS rs232_settings{};
    uint32_t rs232_backup_valid = 0;
    WIN32_232_SETTINGS rs232_backup{};
    WIN32_232_SETTINGS rs232_boot_settings{};
    // The menu command timeout before this flash changed it; 0 unchanged.
    uint64_t saved_menu_timeout = 0;
    TransportHooks transportHooks{};
    // The target device's report as the last flash read it at its start and
    // once the device answered after the flash ("tag: value" lines; empty
    // when not read), for CFS_TAMBRIX_REPORT_BEFORE and _AFTER.
    std::string reportBefore;
    std::string reportAfter;

    // The report in pinfo as "tag: value" lines.
    std::string ReportText() const;

    void LogMsg(uint64_t level, const wchar_t* format, ...);
    void Stamp(uint64_t level, const wchar_t* label);

private:
    // The interface was prepared as a serial port.
    bool IsSerial() const { return DefaultCableType == 'R' && interfaceKind == 0x5202; }
    int32_t ChooseCable(int32_t openmode, int32_t* cable, int32_t* state);
    int32_t RebuildTransport(int32_t openmode, int32_t cable, int32_t state);
    int32_t AskAssistForPortName();
    // Driver steps. Those with a postFlash out-value say whether a failure
    // must still leave transparent mode and restore the cradle.
    void NormaliseSerialLine();
    bool FallBackToCallerSettings();
    // Puts the caller's own line settings, saved at the start, back in use.
    void RetryWithCallerSettings();
    void ProbeLowPower();
    int32_t ReadPinfoWithRetries(const char* command, bool wake);
    int32_t ReadDeviceInformation();
    int32_t ChooseTarget(const wchar_t* fileName, bool* postFlash);
    int32_t ReadScannerBehindCradle();
    int32_t PrepareWirelessTarget(bool* postFlash);
    // Completion steps.
    int32_t LeaveTransparentMode();
    int32_t RestoreServerMode();
    int32_t WaitForLink(int32_t r);
    int32_t WaitForRestart(int32_t r);
    int32_t CheckReadiness(int32_t r);
    void PauseBeforeReadiness();
    int32_t EarlyReturn(int32_t r);
    void RestoreMenuTimeout();
    void RestoreCallerSerialSettings();
    int32_t WaitForScannerAfterBoot();
};
