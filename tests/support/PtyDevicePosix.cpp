#include "PtyDevice.h"

#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

PtyDevice::PtyDevice()
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return;
    const char* name = nullptr;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || !(name = ptsname(master))) {
        close(master);
        return;
    }
    slavePath_ = name;
    master_ = master;
}

PtyDevice::~PtyDevice()
{
    if (hangUp_.joinable())
        hangUp_.join();
    if (master_ >= 0)
        close(master_);
}

bool PtyDevice::Send(const std::string& bytes)
{
    size_t sent = 0;
    while (master_ >= 0 && sent < bytes.size()) {
        ssize_t n = write(master_, bytes.data() + sent, bytes.size() - sent);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return sent == bytes.size();
}

std::string PtyDevice::Receive(size_t count, uint32_t timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string bytes;
    while (master_ >= 0 && bytes.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0)
            break;
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left < 10 ? left : 10)) <= 0)
            continue;
        char buffer[512];
        size_t want = count - bytes.size() < sizeof buffer ? count - bytes.size() : sizeof buffer;
        ssize_t n = read(master_, buffer, want);
        if (n > 0)
            bytes.append(buffer, static_cast<size_t>(n));
        else
            usleep(1000);   // no slave open yet: the master reports EIO
    }
    return bytes;
}

LineState PtyDevice::Line() const
{
    LineState line;
    termios t;
    if (master_ < 0 || tcgetattr(master_, &t) != 0)
        return line;
    static const struct {
        speed_t constant;
        uint32_t rate;
    } speeds[] = {{B300, 300},     {B600, 600},     {B1200, 1200},     {B2400, 2400},    {B4800, 4800},
                  {B9600, 9600},   {B19200, 19200}, {B38400, 38400},   {B57600, 57600},  {B115200, 115200},
                  {B230400, 230400}};
    for (const auto& s : speeds)
        if (cfgetospeed(&t) == s.constant)
            line.baud = s.rate;
    switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    // A pty drops PARENB but keeps PARODD, so odd parity reads back as such.
    if (t.c_cflag & CMSPAR)
        line.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else if (t.c_cflag & PARODD)
        line.parity = 'O';
    else
        line.parity = (t.c_cflag & PARENB) ? 'E' : 'N';
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line.xonOut = (t.c_iflag & IXON) != 0;
    line.xonIn = (t.c_iflag & IXOFF) != 0;
    return line;
}

void PtyDevice::HangUp(uint32_t afterMs)
{
    if (master_ < 0 || hangUp_.joinable())
        return;
    int master = master_;
    master_ = -1;
    hungUp_ = true;
    hangUp_ = std::thread([master, afterMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
        close(master);
    });
}

} // namespace testing_support
