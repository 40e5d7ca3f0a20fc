// The virtual scanner: the common application and bootloader, plus the
// battery query a cradle routes to it.
#pragma once

#include "sim/FirmwareUnit.h"

namespace sim {

class Scanner : public FirmwareUnit {
public:
    Scanner(const UnitConfig& config, Environment& env) : FirmwareUnit("scanner", config, env) {}

    bool BatteryLow() const;

protected:
    bool ApplicationCommand(const MenuRequest& request, MenuReply& reply) override;
};

} // namespace sim
