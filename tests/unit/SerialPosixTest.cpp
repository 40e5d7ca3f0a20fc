// The termios serial port against real ptys: the shared behaviour table,
// plus what only this backend can be asked.
#include "io/FlashIo.h"
#include "io/Rs232.h"
#include "log/Log.h"
#include "support/PtyDevice.h"
#include "support/SerialBehaviour.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include <fcntl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

using namespace testing_support;

// Outlives whatever prints into the Log.
struct OwnedLog {
    Log* log = Retain(new Log());
    ~OwnedLog() { Release(log); }
};

// COM numbers and names lead to symlinks in a temporary directory, which
// point at the slave of a fresh pty for every case.
class PtyLine : public SerialDeviceSide {
public:
    PtyLine() { Rs232SetDevicePrefix(dir_.WideFile("ttyS").c_str()); }
    ~PtyLine() override { Rs232SetDevicePrefix(nullptr); }

    bool Fresh() override
    {
        pty_ = std::make_unique<PtyDevice>();
        Unlink();
        return pty_->Ok() && symlink(pty_->SlavePath().c_str(), dir_.File("ttyS6").c_str()) == 0 &&
               symlink(pty_->SlavePath().c_str(), dir_.File("port").c_str()) == 0;
    }
    int32_t PortNumber() override { return 7; }
    std::wstring PortFileName(int32_t number) override { return dir_.WideFile("ttyS" + std::to_string(number - 1)); }
    std::wstring PortName() override { return dir_.WideFile("port"); }
    int32_t MissingPortNumber() override { return 99; }
    std::wstring MissingPortName() override { return dir_.WideFile("none"); }
    bool Send(const std::string& bytes) override { return pty_->Send(bytes); }
    std::string Receive(size_t count, uint32_t timeoutMs) override { return pty_->Receive(count, timeoutMs); }
    LineState Line() override { return pty_->Line(); }
    void HangUp(uint32_t afterMs) override
    {
        Unlink();
        pty_->HangUp(afterMs);
    }
    bool RefusesSecondOpener() override { return true; }
    std::string SystemText(uint32_t code) override { return strerror(static_cast<int>(code)); }
    const std::string& SlavePath() const { return pty_->SlavePath(); }

private:
    void Unlink()
    {
        unlink(dir_.File("ttyS6").c_str());
        unlink(dir_.File("port").c_str());
    }

    TempDir dir_;
    std::unique_ptr<PtyDevice> pty_;
};

class SerialBehaviour : public ::testing::TestWithParam<SerialCase> {
protected:
    PtyLine line;
};

TEST_P(SerialBehaviour, Holds)
{
    ASSERT_TRUE(line.Fresh());
    GetParam().run(line);
}

INSTANTIATE_TEST_SUITE_P(Termios, SerialBehaviour, ::testing::ValuesIn(SerialBehaviourCases()),
                         [](const ::testing::TestParamInfo<SerialCase>& info) { return info.param.name; });

size_t OpenDescriptors()
{
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(SerialPosix, FailuresAndTeardownsLeaveNoDescriptorOpen)
{
    PtyLine line;
    ASSERT_TRUE(line.Fresh());
    OwnedLog owned;
    Log* log = owned.log;
    size_t before = OpenDescriptors();
    {
        FlashIo* flashIo = Retain(new FlashIo(log));
        EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(line.PortNumber(), 110), -3);
        EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(line.PortNumber(), 9600), 0);
        EXPECT_EQ(flashIo->OpenDevice(), 0);
        flashIo->io->destroy(flashIo->io);
        WIN32_232_SETTINGS even{};
        even.dcb.BaudRate = 9600;
        even.dcb.ByteSize = 9;   // no line has nine data bits
        EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(line.PortName().c_str(), &even), -3);
        EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(line.PortNumber(), 9600), 0);
        EXPECT_EQ(flashIo->OpenDevice(), 0);
        Release(flashIo);   // still open: the destructor tears it down
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialPosix, ARecordTheLineCannotTakeIsRefused)
{
    PtyLine line;
    ASSERT_TRUE(line.Fresh());
    OwnedLog owned;
    Log* log = owned.log;
    CapturedLog capture(log);
    FlashIo* flashIo = Retain(new FlashIo(log));
    WIN32_232_SETTINGS record{};
    record.dcb.BaudRate = 9600;
    record.dcb.ByteSize = 8;
    record.dcb.StopBits = 5;
    EXPECT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(line.PortName().c_str(), &record), -3);
    EXPECT_TRUE(capture.Contains("OPEN: " + platform::WideToUtf8(line.PortName().c_str()) + " @ 9600 8-N-?\n"))
        << capture.Text();
    EXPECT_TRUE(capture.Contains("Cannot set (sdk) serial parameters\nError: (")) << capture.Text();
    EXPECT_TRUE(capture.Contains("Invalid argument\n")) << capture.Text();
    Release(flashIo);
}

