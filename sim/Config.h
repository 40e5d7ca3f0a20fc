// What a simulated device is: which units it has, what they report, how fast
// they react and which faults they show. Plain data; the front end and the
// tests fill it, the device reads it once at construction.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Recording;

// Serial framing as both ends see it. A device only understands a host whose
// framing matches its own.
struct LineSettings {
    uint32_t baud = 0;     // 0: any speed (the device follows the host)
    uint8_t dataBits = 8;
    char parity = 'N';     // 'N', 'O', 'E', 'M' or 'S'
    uint8_t stopBits = 1;  // 1 or 2 (1.5 counts as 2)
    // The host's flow control. The simulated devices ignore it; a replay
    // holds a host to the recorded host's.
    bool rtsCts = false;
    bool xonXoff = false;

    bool operator==(const LineSettings&) const = default;
};

// "8N1", "8E1", "7O2", optionally with a speed in front: "9600-8N1", or a
// speed alone: "9600". False for anything else.
bool ParseLine(const std::string& text, LineSettings& out);
std::string LineText(const LineSettings& line);
// The host's framing against the device's; a device speed of 0 takes any.
bool LinesMatch(const LineSettings& device, const LineSettings& host);
// "no flow control", "RTS/CTS flow control", "XON/XOFF flow control", or both.
std::string FlowText(const LineSettings& line);

// The bootloader's link parameters, read and set with the BTL* menu commands.
struct BootParameters {
    int32_t maxPayload = 256;    // BTLMAX; also the packet size of the version reply
    int32_t timeoutIcd = 2000;   // BTLTOC: a frame is dropped after this much silence
    int32_t timeoutReply = 5000; // BTLTOR
    int32_t retryMax = 3;        // BTLRTY
};

// One firmware-carrying unit: a scanner or a cradle, each with an application
// and a bootloader.
struct UnitConfig {
    int32_t deviceType = 1;            // 1 scanner, 2 charge cradle
    bool startInBootloader = false;
    bool applicationValid = true;      // false: every restart ends in the bootloader
    int32_t cbl = 2;                   // cable value of P_INFO: 2 serial, 4 USB, 32 Bluetooth
    int32_t hwRev = 1;
    std::vector<uint32_t> compat{0x41};
    std::vector<uint32_t> incompat;
    std::string bootModelName = "SIMBOOT1";  // empty leaves the tag out
    int32_t usbVid = 0xF0F0;           // below 0 leaves the tag out
    int32_t usbPid = 0x0B01;           // the bootloader's USB ids, also reported in P_INFO
    int32_t usbAppVid = 0xF0F0;        // the USB ids the application enumerates with
    int32_t usbAppPid = 0x0A01;
    int32_t usbInterface = 0;          // the HID interface's number on either
    std::string appVersion = "SIM-APP-1";
    std::string bootVersion = "SIM-BOOT-1";
    bool lowPower = false;             // answers only after a SYN 'C' CR wake-up
    uint32_t appCapacity = 1u << 20;
    uint32_t bootCapacity = 256u << 10;
    uint32_t writeMultiple = 1;        // write blocks must be a multiple of this
    BootParameters boot;
    uint32_t battery = 80;             // percent; BT_FLS reports "1" below 20
    std::string btAddress = "0006660A1B2C";
};

// Reaction times in milliseconds of virtual (in process) or real (pty) time.
struct Timings {
    uint32_t menuReplyMs = 5;      // a menu command's reply
    uint32_t wakeReplyMs = 2;      // the answer to SYN 'C' CR
    uint32_t newap2DelayMs = 100;  // NEWAP2 reply to the start of the restart
    uint32_t resetDelayMs = 100;   // reset command to the start of the restart
    uint32_t restartMs = 1500;     // silent time of a restart
    uint32_t ackMs = 1;            // a command frame's ACK, NAK or CAN
    uint32_t commandMs = 2;        // busy time of an ordinary bootloader command
    uint32_t writeMs = 2;          // busy time of a block write
    uint32_t eraseMs = 600;        // busy time of an erase
    uint32_t awakeMs = 3000;       // a low-power device falls asleep after this much silence
    uint32_t btLatencyMs = 20;     // one way over the cradle's radio link
    uint32_t linkMs = 3000;        // a server cradle links to a running scanner application
    uint32_t connectMs = 4000;     // a client cradle connects to the address it was given
    uint32_t plusGuardMs = 500;    // silence before "+++" leaves transparent mode
    bool lineSpeed = true;         // one byte time per output byte at the host's speed
};

