#include "support/SerialBehaviour.h"

#include "io/FlashIo.h"
#include "io/Rs232.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace testing_support {
namespace {

std::string U8(const std::wstring& text)
{
    return platform::WideToUtf8(text.c_str());
}

std::string Pattern(size_t length)
{
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
    return bytes;
}

// The Log, its captured text and the FlashIo objects of one case; whatever
// a case leaves open is closed and torn down at the end.
// Outlives whatever prints into the Log.
struct OwnedLog {
    Log* log = Retain(new Log());
    ~OwnedLog() { Release(log); }
};

class Bench {
public:
    Bench() : capture_(owned_.log) {}
    ~Bench()
    {
        for (FlashIo* flashIo : objects_) {
            if (flashIo->io && flashIo->io->close)
                flashIo->CloseDevice();
            if (flashIo->io && flashIo->io->destroy)
                flashIo->io->destroy(flashIo->io);
            Release(flashIo);
        }
    }
    Bench(const Bench&) = delete;
    Bench& operator=(const Bench&) = delete;

    FlashIo* New()
    {
        objects_.push_back(Retain(new FlashIo(owned_.log)));
        return objects_.back();
    }
    bool Has(const std::string& part) const { return capture_.Contains(part); }
    const std::string& Text() const { return capture_.Text(); }
    void Clear() { capture_.Clear(); }

private:
    OwnedLog owned_;
    CapturedLog capture_;
    std::vector<FlashIo*> objects_;
};

Rs232Cookie* CookieOf(FlashIo* flashIo)
{
    return static_cast<Rs232Cookie*>(flashIo->io->cookie);
}

int32_t Read(FlashIo* flashIo, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    return flashIo->io->readBytes(flashIo->io, buffer, length, timeoutMs);
}

int32_t Send(FlashIo* flashIo, const std::string& bytes)
{
    int32_t queued = flashIo->WriteBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return queued != 0 ? queued : flashIo->FlushTx();
}

void ExpectOnlyPurgeLeft(FlashIo* flashIo)
{
    FlashIoDevice* io = flashIo->io;
    EXPECT_EQ(io->cookie, nullptr);
    EXPECT_EQ(io->destroy, nullptr);
    EXPECT_EQ(io->open, nullptr);
    EXPECT_EQ(io->close, nullptr);
    EXPECT_EQ(io->writeBytes, nullptr);
    EXPECT_EQ(io->readBytes, nullptr);
    ASSERT_NE(io->purge, nullptr);
    io->purge(io);   // does nothing without a block
}

WIN32_232_SETTINGS Record(uint32_t baud, uint8_t parity, uint8_t stopBits, bool flowControl)
{
    WIN32_232_SETTINGS s;
    memset(&s, 0, sizeof s);
    s.dcb.DCBlength = sizeof(DCB);
    s.dcb.BaudRate = baud;
    s.dcb.ByteSize = 8;
    s.dcb.Parity = parity;
    s.dcb.StopBits = stopBits;
    s.dcb.fBinary = 1;
    s.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    s.dcb.fRtsControl = flowControl ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    s.dcb.fOutxCtsFlow = flowControl;
    s.dcb.fOutX = flowControl;
    s.dcb.fInX = flowControl;
    s.dcb.XonChar = 0x11;
    s.dcb.XoffChar = 0x13;
    s.dcb.XonLim = 512;
    s.dcb.XoffLim = 512;
    s.dwInQueue = 4096;
    s.dwOutQueue = 4096;
    return s;
}

void SetupByNumberTestOpensAndCloses(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 57600), 0) << bench.Text();
    std::string file = U8(device.PortFileName(device.PortNumber()));
    EXPECT_TRUE(bench.Has("Open Success: " + file + ", baudrate: 57600\nClose: UART\n")) << bench.Text();
    Rs232Cookie* cookie = CookieOf(flashIo);
    ASSERT_NE(cookie, nullptr);
    EXPECT_EQ(cookie->openCount, 0);
    EXPECT_EQ(cookie->portHandle, kNoPortHandle);
    EXPECT_EQ(cookie->rxEvent, kNoPortHandle);

    ASSERT_EQ(flashIo->OpenDevice(), 0);
    LineState line = device.Line();
    EXPECT_EQ(line.ToText(), "57600 8 N 1 0 0 0") << "8-N-1 without flow control";

    bench.Clear();
    EXPECT_EQ(flashIo->OpenDevice(), 0);
    EXPECT_EQ(bench.Text(), "") << "an open port is not opened again";
    EXPECT_EQ(flashIo->CloseDevice(), 0);
    EXPECT_EQ(bench.Text(), "Close: UART\nCloseDevice OK.\n");
}

