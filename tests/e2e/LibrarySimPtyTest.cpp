// The library's own serial transport and protocol layers against tambrix-sim
// on a real pty, in real time: P_INFO, the restart into the bootloader, the
// packet link and a small image, compared with what the simulator dumps.
#include "files/FirmwareBuilder.h"
#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

WIN32_232_SETTINGS EightNOne()
{
    WIN32_232_SETTINGS s;
    std::memset(&s, 0, sizeof s);
    s.dcb.DCBlength = sizeof(DCB);
    s.dcb.BaudRate = 115200;
    s.dcb.fBinary = 1;
    s.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    s.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    s.dcb.ByteSize = 8;
    s.dcb.Parity = NOPARITY;
    s.dcb.StopBits = ONESTOPBIT;
    s.dwInQueue = 4096;
    s.dwOutQueue = 4096;
    return s;
}

class Engine {
public:
    Engine() : log(Retain(new Log())), engine(Retain(new KIRO_FlashTool(log))), io(engine->io), captured(std::make_unique<testing_support::CapturedLog>(log)) {}
    ~Engine()
    {
        if (io->io && io->io->destroy) {
            io->CloseDevice();
            io->io->destroy(io->io);
        }
        // TAMBRIX_FLOW_LOG=1 prints the library's log of the run.
        if (std::getenv("TAMBRIX_FLOW_LOG"))
            std::fprintf(stderr, "%s", captured->Text().c_str());
        captured.reset();
        Release(engine);
        Release(log);
    }
    Log* log;
    KIRO_FlashTool* engine;
    FlashIo* io;
    std::unique_ptr<testing_support::CapturedLog> captured;

    // P_INFO until the device reports `state`, reopening the port for each
    // try as the reset wait does; false after `limitMs`.
    bool WaitForState(int state, uint32_t limitMs)
    {
        for (uint32_t start = platform::TickCount(); platform::TickCount() - start < limitMs;) {
            if (io->OpenDevice() == 0) {
                engine->ResetPinfo('?');
                int32_t result = engine->Scanner_GetPinfo("P_INFO");
                io->CloseDevice();
                if (result == 0 && engine->pinfo.scannerstate == state)
                    return true;
            }
            platform::SleepMs(200);
        }
        return false;
    }
};

TEST(LibraryOverPty, PinfoBootloaderAndAnImageThroughTheSerialTransport)
{
    testing_support::TempDir dir;
    testing_support::SimProcess sim(TAMBRIX_SIM_PROGRAM,
                                    {"--timing", "restart=200", "--timing", "newap2-delay=20", "--timing",
                                     "erase=100", "--dump-dir", dir.Path()},
                                    dir.File("trace.txt"));
    std::string path = sim.Line();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << "first line: " << path;

    Engine e;
    FlashIo& io = *e.io;
    WIN32_232_SETTINGS settings = EightNOne();
    std::wstring name = platform::Utf8ToWide(path);
    ASSERT_EQ(io.BL_FlashIo_Setup_WIN32_RS232_V2(name.c_str(), &settings), 0) << e.captured->Text();
    ASSERT_EQ(io.OpenDevice(), 0) << e.captured->Text();

    e.engine->ResetPinfo('?');
    ASSERT_EQ(e.engine->Scanner_GetPinfo("P_INFO"), 0) << e.captured->Text();
    EXPECT_EQ(e.engine->pinfo.scannerstate, 'A');
    EXPECT_EQ(e.engine->pinfo.physical_cable_type, 'R');
    EXPECT_EQ(e.engine->pinfo.Compatable[0], 0x41u);
    EXPECT_STREQ(e.engine->pinfo.boot_m_name, "SIMBOOT1");

    // Into the bootloader as the boot entry does it: NEWAP2, close, wait.
    io.MNU_Query('Y', "NEWAP2", 6, nullptr, nullptr, 0);
    EXPECT_EQ(io.CloseDevice(), 0);
    ASSERT_TRUE(e.WaitForState('B', 5000)) << e.captured->Text();

    ASSERT_EQ(io.OpenDevice(), 0);
    EXPECT_EQ(io.MNU_SetDecimal('Y', "BTLTOR", 5000, '!'), 0);
    ASSERT_EQ(io.MNU_SetDecimal('Y', "BTLPRO", 1, '.'), 0) << e.captured->Text();
    ASSERT_EQ(io.GetVersion(), 0) << e.captured->Text();
    EXPECT_EQ(io.bootloaderVersion, 23);
    EXPECT_EQ(io.packetSize, 256u);

    firmware::ImageRecipe recipe = firmware::DefaultApp();
    recipe.swRev = "PTY-LIB";
    recipe.size = 756;
    Bytes image = firmware::MakeImage(recipe);
    ASSERT_EQ(io.AreaOpen(1), 0);
    ASSERT_EQ(io.UpdateBegin(), 0);
    ASSERT_EQ(io.EraseAll(), 0);
    ASSERT_EQ(io.WrBlock(0, image.data(), image.size()), 0) << e.captured->Text();
    EXPECT_EQ(io.ReplyCheckEnd(), 0);
    ASSERT_EQ(io.AreaEnd(), 0);
    EXPECT_EQ(io.Reset(2), 0);
    EXPECT_EQ(io.CloseDevice(), 0);
    ASSERT_TRUE(e.WaitForState('A', 5000)) << e.captured->Text();
    EXPECT_STREQ(FindPinfoItem(e.engine->pinfo, "app-rev"), "PTY-LIB");

    EXPECT_EQ(sim.Stop(), 0);
    std::string dumped = testing_support::ReadFile(dir.File("scanner-app.bin"));
    EXPECT_EQ(dumped, std::string(image.begin(), image.end()));
}

} // namespace