// Injected misbehaviour. Frame, reply and echo numbers count from 1 over the
// whole device's life; 0 switches a fault off.
struct Faults {
    uint32_t nakFrame = 0;         // command frames nakFrame .. nakFrame+nakCount-1 get DLE NAK
    uint32_t nakCount = 1;
    uint32_t canFrame = 0;         // this command frame gets DLE CAN
    uint32_t badCrcReply = 0;      // this reply frame (not counting empty ones) has a wrong CRC
    bool silentAfterReset = false; // after a reset command the device does not come back...
    uint32_t silentMs = 0;         // ...for this long (0: never)
    uint32_t silentFrom = 0;       // from this output byte of the device on the cable on, nothing is sent
    uint32_t loseByte = 0;         // this output byte of the device on the cable is lost
    uint32_t loseEvery = 0;        // every n-th output byte is lost
    uint32_t garbleEcho = 0;       // this menu reply's echo is garbled
    bool garbleEveryEcho = false;
    uint32_t slowRestartMs = 0;    // restart time instead of Timings::restartMs
    bool portChange = false;       // each restart into the application renames the port
    std::string refuseSets;        // BTL* sets answered with NAK: "*" all, or one name
    bool lowBattery = false;       // BT_FLS reports "1"
    int32_t protocolVersion = 23;  // version in the reply to the version query
    bool incompatible = false;     // every unit refuses its own compat ids
    uint32_t powerLossFrame = 0;   // power fails while this command frame is carried out
    // A bootloader that cannot listen while it works (a block write, an
    // erase, any command's busy time): a poll or frame that arrives then is
    // lost or answered with DLE NAK instead of "no reply yet".
    enum class Busy { Answers, Loses, Naks };
    Busy busy = Busy::Answers;
    // USB only. From this command frame on the device's interrupt OUT
    // endpoint refuses reports for usbRefuseOutMs (a bootloader busy
    // erasing); a host's write waits for it up to its own bound.
    uint32_t usbRefuseOutFrame = 0;
    uint32_t usbRefuseOutMs = 2000;
    // USB only. Right after this command frame the device sends
    // usbBurstReports reports of another kind (a barcode, a keyboard
    // report), one per poll, ahead of its own output: a host that does not
    // read meanwhile finds its queue full and loses what comes next.
    uint32_t usbBurstFrame = 0;
    uint32_t usbBurstReports = 100;
};

struct DeviceConfig {
    bool cradle = false;       // a charge cradle with a scanner behind it
    UnitConfig unit;           // the device on the cable: the scanner, or the cradle
    UnitConfig scanner;        // the scanner behind the cradle
    bool scannerPresent = true;
    bool linked = true;        // the radio link is up at start (scanner application, server cradle)
    bool scannerInCradle = false;
    bool serverMode = true;    // bt-mode server; false: client
    LineSettings line;         // the application's framing; the bootloader always runs 8-N-1
    // The framing of the application once the unit on the cable has had its
    // application area written: firmware that runs another line than the
    // one it replaced.
    std::optional<LineSettings> lineAfterFlash;
    std::string portName = "SIM0";
    Timings timings;
    Faults faults;
    // A device that plays a recording instead (sim/Replay.h); fast drops
    // the recorded gaps.
    std::shared_ptr<const Recording> replay;
    bool replayFast = false;

    // A corded scanner on a serial cable running its application.
    static DeviceConfig CordedScanner();
    // A charge cradle in server mode linked to a scanner running its application.
    static DeviceConfig CradleWithScanner();
};

// "name" or "name=value" of one fault (the names are listed by FaultHelp);
// false with a reason in *error for an unknown name or a bad value.
bool ApplyFault(DeviceConfig& config, const std::string& option, std::string* error);
// "name=ms" of one timing (listed by TimingHelp).
bool ApplyTiming(Timings& timings, const std::string& option, std::string* error);
const char* FaultHelp();
const char* TimingHelp();

// "0x41,0x42" or "65": numbers in any C base, comma separated.
bool ParseIdList(const std::string& text, std::vector<uint32_t>& out);
bool ParseNumber(const std::string& text, uint64_t& out);

} // namespace sim
