// Host bytes of any kind into the simulated devices: menu parsing, the frame
// decoder, routing and transparent mode must neither crash nor grow without
// bound. The first byte picks the device and its state; then each chunk is
// a gap in milliseconds, a length and that many bytes.
#include "sim/Device.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t mode = data[0];
    sim::DeviceConfig config = (mode & 1) ? sim::DeviceConfig::CradleWithScanner() : sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = (mode & 2) != 0;
    config.scanner.startInBootloader = (mode & 4) != 0;
    config.scannerInCradle = (mode & 8) != 0;
    config.unit.lowPower = (mode & 16) != 0;
    config.timings.lineSpeed = (mode & 32) != 0;
    sim::Device device(config);
    sim::LineSettings host{115200, 8, 'N', 1};
    sim::Time now = 0;
    uint8_t out[512];
    auto send = [&](const std::string& bytes) {
        device.Receive(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), now, host);
    };
    if (mode & 64)
        send("\x16Y\rBTLPRO1.");
    if (mode & 128)
        send("\x16M\rBASPAS1.");
    size_t at = 1;
    while (at + 2 <= size) {
        now += data[at] * 7u;
        size_t length = data[at + 1];
        at += 2;
        if (length > size - at)
            length = size - at;
        device.Receive(data + at, length, now, host);
        at += length;
        while (device.Read(out, sizeof out, now) > 0) {
        }
    }
    // Let everything scheduled run out.
    now += 120000;
    device.Advance(now);
    while (device.Read(out, sizeof out, now) > 0) {
    }
    return 0;
}
