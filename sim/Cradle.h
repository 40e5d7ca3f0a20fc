// The virtual charge cradle: its own application and bootloader, a radio
// link to one scanner, routed commands, and the transparent mode in which the
// host's bytes pass to the scanner until "+++".
#pragma once

#include "sim/FirmwareUnit.h"
#include "sim/Scanner.h"

#include <memory>
#include <string>
#include <vector>

namespace sim {

class Cradle : public FirmwareUnit {
public:
    Cradle(const DeviceConfig& config, Environment& env);

    void Receive(const uint8_t* data, size_t length) override;

    Scanner* LinkedScanner() { return scanner_.get(); }
    const Scanner* LinkedScanner() const { return scanner_.get(); }
    bool Linked() const { return linked_; }
    bool Transparent() const { return transparent_; }
    bool ServerMode() const { return server_; }
    // The scanner walks out of radio range (false) or comes back (true).
    void SetScannerInRange(bool inRange);
    // The scanner is put into the cradle (true) or taken out.
    void SetScannerInCradle(bool inCradle) { inCradle_ = inCradle; }
    // An operator takes the linked scanner away and pairs another of the
    // same model, with this address and its areas as they were at start.
    // The one taken away stays (its pending events still run), cut off.
    void SwapScanner(const std::string& address);
    const std::vector<std::unique_ptr<Scanner>>& Retired() const { return retired_; }

protected:
    bool ApplicationCommand(const MenuRequest& request, MenuReply& reply) override;
    void ApplicationTags(PinfoReport& report) const override;
    void OnModeChanged(Mode from, Mode to) override;

private:
    void Route(const MenuRequest& request, MenuReply& reply);
    void ToScanner(const std::string& bytes);
    void FromScanner(const std::string& bytes);
    void UpdateLink();
    void DropLink(const std::string& why);
    void LinkUp();
    bool MayLink() const;
    void ReceiveTransparent(const uint8_t* data, size_t length);
    bool SetLinkMode(const MenuRequest& request, MenuReply& reply);

    void Attach();

    UnitConfig scannerConfig_;
    std::unique_ptr<Scanner> scanner_;
    std::vector<std::unique_ptr<Scanner>> retired_;
    bool inCradle_;
    bool paired_;           // a server cradle gets the scanner's link without being told its address
    bool linked_ = false;
    bool server_;
    bool transparent_ = false;
    bool inRange_ = true;
    std::string address_;   // BASADR
    std::string target_;    // the address a client cradle connects to
    uint64_t linkEpoch_ = 0;
    uint32_t plusRun_ = 0;
    Time plusStart_ = 0;
    Time lastHostByte_ = 0;
    bool heardHost_ = false;
};

} // namespace sim
