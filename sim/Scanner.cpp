#include "sim/Scanner.h"

namespace sim {

namespace {
constexpr uint32_t kFlashBatteryMin = 20;  // percent
}

bool Scanner::BatteryLow() const
{
    return env_.faults.lowBattery || Config().battery < kFlashBatteryMin;
}

bool Scanner::ApplicationCommand(const MenuRequest& request, MenuReply& reply)
{
    if (request.Routed() || request.name != "BT_FLS")
        return false;
    reply.value.assign(1, BatteryLow() ? '1' : '0');
    return true;
}

} // namespace sim