void SetupByNameAppliesTheHostRecord(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    std::wstring name = device.PortName();
    WIN32_232_SETTINGS odd = Record(19200, ODDPARITY, TWOSTOPBITS, true);
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(name.c_str(), &odd), 0) << bench.Text();
    EXPECT_TRUE(bench.Has("OPEN: " + U8(name) + " @ 19200 8-O-2\n")) << bench.Text();
    EXPECT_TRUE(bench.Has("Open Success: " + U8(name) + ", baudrate: -1\n")) << bench.Text();
    // Read back after the test open: a pty drops the parity enable bit, so
    // applying odd parity a second time changes nothing and is refused.
    EXPECT_EQ(device.Line().ToText(), "19200 8 O 2 1 1 1");

    // The next set-up replaces the transport, and its record takes every
    // setting back.
    WIN32_232_SETTINGS plain = Record(9600, NOPARITY, ONESTOPBIT, false);
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(name.c_str(), &plain), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0) << bench.Text();
    EXPECT_EQ(device.Line().ToText(), "9600 8 N 1 0 0 0");
}

void EverySupportedRateOpens(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    for (int32_t rate : {300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000}) {
        bench.Clear();
        EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), rate), 0) << rate << bench.Text();
    }
}

void BytesTravelBothWays(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 115200), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0);

    std::string incoming = std::string("hello\0\xff", 7) + Pattern(1000);
    ASSERT_TRUE(device.Send(incoming));
    std::vector<uint8_t> buffer(incoming.size());
    ASSERT_EQ(Read(flashIo, buffer.data(), static_cast<uint32_t>(buffer.size()), 3000),
              static_cast<int32_t>(incoming.size()));
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), incoming);

    std::string outgoing = std::string("ping\0\x80", 6) + Pattern(1000);
    EXPECT_EQ(Send(flashIo, outgoing), 0) << bench.Text();
    EXPECT_EQ(ToHex(device.Receive(outgoing.size(), 3000)), ToHex(outgoing));
}

void ShortReadsAreZeroFilled(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    ASSERT_TRUE(device.Send("abcd"));
    uint8_t buffer[10];
    memset(buffer, 0xAA, sizeof buffer);
    bench.Clear();
    EXPECT_EQ(Read(flashIo, buffer, 10, 150), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), std::string("abcd\0\0\0\0\0\0", 10));
    EXPECT_TRUE(bench.Has("Read  Timeout. Timeout at = ")) << bench.Text();
    EXPECT_TRUE(bench.Has(" millisec\n"));

    // Timeouts below 2 ms are polls: no log line.
    for (uint32_t timeout : {0u, 1u}) {
        bench.Clear();
        memset(buffer, 0xAA, sizeof buffer);
        EXPECT_EQ(Read(flashIo, buffer, 10, timeout), 0);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 10), std::string(10, '\0'));
        EXPECT_EQ(bench.Text(), "") << timeout;
    }
}

void ZeroLengthTransfers(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    bench.Clear();
    uint8_t byte = 0x55;
    EXPECT_EQ(Read(flashIo, &byte, 0, 100), 0);
    EXPECT_EQ(byte, 0x55) << "nothing is touched";
    EXPECT_EQ(flashIo->io->writeBytes(flashIo->io, &byte, 0), 0);
    EXPECT_EQ(Send(flashIo, ""), 0);
    EXPECT_EQ(bench.Text(), "");
    EXPECT_EQ(device.Receive(1, 50), "");
}

void AClosedPortRefusesIo(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    bench.Clear();
    uint8_t buffer[4] = {1, 2, 3, 4};
    EXPECT_EQ(flashIo->io->writeBytes(flashIo->io, buffer, 4), -1);
    EXPECT_EQ(Read(flashIo, buffer, 4, 10), -1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), std::string(4, '\0')) << "zero-filled first";
    EXPECT_EQ(bench.Text(), "ERROR: write() - COMPORT - is closed (not open)\nCOMPORT is closed\n");
    EXPECT_EQ(flashIo->CloseDevice(), 0);
}

