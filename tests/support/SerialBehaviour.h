// One table of serial transport behaviour that both backends must pass: the
// termios port natively against a pty, the Win32 port under Wine against a
// pty mapped to a COM number. Each program supplies the device side.
#pragma once

#include "support/SerialLine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

class SerialDeviceSide {
public:
    virtual ~SerialDeviceSide() = default;
    // A new line for the next case: nothing pending, the port reachable.
    virtual bool Fresh() = 0;
    virtual int32_t PortNumber() = 0;
    // What the set-up by number opens for a number.
    virtual std::wstring PortFileName(int32_t number) = 0;
    // The port for the set-up by name.
    virtual std::wstring PortName() = 0;
    virtual int32_t MissingPortNumber() = 0;
    virtual std::wstring MissingPortName() = 0;
    virtual bool Send(const std::string& bytes) = 0;
    virtual std::string Receive(size_t count, uint32_t timeoutMs) = 0;
    virtual LineState Line() = 0;
    // The device goes away after afterMs: the port's name is gone at once,
    // the line is hung up then.
    virtual void HangUp(uint32_t afterMs) = 0;
    // Whether the system keeps a second opener off an open port.
    virtual bool RefusesSecondOpener() = 0;
    // The system's own English text for an error code, as it gives it.
    virtual std::string SystemText(uint32_t code) = 0;
};

struct SerialCase {
    const char* name;
    void (*run)(SerialDeviceSide& device);
};

const std::vector<SerialCase>& SerialBehaviourCases();

} // namespace testing_support
