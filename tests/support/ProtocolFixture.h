// A FlashIo on the virtual clock, its log captured, with a scripted device
// behind it.
#pragma once

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/VirtualClock.h"
#include "support/PacketFrames.h"
#include "support/ScriptedTransport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace testing_support {

// Holds the reference-counted objects so they outlive the transport and
// the captured log that point at them.
struct IoHolder {
    IoHolder() : log(Retain(new Log())), io(Retain(new FlashIo(log))) {}
    ~IoHolder()
    {
        Release(io);
        Release(log);
    }
    IoHolder(const IoHolder&) = delete;
    IoHolder& operator=(const IoHolder&) = delete;
    Log* log;
    FlashIo* io;
};

class ProtocolTest : public ::testing::Test {
protected:
    platform::ScopedVirtualClock time;
    IoHolder holder;
    FlashIo* io = holder.io;
    CapturedLog captured{holder.log};
    ScriptedTransport device{*holder.io, time.clock};

    bool Logged(const std::string& text) const { return captured.Contains(text); }
    size_t CountLogged(const std::string& text) const
    {
        size_t count = 0;
        for (size_t at = captured.Text().find(text); at != std::string::npos;
             at = captured.Text().find(text, at + 1))
            ++count;
        return count;
    }
};

} // namespace testing_support
