// The serial transport's system calls on Linux: termios on a tty device
// (a serial port, a USB serial adapter or a pty), opened non-blocking and
// polled one byte at a time like the Win32 port with its 1 ms read timeout.
#include "io/Rs232.h"

#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

// Rs232BaudLinux.cpp: rates that have no B constant (14400, 56000, ...).
bool Rs232SetLinuxCustomBaud(int fd, uint32_t baudRate);

namespace {

std::wstring& DevicePrefix()
{
    static std::wstring prefix = L"/dev/ttyS";
    return prefix;
}

int Descriptor(const Rs232Cookie* cookie)
{
    return static_cast<int>(cookie->portHandle);
}

struct SpeedEntry {
    uint32_t rate;
    speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000},
};

bool StandardSpeed(uint32_t rate, speed_t& constant)
{
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.rate == rate) {
            constant = entry.constant;
            return true;
        }
    return false;
}

uint32_t SpeedRate(speed_t constant)
{
    for (const SpeedEntry& entry : kSpeeds)
        if (entry.constant == constant)
            return entry.rate;
    return 0;
}

// The line the DCB describes, as termios. False (errno EINVAL) for a value
// no line can take, as SetCommState refuses it.
bool DcbToTermios(const DCB& dcb, termios& t, bool& customSpeed)
{
    customSpeed = false;
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
        dcb.StopBits > TWOSTOPBITS) {
        errno = EINVAL;
        return false;
    }
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;

    speed_t speed;
    if (StandardSpeed(dcb.BaudRate, speed)) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    } else {
        customSpeed = true;
    }

    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag = (t.c_cflag & ~CSIZE) | sizes[dcb.ByteSize - 5];

    static constexpr tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
    t.c_cflag = (t.c_cflag & ~(PARENB | PARODD | CMSPAR)) | parities[dcb.Parity];
    if (dcb.fParity && dcb.Parity != NOPARITY)
        t.c_iflag |= INPCK;

    // 1.5 stop bits exist only for 5-bit lines on a UART; termios has two.
    if (dcb.StopBits == ONESTOPBIT)
        t.c_cflag &= ~CSTOPB;
    else
        t.c_cflag |= CSTOPB;

    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    t.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    if (dcb.XonChar)
        t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    if (dcb.XoffChar)
        t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return true;
}

void TermiosToDcb(const termios& t, DCB& dcb)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = SpeedRate(cfgetospeed(&t));
    dcb.fBinary = 1;
    dcb.fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb.fRtsControl = (t.c_cflag & CRTSCTS) ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    switch (t.c_cflag & CSIZE) {
    case CS5: dcb.ByteSize = 5; break;
    case CS6: dcb.ByteSize = 6; break;
    case CS7: dcb.ByteSize = 7; break;
    default: dcb.ByteSize = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = NOPARITY;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb.StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

// DTR and RTS as the DCB asks. A pty has no modem lines, so a refusal is
// not an error here.
void SetModemLines(int fd, const DCB& dcb)
{
    int dtr = TIOCM_DTR;
    if (dcb.fDtrControl != DTR_CONTROL_DISABLE)
        ioctl(fd, TIOCMBIS, &dtr);
    else
        ioctl(fd, TIOCMBIC, &dtr);
    if (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        return;   // the driver drives RTS under CRTSCTS
    int rts = TIOCM_RTS;
    if (dcb.fRtsControl != RTS_CONTROL_DISABLE)
        ioctl(fd, TIOCMBIS, &rts);
    else
        ioctl(fd, TIOCMBIC, &rts);
}

bool ApplyDcb(int fd, const DCB& dcb)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    bool customSpeed;
    if (!DcbToTermios(dcb, t, customSpeed))
        return false;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return false;
    if (customSpeed && !Rs232SetLinuxCustomBaud(fd, dcb.BaudRate))
        return false;
    SetModemLines(fd, dcb);
    return true;
}

} // namespace

void Rs232SetDevicePrefix(const wchar_t* prefix)
{
    DevicePrefix() = prefix ? prefix : L"/dev/ttyS";
}

const wchar_t* err2str(FlashIoDevice* io)
{
    auto* cookie = io ? static_cast<Rs232Cookie*>(io->cookie) : nullptr;
    if (!cookie) {
        IoLog(io, LOG_ERROR, L"No cookie: %s\n", L"err2str");
        return L"No cookie? win32 rs232";
    }
    std::wstring text = platform::Utf8ToWide(strerror(errno));
    size_t length = text.size() < 1023 ? text.size() : 1023;
    for (size_t i = 0; i < length; ++i)
        cookie->errorText[i] = text[i] > 256 ? L'?' : text[i];
    cookie->errorText[length] = 0;
    return cookie->errorText;
}

uint32_t Rs232LastError()
{
    return static_cast<uint32_t>(errno);
}

void Rs232SetLastError(uint32_t code)
{
    errno = static_cast<int>(code);
}

void Rs232FormatPortFileName(Rs232Cookie* cookie)
{
    std::wstring name = DevicePrefix() + std::to_wstring(cookie->portNumber - 1);
    wcsncpy(cookie->portFileName, name.c_str(), 99);
    cookie->portFileName[99] = 0;
}