void DestroyWhileOpenClosesThePort(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    bench.Clear();
    flashIo->io->destroy(flashIo->io);
    EXPECT_EQ(bench.Text(), "FlashIo: Cleanup RS232 Missing close\n");
    ExpectOnlyPurgeLeft(flashIo);

    FlashIo* next = bench.New();
    EXPECT_EQ(next->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
}

void ASecondOpenerIsRefused(SerialDeviceSide& device)
{
    if (!device.RefusesSecondOpener())
        GTEST_SKIP() << "this system lets a second opener share a COM port";
    Bench bench;
    FlashIo* first = bench.New();
    FlashIo* second = bench.New();
    ASSERT_EQ(first->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    ASSERT_EQ(first->OpenDevice(), 0);
    bench.Clear();
    std::string file = U8(device.PortFileName(device.PortNumber()));
    EXPECT_EQ(second->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), -3);
    EXPECT_TRUE(bench.Has("Cannot open Device: " + file + "\nError: (" + file + ") 0x")) << bench.Text();
    ExpectOnlyPurgeLeft(second);

    EXPECT_EQ(first->CloseDevice(), 0);
    EXPECT_EQ(second->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
}

void AVanishingDeviceEndsTheRead(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    ASSERT_TRUE(device.Send("xy"));
    device.HangUp(100);
    bench.Clear();
    uint8_t buffer[10];
    // The read ends with what came, at the latest at its deadline: the
    // termios port sees the hang-up at once and says so; the Win32 port
    // under Wine reads nothing until the deadline, as on an idle line.
    EXPECT_EQ(Read(flashIo, buffer, 10, 600), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "xy");
    EXPECT_NE(bench.Has("Error Reading: ("), bench.Has("Read  Timeout. Timeout at = ")) << bench.Text();
    EXPECT_LE(Read(flashIo, buffer, 10, 600), 0);

    bench.Clear();
    EXPECT_EQ(Send(flashIo, "abc"), -3);
    EXPECT_TRUE(bench.Has("Error Writing: 3 bytes\nError Writing time: ")) << bench.Text();
    EXPECT_EQ(flashIo->CloseDevice(), 0);

    // The port is gone for good: the open fails once with the system's
    // reason, then the transport has no block any more.
    bench.Clear();
    EXPECT_EQ(flashIo->OpenDevice(), -3);
    EXPECT_TRUE(bench.Has("Cannot open Device: ")) << bench.Text();
    EXPECT_EQ(flashIo->io->cookie, nullptr);
    bench.Clear();
    EXPECT_EQ(flashIo->OpenDevice(), -3);
    EXPECT_EQ(Send(flashIo, "z"), -3);
    EXPECT_EQ(Read(flashIo, buffer, 1, 10), -1);
    EXPECT_EQ(flashIo->CloseDevice(), -3);
    EXPECT_EQ(bench.Text(), "No cookie: open\nWin32 RS232 close - No cookie!\nWin32 RS232 closed - No cookie!\n"
                            "Win32 RS232 close - No cookie!\n");
}

void AnUnsupportedRateIsRefused(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    std::string file = U8(device.PortFileName(device.PortNumber()));
    EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 110), -3);
    EXPECT_TRUE(bench.Has("Unsupported baudrate: 110\nError: (" + file + ") 0x")) << bench.Text();
    EXPECT_FALSE(bench.Has("Open Success"));
    ExpectOnlyPurgeLeft(flashIo);
    // The port was let go again.
    EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.PortNumber(), 9600), 0) << bench.Text();
}

// The error line carries the system's text for its code whole, ended by the
// system's own line break, or by a line feed when the text has none.
void ExpectSystemTextWhole(SerialDeviceSide& device, const std::string& log, const std::string& file)
{
    std::string prefix = "Error: (" + file + ") 0x";
    size_t at = log.find(prefix);
    ASSERT_NE(at, std::string::npos) << log;
    std::string code = log.substr(at + prefix.size(), 8);
    std::string text = device.SystemText(static_cast<uint32_t>(std::stoul(code, nullptr, 16)));
    std::string line = prefix + code + " " + text + (!text.empty() && text.back() == '\n' ? "" : "\n");
    EXPECT_EQ(log.substr(at, line.size()), line);
    size_t next = at + line.size();
    EXPECT_FALSE(next < log.size() && log[next] == '\n') << "a blank line after the error line";
}

void AMissingPortIsReported(SerialDeviceSide& device)
{
    Bench bench;
    FlashIo* flashIo = bench.New();
    std::string file = U8(device.PortFileName(device.MissingPortNumber()));
    EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(device.MissingPortNumber(), 9600), -3);
    EXPECT_TRUE(bench.Has("Cannot open Device: " + file + "\nError: (" + file + ") 0x")) << bench.Text();
    ExpectSystemTextWhole(device, bench.Text(), file);
    ExpectOnlyPurgeLeft(flashIo);

    bench.Clear();
    std::string name = U8(device.MissingPortName());
    WIN32_232_SETTINGS plain = Record(9600, NOPARITY, ONESTOPBIT, false);
    EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(device.MissingPortName().c_str(), &plain), -3);
    EXPECT_TRUE(bench.Has("Cannot open Device: " + name + "\nError: (" + name + ") 0x")) << bench.Text();
    ExpectOnlyPurgeLeft(flashIo);
}

} // namespace

const std::vector<SerialCase>& SerialBehaviourCases()
{
    static const std::vector<SerialCase> cases = {
        {"SetupByNumberTestOpensAndCloses", SetupByNumberTestOpensAndCloses},
        {"SetupByNameAppliesTheHostRecord", SetupByNameAppliesTheHostRecord},
        {"EverySupportedRateOpens", EverySupportedRateOpens},
        {"BytesTravelBothWays", BytesTravelBothWays},
        {"ShortReadsAreZeroFilled", ShortReadsAreZeroFilled},
        {"ZeroLengthTransfers", ZeroLengthTransfers},
        {"AClosedPortRefusesIo", AClosedPortRefusesIo},
        {"DestroyWhileOpenClosesThePort", DestroyWhileOpenClosesThePort},
        {"ASecondOpenerIsRefused", ASecondOpenerIsRefused},
        {"AVanishingDeviceEndsTheRead", AVanishingDeviceEndsTheRead},
        {"AnUnsupportedRateIsRefused", AnUnsupportedRateIsRefused},
        {"AMissingPortIsReported", AMissingPortIsReported},
    };
    return cases;
}

} // namespace testing_support
