// One unit that carries firmware (a scanner or a cradle): its application
// with the menu commands every device knows, and its bootloader with the
// BTL* parameters, the packet link, the two flash areas and the restarts.
#pragma once

#include "sim/Config.h"
#include "sim/Environment.h"
#include "sim/MenuParser.h"
#include "sim/PacketLink.h"
#include "sim/PinfoReport.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Mode { Application, Bootloader, Restarting, Silent };
const char* ModeName(Mode mode);

// A flash area as the bootloader keeps it.
struct FlashArea {
    uint32_t number = 0;        // 0 bootloader, 1 application
    uint32_t handle = 0;
    uint32_t capacity = 0;
    std::vector<uint8_t> data;  // offset 0 up to the highest byte written; gaps read 0xFF
    bool erased = false;        // erased since the area was last opened
    bool ended = false;         // closed with area end since the last erase
    uint32_t blocksWritten = 0;
};

struct MenuReply {
    bool send = true;  // false: the answer comes later, from elsewhere (a routed command)
    std::string value;
    uint8_t status = kAck;
};

class FirmwareUnit {
public:
    FirmwareUnit(std::string name, const UnitConfig& config, Environment& env);
    virtual ~FirmwareUnit() = default;
    FirmwareUnit(const FirmwareUnit&) = delete;
    FirmwareUnit& operator=(const FirmwareUnit&) = delete;

    // Bytes from the host line (or, for a scanner behind a cradle, the radio link).
    virtual void Receive(const uint8_t* data, size_t length);

    // Where the unit's bytes go, called at the scheduler's current time.
    std::function<void(const std::string&)> output;
    // Called after every change of mode.
    std::function<void(Mode from, Mode to)> modeChanged;

    Mode CurrentMode() const { return mode_; }
    bool Running() const { return mode_ == Mode::Application || mode_ == Mode::Bootloader; }
    // Where the restart under way ends.
    Mode RestartTarget() const { return restartTarget_; }
    bool PacketMode() const { return packetMode_; }
    bool Asleep() const;
    const FlashArea& ApplicationArea() const { return areas_[1]; }
    const FlashArea& BootArea() const { return areas_[0]; }
    const std::string& AppVersion() const { return appVersion_; }
    const std::string& BootVersion() const { return bootVersion_; }
    const BootParameters& Parameters() const { return params_; }
    const std::string& Name() const { return name_; }
    const UnitConfig& Config() const { return config_; }
    uint32_t Restarts() const { return restarts_; }
    const std::string& LastVismn() const { return lastVismn_; }
    // The report the unit would send now.
    std::string PinfoText() const;

    // Starts a restart after delayMs. It ends in the bootloader when asked to,
    // or when no valid application is present.
    void Restart(uint32_t delayMs, bool toBootloader);

protected:
    // The concrete device's own application commands; true when handled.
    virtual bool ApplicationCommand(const MenuRequest& request, MenuReply& reply);
    virtual void ApplicationTags(PinfoReport& report) const;
    virtual void OnModeChanged(Mode from, Mode to);
    // Sends bytes after delayMs, unless the unit restarts first.
    void Send(const std::string& bytes, uint32_t delayMs);
    void Trace(const std::string& text) const { env_.Trace(name_, text); }

    Environment& env_;

private:
    struct Outcome {
        std::string refused;  // why the command is refused with CAN; empty when taken
        uint32_t busyMs = 0;
        std::vector<uint32_t> params;
        std::vector<uint8_t> payload;
    };
    struct Pending {
        CommandFrame frame;
        Outcome outcome;
        Time readyAt = 0;
        bool sent = false;
    };

    void SetMode(Mode mode);
    void BeginRestart(bool toBootloader, bool afterReset);
    void MenuByte(uint8_t byte);
    void BootloaderByte(uint8_t byte);
    void OnWake();
    void OnMenu(const MenuRequest& request);
    bool CommonApplicationCommand(const MenuRequest& request, MenuReply& reply);
    bool BootloaderCommand(const MenuRequest& request, MenuReply& reply);
    bool BootParameter(const MenuRequest& request, MenuReply& reply);
    void SendMenuReply(const MenuRequest& request, const MenuReply& reply);
    void OnFrame(const CommandFrame& frame);
    Outcome Execute(const CommandFrame& frame);
    Outcome OpenArea(const CommandFrame& frame);
    Outcome WriteBlock(const CommandFrame& frame);
    Outcome EndArea(const CommandFrame& frame);
    Outcome ResetCommand(const CommandFrame& frame, uint32_t second);
    void LosePower(const CommandFrame& frame);
    void OnPoll();
    // True when the unit is busy and its busy fault took the poll or frame.
    bool Deaf(FrameDecoder::Event event, Time now);
    void OnHostAck();

    std::string name_;
    UnitConfig config_;
    Mode mode_;
    Mode restartTarget_ = Mode::Application;
    uint64_t epoch_ = 0;           // advanced by every restart: stale events are dropped
    uint32_t restarts_ = 0;
    bool applicationValid_;
    bool lowPower_;
    Time awakeUntil_ = 0;
    std::vector<uint32_t> incompat_;
    std::string appVersion_;
    std::string bootVersion_;
    std::string lastVismn_;
    BootParameters params_;
    MenuParser menu_;
    FrameDecoder decoder_;
    bool packetMode_ = false;
    FlashArea areas_[2];
    FlashArea* open_ = nullptr;
    bool updating_ = false;
    int lastEnded_ = -1;           // area closed last; decides where a reset leads
    std::optional<Pending> pending_;
    uint32_t emptyPolls_ = 0;
};

} // namespace sim
