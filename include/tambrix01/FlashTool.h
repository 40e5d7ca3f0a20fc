// TAMBRIX01 public interface for host programs.
//
// A host loads TAMBRIX01.dll (Windows) or libTAMBRIX01.so (Linux), calls
// CreateFlashTool, configures the tool with SetSetting, then calls
// FlashScanner or GetFileVersion, and finally hands the tool back to
// DestroyFlashTool. The six operations of CFlashTool are called through the
// object's table of virtual functions, so their order is part of the
// contract and must never change.
#ifndef TAMBRIX01_FLASHTOOL_H
#define TAMBRIX01_FLASHTOOL_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef _WIN32
#include <windows.h>
#else
// Layout-identical stand-ins for the two Win32 records that the serial
// settings carry, so that a host compiles the same code on Linux.
typedef struct _DCB {
    uint32_t DCBlength;
    uint32_t BaudRate;
    uint32_t fBinary : 1;
    uint32_t fParity : 1;
    uint32_t fOutxCtsFlow : 1;
    uint32_t fOutxDsrFlow : 1;
    uint32_t fDtrControl : 2;
    uint32_t fDsrSensitivity : 1;
    uint32_t fTXContinueOnXoff : 1;
    uint32_t fOutX : 1;
    uint32_t fInX : 1;
    uint32_t fErrorChar : 1;
    uint32_t fNull : 1;
    uint32_t fRtsControl : 2;
    uint32_t fAbortOnError : 1;
    uint32_t fDummy2 : 17;
    uint16_t wReserved;
    uint16_t XonLim;
    uint16_t XoffLim;
    uint8_t ByteSize;
    uint8_t Parity;
    uint8_t StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    uint16_t wReserved1;
} DCB;

