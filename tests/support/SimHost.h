// A test-side host for the device simulator: the host's half of the menu
// commands and of the bootloader packet link, written apart from both the
// library and the simulator, driving a simulated device through the
// in-process transport on a virtual clock.
#pragma once

#include "io/FlashIoDevice.h"
#include "platform/VirtualClock.h"
#include "sim/Device.h"
#include "sim/InProcess.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testing_support {

using Bytes = std::vector<uint8_t>;

// ---- wire encoding ------------------------------------------------------------

// The frame check, bit by bit (no table): the MSB-first 0x1021 register fed
// through the right-shifting update the bootloader uses.
uint16_t HostCrc(const Bytes& data, uint16_t crc = 0);
// A whole command frame with its two-space preamble.
std::string EncodeCommand(uint8_t packetNumber, uint8_t command, const std::vector<uint32_t>& params,
                          const Bytes& payload);
std::string Poll();       // "  " DLE ENQ
std::string AckReply();   // "  " DLE ACK
std::string NakReply();   // "  " DLE NAK
// SYN, command, CR, text, terminator.
std::string MenuText(char command, const std::string& text, char terminator);

struct ReplyFrame {
    bool complete = false;  // DLE STX ... DLE ETX was read
    bool crcOk = false;
    uint8_t flag = 0;
    uint8_t packetNumber = 0;
    uint8_t command = 0;
    std::vector<uint32_t> params;
    Bytes payload;
};

// ---- the P_INFO report --------------------------------------------------------

struct Report {
    bool valid = false;
    std::string problem;
    std::map<std::string, std::string> tags;  // the first value of each tag
    std::string Get(const std::string& tag) const
    {
        auto it = tags.find(tag);
        return it == tags.end() ? std::string("<absent>") : it->second;
    }
};
// Checks the report's grammar and checksum the way a host must.
Report CheckReport(const std::string& text);

// ---- firmware images ------------------------------------------------------------

// An image with a 256-byte kiro header (type 'A' or 'B', sw_rev, one compat
// id) followed by `payloadSize` bytes that contain DLE bytes to stuff.
Bytes MakeImage(char type, const std::string& swRev, size_t payloadSize, uint8_t compat = 0x41);

// ---- the host -------------------------------------------------------------------

struct Transaction {
    int answer = 0;        // 0x1006 ACK, 0x1015 NAK, 0x1018 CAN; -6 nothing; other: the stray byte
    ReplyFrame reply;      // the reply frame, when the command was taken
    int emptyReplies = 0;
};

// The host's side of both protocols over any FlashIoDevice transport; the
// derived hosts say what time is and how to wait.
class HostLink {
public:
    virtual ~HostLink() = default;
    virtual uint64_t Now() const = 0;
    virtual void Sleep(uint32_t ms) = 0;

    int32_t Send(const std::string& bytes);
    // One read of up to max bytes.
    std::string Receive(uint32_t max, uint32_t timeoutMs);
    // Bytes up to and including the terminator; less when a byte does not
    // come within timeoutMs.
    std::string ReceiveUntil(char terminator, uint32_t timeoutMs = 1000);
    // Sends a menu command and returns the reply through its terminator.
    std::string Menu(char command, const std::string& text, char terminator = '.');
    // The wake-up: true when anything came back.
    bool Wake();

    // The next symbol: a data byte, 0x1000 + c for DLE c, -6 on timeout.
    int ReadSymbol(uint32_t timeoutMs);
    // Reads one reply frame (after skipping what comes before DLE STX).
    ReplyFrame ReadReply(uint32_t timeoutMs = 250);
    // One whole command: frame, answer, polls until the reply, acknowledgement.
    Transaction Transact(uint8_t command, const std::vector<uint32_t>& params = {}, const Bytes& payload = {});
    // BTLPRO 1 on a device in its bootloader.
    void EnterPacketMode();
    // Area open, update begin, erase, blocks of `block` bytes, area end; true
    // when every step was taken and answered.
    bool WriteArea(uint32_t area, const Bytes& image, size_t block);

    uint8_t packetNumber = 0;

protected:
    FlashIoDevice* link_ = nullptr;
};

// A simulated device in process, on a virtual clock.
class SimHost : public HostLink {
public:
    explicit SimHost(const sim::DeviceConfig& config, const sim::InProcessOptions& options = {});
    ~SimHost() override;
    SimHost(const SimHost&) = delete;
    SimHost& operator=(const SimHost&) = delete;

    platform::ScopedVirtualClock time;
    sim::Device device;
    std::unique_ptr<FlashIoDevice> io;
    std::vector<std::string> trace;

    uint64_t Now() const override { return time.clock.Now(); }
    void Sleep(uint32_t ms) override { time.clock.Advance(ms); }
    // Puts the transport in again (after a port rename, or with other line settings).
    int32_t Reinstall(const sim::InProcessOptions& options);
    bool TraceHas(const std::string& part) const;
};

} // namespace testing_support
