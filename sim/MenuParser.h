// The device's reading of menu commands: SYN, a command character, CR, the
// text, and '.' or '!' at its end. SYN 'C' CR on its own is the wake-up.
#pragma once

#include "sim/Ascii.h"

#include <string>

namespace sim {

struct MenuRequest {
    char command = 0;      // 'M', 'Y', ...
    std::string prefix;    // routing prefix with both colons (":*:", ":#ADDR:"), empty when none
    std::string name;      // the six-character command name (all of the text when shorter)
    std::string value;     // what follows the name, an extra '?' included
    char terminator = '.';

    bool Routed() const { return !prefix.empty(); }
    // SYN, command, CR, text and terminator as they came in.
    std::string Wire() const;
};

class MenuParser {
public:
    enum class Event { None, Request, Wake };

    // True while a command is being read: the next byte belongs to it.
    bool Active() const { return state_ != State::Idle; }
    // Takes one byte; a SYN always starts a new command.
    Event Feed(uint8_t byte);
    void Reset() { state_ = State::Idle; }
    const MenuRequest& Request() const { return request_; }

private:
    enum class State { Idle, Command, Separator, Text };
    static constexpr size_t kMaxText = 1024;

    State state_ = State::Idle;
    char command_ = 0;
    std::string text_;
    MenuRequest request_;
};

} // namespace sim