typedef struct _COMMTIMEOUTS {
    uint32_t ReadIntervalTimeout;
    uint32_t ReadTotalTimeoutMultiplier;
    uint32_t ReadTotalTimeoutConstant;
    uint32_t WriteTotalTimeoutMultiplier;
    uint32_t WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

// Values of DCB.Parity, DCB.StopBits and the flow-control fields.
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#define DTR_CONTROL_DISABLE 0
#define DTR_CONTROL_ENABLE 1
#define DTR_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2
#define RTS_CONTROL_TOGGLE 3
#endif

#ifdef _WIN32
#ifdef TAMBRIX01_BUILDING
#define TAMBRIX01_API __declspec(dllexport)
#else
#define TAMBRIX01_API __declspec(dllimport)
#endif
#else
#define TAMBRIX01_API __attribute__((visibility("default")))
#endif

// Setting ids for SetSetting and GetSetting.
enum {
    CFS_CANCELIO = 0,            // u64, size 8: non-zero cancels a running flash
    CFS_FWCALLBACK = 1,          // FwCallback passed as the pointer itself, size 8
    CFS_DLLVERSION = 2,          // get only: version text, size = capacity in characters
    CFS_LOGFILE = 3,             // set only, once: LogFileSettings, size 24
    CFS_PORTNAME = 4,            // COM port / device path or HID device name
    CFS_PROTOCOL_SETTINGS = 5,   // wide name of a NAME:VALUE ".txt" settings file
    CFS_INITSTRING = 6,          // list of wide strings closed by an empty one
    CFS_INTERFACE = 7,           // u64, size 8: one of the INTERFACE_ values
    CFS_WIN32_232_SETTINGS = 8,  // WIN32_232_SETTINGS, size 56
    CFS_DLLASSIST_SETTINGS = 11, // DllAssistSettings
    CFS_TEST_STRING = 0xFFFE,    // the value is hex-dumped into the log
    CFS_TEST_NUMBER = 0xFFFF,    // the first four bytes are logged as a number
    // Library-specific tunables, all u64 with size 8 (but the recording's
    // file name below).
    CFS_PELLARO_DBGFLAGS = 0x10000,
    CFS_PELLARO_DBGFLAGS_L = 0x10001,
    CFS_PELLARO_DBGFLAGS_M = 0x10002,
    CFS_PELLARO_DBGFLAGS_H = 0x10003,
    CFS_PELLARO_TIMEOUT_ICD = 0x10010,
    CFS_PELLARO_TIMEOUT_REPLY = 0x10011,
    CFS_PELLARO_TIMEOUT_MENUCMD = 0x10012,
    CFS_PELLARO_TIMEOUT_PROTOCMD = 0x10013,
    CFS_PELLARO_CABLEDELAY_RS232 = 0x10020,
    CFS_PELLARO_CABLEDELAY_USB = 0x10021,
    CFS_PELLARO_RESET_TIMEOUT = 0x10030,
    CFS_PELLARO_RETRY_MAX = 0x10031,
    CFS_PELLARO_BTLMAX_PAYLOAD = 0x10040,
    CFS_PELLARO_BTLTOC_TIMEOUT_ICD = 0x10041,
    CFS_PELLARO_BTLTOR_TIMEOUT_REPLY = 0x10042,
    CFS_PELLARO_BTLRTY_RETRY_MAX = 0x10043,
    // USB HID: non-zero makes the receive flush wait for a report as long as
    // any other read (250 ms at least), as the library did before it learnt
    // to only look at what the system holds. Default 0. For a device that
    // needs that pause between two packets. File name:
    // PELLARO_USB_FullReportWait.
    CFS_PELLARO_USB_FULL_REPORT_WAIT = 0x10050,
    // Extension: a wide file name (size = its capacity in characters, as
    // for CFS_PORTNAME). Every exchange with the device from then on is
    // recorded to that file, created anew, for the simulator to replay
    // (tambrix-sim --replay); an empty name ends the recording, and a file
    // that cannot be created is answered CFS_RESULT_FAILED with no
    // recording running. Set it between operations. The file holds every
    // byte sent, firmware included (docs/recording.md).
    CFS_PELLARO_RECORD_FILE = 0x10060,
    // Pauses of the bootloader transfer, in ms (file names in brackets).
    // Defaults are the library's long-standing values; a device answers
    // every packet only once its work is done, so these wait for nothing
    // on a device that keeps up.
    CFS_PELLARO_PAUSE_PACKET = 0x10080,      // before each block write's packet: 20 (PELLARO_Pause_Packet_mSecs)
    CFS_PELLARO_PAUSE_RECEIVE = 0x10081,     // taken frame to first poll: 20 (PELLARO_Pause_Receive_mSecs)
    CFS_PELLARO_PAUSE_EMPTY_POLL = 0x10082,  // after "no reply yet": 5 (PELLARO_Pause_EmptyPoll_mSecs)
    CFS_PELLARO_PAUSE_FAILED_TRY = 0x10083,  // after a failed receive attempt: 50 (PELLARO_Pause_FailedTry_mSecs)
    // Restart waits, in ms. The two look settings default to
    // CFS_PACE_BY_CABLE: the first look after one look interval (after the
    // radio link's own 6 s or 12 s pause when a cradle relinks), then one
    // look every PELLARO_CableDelay_RS232_mSecs or _USB_mSecs, at least
    // 1 s. Any other value replaces them (10 ms at least); the overall
    // limit (PELLARO_RESET_Timeout_mSecs) stays.
    CFS_PELLARO_RESTART_FIRST_LOOK = 0x10090,    // PELLARO_Restart_FirstLook_mSecs
    CFS_PELLARO_RESTART_LOOK_INTERVAL = 0x10091, // PELLARO_Restart_LookInterval_mSecs
    CFS_PELLARO_READINESS_PAUSE = 0x10092,       // end of flash to readiness check: 10000 (PELLARO_Readiness_Pause_mSecs)
    // Non-zero selects the fast profile (PELLARO_Fast, default 0): no pause
    // before packets and polls, 1 ms after "no reply yet", and a restarted
    // device looked for every 250 ms from the start (a serial device keeps
    // its 500 ms after NEWAP2, in which it may still answer as the
    // application). At the first sign that the device cannot keep up (NAK,
    // CAN, timeout, bad CRC, spew) the rest of that flash runs on the
    // pauses above; CFS_TAMBRIX_FAST_FALLBACK tells whether it did.
    CFS_PELLARO_FAST = 0x100A0,
    // Extensions of this library (no other implementation of the interface
    // knows them; a host that relies on them checks for CFS_RESULT_UNKNOWN_ID).
    // Set: a StatusReportSettings record; every status report of a flash,
    // a version query or a device query then reaches its callback.
    CFS_TAMBRIX_STATUS_REPORTS = 0x10070,
    // Get: asks the device on the configured port for its report now and
    // gives its "tag: value" lines as wide text (size = capacity in
    // characters, NUL included); 2 when the device gave no report.
    CFS_TAMBRIX_DEVICE_REPORT = 0x10071,
    // Get: the report the last FlashScanner read at its start (the target
    // device's: the scanner's when it flashed the scanner behind a cradle),
    // and the one it read when the device answered after the flash. Empty
    // text when there was none. Same text and size as above.
    CFS_TAMBRIX_REPORT_BEFORE = 0x10072,
    CFS_TAMBRIX_REPORT_AFTER = 0x10073,
    // Get, u64 size 8: 1 when the last flash started on the fast profile
    // and fell back to the full pauses, 0 otherwise.
    CFS_TAMBRIX_FAST_FALLBACK = 0x10074
};

// The value of CFS_PELLARO_RESTART_FIRST_LOOK and _LOOK_INTERVAL that keeps
// the library's own pauses.
#define CFS_PACE_BY_CABLE 0xFFFFFFFFFFFFFFFFull

// Values of CFS_INTERFACE.
enum {
    INTERFACE_RS232 = 0,        // serial port; GetFileVersion wakes the device first
    INTERFACE_USB_HID = 1,      // USB HID device
    INTERFACE_RS232_NOWAKE = 2  // serial port without the wake-up
};

// Output kinds of LogFileSettings.
enum {
    LOG_TO_DEBUGGER = 0,
    LOG_TO_FILE = 1,
    LOG_TO_CONSOLE = 2
};

// Results of SetSetting / GetSetting.
enum {
    CFS_RESULT_OK = 0,
    CFS_RESULT_REFUSED = 1,
    CFS_RESULT_FAILED = 2,       // no memory, assist record without callback, settings file errors
    CFS_RESULT_UNKNOWN_ID = 4
};

// Results of FlashScanner.
enum {
    FLASH_RESULT_OK = 0,
    FLASH_RESULT_FAILED = 1,
    FLASH_RESULT_CANCELLED = 2,
    FLASH_RESULT_BAD_FILE = 3,
    FLASH_RESULT_INCOMPATIBLE = 4,
    FLASH_RESULT_NO_SERVER_MODE = 5,   // or no correct P_INFO after the closing restart
    FLASH_RESULT_OK_FROM_BOOT = 6,     // flashed; the device was in its bootloader
    FLASH_RESULT_NO_LINK = 7,          // no Bluetooth link and scanner not in its cradle
    FLASH_RESULT_LOW_BATTERY = 8,
    FLASH_RESULT_NO_SCANNER = 9,       // none behind the cradle, or link lost after flashing
    FLASH_RESULT_NO_PORT_NAME = 12     // the assist callback gave no new port name
    // A negative result: the interface could not be opened again after a
    // failure; the value is the opening's own failure code.
};

// Results of GetFileVersion.
enum {
    VERSION_RESULT_OK = 0,
    VERSION_RESULT_BAD_INPUT = 1,      // a check failed or the file is not firmware
    VERSION_RESULT_NO_MATCH = 2        // no device, no P_INFO, or nothing compatible
};

#pragma pack(push, 8)

typedef struct WIN32_232_SETTINGS {
    DCB dcb;
    COMMTIMEOUTS timeouts;
    uint32_t dwInQueue;
    uint32_t dwOutQueue;
} WIN32_232_SETTINGS;

typedef struct LogFileSettings {
    uint64_t outputKind;       // LOG_TO_ value, low 32 bits used
    const wchar_t* fileName;   // file, "-", "stdout", "stderr", ...; never null
    uint64_t flagPreset;       // 0 no log, 1 low, 2 medium, 3 high, other: unchanged
} LogFileSettings;

// Progress: (hostContext, always 0, position, total); the result is ignored.
typedef int32_t (*FwCallback)(uint64_t hostContext, int32_t zero, uint64_t position, uint64_t total);

// Asked for the device's port name after a restart: write it NUL-terminated
// into buffer (capacity characters, cleared) and return 0.
typedef int32_t (*AssistCallback)(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity);

// Every status report (x, y: bytes so far and in all while an image is
// written; attempt and limit for 2; else 0), on the thread of the
// operation, before the report's own cancel check. The numbers reported:
//   1 reading the device's report     2 sending the device into its bootloader
//   5 writing the bootloader image    7 waiting for the device to restart
//   9 writing the application image  11 waiting for the device to restart
//                                        with its new application
//  12 cancelling                     14 setting the interface up
//  15 opening the interface          16 opening failed, may be tried again
//  17 closing the interface          18 the file is not firmware
//  19 cancelled                      20 the interface could not be opened
//  21 no communication               22 no answer after every try
//  23 a wait timed out
// A report of 5 or 9 that starts again at 0 is an image written again
// after an error (a lost block, a power loss).
typedef void (*StatusReportCallback)(void* context, uint32_t status, uint64_t x, uint64_t y);

typedef struct StatusReportSettings {
    StatusReportCallback callback;   // null stops the reports
    void* context;
} StatusReportSettings;

typedef struct DllAssistSettings {
    AssistCallback callback;
    void* context;
    uint32_t id;
} DllAssistSettings;

// Build time: second, minute, hour, day, month (1..12), year - 1900,
// weekday (0), day of year (0), daylight-saving flag (-1).
typedef struct FileVersionInfo {
    char appVersion[32];
    int32_t appBuildTime[9];
    char bootVersion[32];
    int32_t bootBuildTime[9];
} FileVersionInfo;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(DCB) == 28, "DCB layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS layout");
static_assert(sizeof(WIN32_232_SETTINGS) == 56, "WIN32_232_SETTINGS layout");
static_assert(sizeof(LogFileSettings) == 24, "LogFileSettings layout");
static_assert(sizeof(DllAssistSettings) == 24, "DllAssistSettings layout");
static_assert(sizeof(StatusReportSettings) == 16, "StatusReportSettings layout");
static_assert(sizeof(FileVersionInfo) == 136, "FileVersionInfo layout");
static_assert(offsetof(FileVersionInfo, bootVersion) == 68, "FileVersionInfo layout");