bool Rs232OpenPortFile(FlashIoDevice* io, Rs232Cookie* cookie, const wchar_t* fileName)
{
    std::string path = platform::WideToUtf8(fileName);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // TIOCEXCL keeps other openers out, but not a privileged one; the lock
    // keeps out every user of this library, whoever runs it.
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        fd = -1;
    }
    if (fd < 0) {
        Rs232LogKeepingError(io, L"Cannot open Device: %s\n", fileName);
        return false;
    }
    ioctl(fd, TIOCEXCL);
    cookie->portHandle = fd;
    return true;
}

bool Rs232CreateRxEvent(FlashIoDevice*, Rs232Cookie*)
{
    return true;   // nothing waits on an event here
}

bool Rs232ApplyTimeouts(FlashIoDevice*, Rs232Cookie* cookie)
{
    // Kept for the record; the read and write loops enforce the same
    // bounds themselves (about 1 ms per idle byte, 10 ms per byte + 100 ms
    // per write).
    cookie->timeouts.ReadIntervalTimeout = 0xFFFFFFFF;
    cookie->timeouts.ReadTotalTimeoutMultiplier = 1;
    cookie->timeouts.ReadTotalTimeoutConstant = 0;
    cookie->timeouts.WriteTotalTimeoutMultiplier = 10;
    cookie->timeouts.WriteTotalTimeoutConstant = 100;
    return true;
}

bool Rs232ApplyCurrentState(FlashIoDevice* io, Rs232Cookie* cookie)
{
    int fd = Descriptor(cookie);
    memset(&cookie->currentDcb, 0, sizeof cookie->currentDcb);
    cookie->currentDcb.DCBlength = sizeof(DCB);
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        Rs232LogKeepingError(io, L"cannot get com state\n");
        return false;
    }
    TermiosToDcb(t, cookie->currentDcb);
    Rs232ApplyCurrentParameters(cookie->currentDcb, static_cast<uint32_t>(cookie->baudRate));
    if (!ApplyDcb(fd, cookie->currentDcb)) {
        Rs232LogKeepingError(io, L"Cannot set (cur) serial parameters\n");
        return false;
    }
    return true;
}

bool Rs232SetupQueues(FlashIoDevice*, Rs232Cookie*)
{
    return true;   // tty queues have a fixed size
}

bool Rs232ApplyHostState(FlashIoDevice* io, Rs232Cookie* cookie)
{
    if (!ApplyDcb(Descriptor(cookie), cookie->settings.dcb)) {
        Rs232LogKeepingError(io, L"Cannot set (sdk) serial parameters\n");
        return false;
    }
    return true;
}

void Rs232PurgePort(Rs232Cookie* cookie)
{
    tcflush(Descriptor(cookie), TCIOFLUSH);
}

void Rs232ClosePort(Rs232Cookie* cookie)
{
    if (cookie->portHandle != kNoPortHandle) {
        int fd = Descriptor(cookie);
        tcflush(fd, TCIOFLUSH);
        ioctl(fd, TIOCNXCL);
        close(fd);   // also drops the lock
        cookie->portHandle = kNoPortHandle;
    }
    cookie->rxEvent = kNoPortHandle;
}

namespace {

bool BudgetSpent(uint32_t start, uint32_t limit)
{
    return platform::TimeUp(start, limit);
}

// Waits until the driver has sent everything queued, or the budget is
// spent. tcdrain() cannot be bounded: with hardware flow control and a
// device that never raises CTS (or sent XOFF and went quiet) it waits
// forever. A driver that cannot report its queue counts as drained.
bool DrainOutput(int fd, uint32_t start, uint32_t limit)
{
    for (;;) {
        int pending = 0;
        if (ioctl(fd, TIOCOUTQ, &pending) != 0 || pending <= 0)
            return true;
        if (BudgetSpent(start, limit))
            return false;
        platform::SleepMs(1);
    }
}

} // namespace

int32_t Rs232WritePort(Rs232Cookie* cookie, const uint8_t* data, uint32_t length)
{
    int fd = Descriptor(cookie);
    // The budget of the Win32 write timeouts: 10 ms per byte plus 100 ms.
    uint64_t budget = 10ull * length + 100;
    uint32_t limit = budget > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<uint32_t>(budget);
    uint32_t start = platform::TickCount();
    uint32_t written = 0;
    while (written < length) {
        ssize_t n = write(fd, data + written, length - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return -1;
        if (BudgetSpent(start, limit))
            break;
        platform::SleepMs(1);
    }
    // The bytes leave the driver before the caller starts timing the reply.
    // A line that takes or sends nothing more within the budget is held:
    // the write fails, and what the driver still holds is dropped, so the
    // caller's retry cannot put stale bytes on the line behind it.
    if (written < length || !DrainOutput(fd, start, limit)) {
        tcflush(fd, TCOFLUSH);
        errno = ETIMEDOUT;
        return -1;
    }
    return static_cast<int32_t>(written);
}

int32_t Rs232ReadPortByte(Rs232Cookie* cookie, uint8_t* byte)
{
    int fd = Descriptor(cookie);
    ssize_t n = read(fd, byte, 1);
    if (n == 1)
        return 1;
    if (n < 0 && errno != EAGAIN && errno != EINTR)
        return -1;
    // With VMIN and VTIME 0 an idle line and a hung-up one both read 0
    // bytes; only the hang-up shows in poll.
    pollfd state{fd, POLLIN, 0};
    if (n == 0 && poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        errno = EIO;
        return -1;
    }
    platform::SleepMs(1);
    return 0;
}