TEST(SerialPosix, AHungUpLineEndsTheReadAtOnce)
{
    PtyLine line;
    ASSERT_TRUE(line.Fresh());
    OwnedLog owned;
    Log* log = owned.log;
    CapturedLog capture(log);
    FlashIo* flashIo = Retain(new FlashIo(log));
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232(line.PortNumber(), 9600), 0);
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    line.Send("xy");
    line.HangUp(100);
    capture.Clear();
    uint8_t buffer[10];
    // A deadline far beyond the test's patience: only the hang-up ends it.
    EXPECT_EQ(flashIo->io->readBytes(flashIo->io, buffer, 10, 600000), 2);
    std::string file = platform::WideToUtf8(line.PortFileName(line.PortNumber()).c_str());
    EXPECT_EQ(capture.Text(), "Error Reading: (" + file + ") 0x00000005 Input/output error\n");
    EXPECT_EQ(flashIo->io->readBytes(flashIo->io, buffer, 10, 600000), -1);
    Release(flashIo);
}

// The device holds the line, as flow control does when CTS never comes up or
// XOFF was the last thing it sent: the write must fail within its budget of
// 10 ms per byte plus 100 ms, not block in the drain. A held pty refuses the
// bytes outright.
TEST(SerialPosix, AHeldLineFailsTheWriteAndTheNextOneGoesThrough)
{
    PtyLine line;
    ASSERT_TRUE(line.Fresh());
    // The port's other opener, before the transport takes it for itself.
    int holder = open(line.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    OwnedLog owned;
    CapturedLog capture(owned.log);
    FlashIo* flashIo = Retain(new FlashIo(owned.log));
    WIN32_232_SETTINGS record{};
    record.dcb.BaudRate = 115200;
    record.dcb.ByteSize = 8;
    record.dcb.fOutxCtsFlow = 1;
    record.dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_EQ(flashIo->BL_FlashIo_Setup_WIN32_RS232_V2(line.PortName().c_str(), &record), 0);
    ASSERT_EQ(flashIo->OpenDevice(), 0);
    FlashIoDevice* io = flashIo->io;

    ASSERT_EQ(tcflow(holder, TCOOFF), 0);
    const uint8_t held[] = "held line";
    EXPECT_EQ(io->writeBytes(io, held, 9), -1);
    EXPECT_TRUE(capture.Contains("Error Writing: 9 bytes\n")) << capture.Text();

    ASSERT_EQ(tcflow(holder, TCOON), 0);
    const uint8_t next[] = "next";
    EXPECT_EQ(io->writeBytes(io, next, 4), 4);
    EXPECT_EQ(line.Receive(4, 1000), "next");
    Release(flashIo);
    close(holder);
}

// A driver that took the bytes but cannot send them keeps them queued; a
// pty never does, but a socket whose peer reads nothing reports its unsent
// bytes to the same request (TIOCOUTQ is SIOCOUTQ).
TEST(SerialPosix, BytesThatNeverLeaveTheDriverFailTheWrite)
{
    int ends[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    Rs232Cookie cookie{};
    cookie.portHandle = ends[0];
    const uint8_t bytes[] = "queued";
    EXPECT_EQ(Rs232WritePort(&cookie, bytes, 6), -1);
    close(ends[0]);
    close(ends[1]);
}

} // namespace