struct ToolContext;

// To a host the operations are pure: every call goes through the object's
// table, never to a symbol of the library.
#ifdef TAMBRIX01_BUILDING
#define TAMBRIX01_FINAL final
#define TAMBRIX01_OPERATION
#else
#define TAMBRIX01_FINAL
#define TAMBRIX01_OPERATION = 0
#endif

// The host's object. It has no base class and no virtual destructor: only
// DestroyFlashTool may destroy it.
class CFlashTool TAMBRIX01_FINAL {
public:
    virtual uint32_t FlashScanner(uint64_t hostContext, const wchar_t* fileName) TAMBRIX01_OPERATION;
    virtual uint32_t GetFileVersion(const wchar_t* fileName, FileVersionInfo* out) TAMBRIX01_OPERATION;
    virtual uint32_t SetSetting(int32_t settingId, void* value, uint64_t size) TAMBRIX01_OPERATION;
    virtual uint32_t GetSetting(int32_t settingId, void* value, uint64_t size) TAMBRIX01_OPERATION;
    virtual uint32_t FixedValueA() TAMBRIX01_OPERATION;   // always 13
    virtual uint32_t FixedValueB() TAMBRIX01_OPERATION;   // always 4

    ToolContext* context;
};

extern "C" {
#else
typedef struct CFlashTool CFlashTool;
#endif

TAMBRIX01_API CFlashTool* CreateFlashTool(void);
TAMBRIX01_API void DestroyFlashTool(CFlashTool* tool);

typedef CFlashTool* (*PFN_CreateFlashTool)(void);
typedef void (*PFN_DestroyFlashTool)(CFlashTool*);

#ifdef __cplusplus
}
#endif

#endif
