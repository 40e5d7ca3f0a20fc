// The device end of a pty pair: the test holds the master and plays the
// scanner; the library opens the slave as its serial port. Linux only, and
// free of library headers so that the native helper of the Wine tests can
// use it as well.
#pragma once

#include "SerialLine.h"

#include <cstdint>
#include <string>
#include <thread>

namespace testing_support {

class PtyDevice {
public:
    PtyDevice();
    ~PtyDevice();
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    bool Ok() const { return master_ >= 0 || hungUp_; }
    const std::string& SlavePath() const { return slavePath_; }

    bool Send(const std::string& bytes);
    // Collects up to count bytes within timeoutMs of real time.
    std::string Receive(size_t count, uint32_t timeoutMs);
    // The slave's settings, as read from the master side.
    LineState Line() const;
    // Closes the master after afterMs: for the port the device is gone.
    void HangUp(uint32_t afterMs);

private:
    int master_ = -1;
    bool hungUp_ = false;
    std::string slavePath_;
    std::thread hangUp_;
};

} // namespace testing_support
