#include "sim/MenuParser.h"

namespace sim {

std::string MenuRequest::Wire() const
{
    std::string wire;
    wire += static_cast<char>(kSyn);
    wire += command;
    wire += static_cast<char>(kCr);
    wire += prefix + name + value;
    wire += terminator;
    return wire;
}

MenuParser::Event MenuParser::Feed(uint8_t byte)
{
    if (byte == kSyn) {
        state_ = State::Command;
        return Event::None;
    }
    switch (state_) {
    case State::Idle:
        return Event::None;
    case State::Command:
        command_ = static_cast<char>(byte);
        state_ = State::Separator;
        return Event::None;
    case State::Separator:
        if (byte != kCr) {
            state_ = State::Idle;
            return Event::None;
        }
        if (command_ == 'C') {
            state_ = State::Idle;
            return Event::Wake;
        }
        text_.clear();
        state_ = State::Text;
        return Event::None;
    case State::Text:
        break;
    }
    if (byte != '.' && byte != '!') {
        // A runaway command is dropped rather than grown without bound.
        if (text_.size() >= kMaxText)
            state_ = State::Idle;
        else
            text_ += static_cast<char>(byte);
        return Event::None;
    }
    state_ = State::Idle;
    request_ = MenuRequest{};
    request_.command = command_;
    request_.terminator = static_cast<char>(byte);
    std::string rest = text_;
    if (!rest.empty() && rest[0] == ':') {
        size_t second = rest.find(':', 1);
        if (second != std::string::npos) {
            request_.prefix = rest.substr(0, second + 1);
            rest = rest.substr(second + 1);
        }
    }
    request_.name = rest.substr(0, 6);
    request_.value = rest.size() > 6 ? rest.substr(6) : std::string();
    return Event::Request;
}

} // namespace sim
