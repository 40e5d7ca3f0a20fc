// The engine's own steps against the simulator: status reports and their
// way to the host, opening the interface in each face of the device, and
// waiting for a restart (with a port that changes its name).
#include "support/SimTool.h"

#include "flash/FlashEntry.h"
#include "io/FlashIo.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

using testing_support::SimTool;

struct Progress {
    uint64_t position;
    uint64_t total;
    bool operator==(const Progress&) const = default;
};
std::vector<Progress> g_progress;

int32_t RecordProgress(uint64_t, int32_t, uint64_t position, uint64_t total)
{
    g_progress.push_back({position, total});
    return 0;
}

class EngineFlow : public ::testing::Test {
protected:
    explicit EngineFlow(const sim::DeviceConfig& config = sim::DeviceConfig::CordedScanner()) : sim(config)
    {
        g_progress.clear();
    }
    // The interface as FlashScanner prepares it, with its callbacks bound.
    void PrepareSerial()
    {
        ASSERT_EQ(engine->InitRs232V2(L"SIM0", &sim.context->serialSettings), 0);
        engine->statusCallback = ToolStatusAdapter;
        engine->statusContext = sim.context;
    }
    int Count(const std::string& part) const
    {
        int n = 0;
        for (size_t at = sim.log->Text().find(part); at != std::string::npos; at = sim.log->Text().find(part, at + 1))
            ++n;
        return n;
    }
    SimTool sim;
    KIRO_FlashTool* engine = sim.engine;
};

TEST(StatusNames, KnownAndUnknown)
{
    EXPECT_STREQ(StatusName(HFS_canceling), "HFS_canceling");
    EXPECT_STREQ(StatusName(HFS_terminal_success_assumed), "HFS_terminal_success_assumed");
    EXPECT_STREQ(StatusName(26), "unknown");
}

TEST_F(EngineFlow, ProgressOfBothImagesReachesTheHostInItsOwnRanges)
{
    sim.Set(CFS_FWCALLBACK, reinterpret_cast<void*>(&RecordProgress), 8);
    PrepareSerial();
    engine->ReportStatus(HFS_old_bl_flashing_x_of_y, 256, 1000);
    engine->ReportStatus(HFS_old_bl_flashing_x_of_y, 1000, 1000);    // the boot image ends below its total
    engine->ReportStatus(HFS_new_app_flashing_x_of_y, 0, 4096);
    engine->ReportStatus(HFS_new_app_flashing_x_of_y, 4096, 4096);   // never the total itself
    engine->ReportStatus(HFS_opening_interface);                     // other reports stay inside
    std::vector<Progress> expected = {{256, 0x50000 + 1000},
                                      {1000, 0x50000 + 1000},
                                      {0x10100, 0x10100 + 4096},
                                      {0x10100 + 4096 - 1, 0x10100 + 4096}};
    EXPECT_EQ(g_progress, expected);
}

TEST_F(EngineFlow, TheCancelWordStopsAtTheNextReportWithOneCancelingReport)
{
    PrepareSerial();
    engine->ReportStatus(HFS_opening_interface);
    EXPECT_FALSE(engine->Cancelled());
    sim.SetU64(CFS_CANCELIO, 1);
    engine->ReportStatus(HFS_closing_interface);
    EXPECT_TRUE(engine->Cancelled());
    EXPECT_EQ(engine->terminalStatus, 19u);
    // Once for the report, once for the HFS_canceling report that follows.
    EXPECT_EQ(Count("CancelIO TRUE"), 2);
    EXPECT_TRUE(sim.Logged("Status callback: [17], HFS_closing_interface, (0 of 0), cb4=0, r=-1, caf=1"));
}

TEST_F(EngineFlow, SerialOpensAlwaysSetTheTransportUpAnew)
{
    PrepareSerial();
    int before = sim.transport.installs;
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
        engine->CloseInterface();
    }
    EXPECT_EQ(sim.transport.installs, before + 2);
}

TEST_F(EngineFlow, ACancelledFlashOpensOnlyForTheEndOfFlashCommand)
{
    PrepareSerial();
    engine->cancelFlag = 1;
    EXPECT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), -1);
    EXPECT_TRUE(sim.Logged("Cancel flag true: Do not open interface."));
    EXPECT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_EVEN_IF_CANCELLED), 0);
    EXPECT_TRUE(sim.Logged("Cancel flag true: continue open the interface to send VISMN40 command."));
}

TEST_F(EngineFlow, UnknownCablesAndModesAreRefused)
{
    PrepareSerial();
    engine->pinfo.physical_cable_type = 'I';
    EXPECT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), -1);
    EXPECT_TRUE(sim.Logged("Unknown cable type: I"));
    EXPECT_EQ(engine->OpenInterface('x', OPEN_FINAL), -1);
    EXPECT_TRUE(sim.Logged("OpenInterface() Unknown: 0x78 openmode"));
}

TEST_F(EngineFlow, BootloaderSerialOpensRunOnEightNOne)
{
    sim.SetSerial(8, EVENPARITY, TWOSTOPBITS);
    PrepareSerial();
    ASSERT_EQ(engine->OpenInterface(OPEN_BOOT, OPEN_FINAL), 0);
    EXPECT_TRUE(sim.Logged("RS232 Open BOOT Mode"));
    EXPECT_EQ(engine->rs232_boot_settings.dcb.Parity, NOPARITY);
    EXPECT_EQ(engine->rs232_boot_settings.dcb.StopBits, ONESTOPBIT);
    // The caller's own settings are not touched.
    EXPECT_EQ(engine->rs232_settings.dcb.Parity, EVENPARITY);
}

TEST_F(EngineFlow, UsbKeepsItsTransportUntilTheDeviceChangesFace)
{
    ASSERT_EQ(engine->InitUsb(L"\\\\?\\hid#vid_f0f0&pid_0a01"), 0);
    int installs = sim.transport.installs;
    ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    engine->CloseInterface();
    ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    engine->CloseInterface();
    EXPECT_EQ(sim.transport.installs, installs + 1);
    EXPECT_EQ(sim.transport.lastName, L"\\\\?\\hid#vid_f0f0&pid_0a01");

    // After boot entry the device is another HID device: the one P_INFO named.
    engine->usbBootIds = UsbIdentity{0xF0F0, 0x0B01, 0, 0, nullptr, nullptr};
    engine->pinfo.physical_cable_type = 'U';
    ASSERT_EQ(engine->OpenInterface(OPEN_BOOT_EXPECTED, OPEN_MAY_RETRY), 0);
    EXPECT_TRUE(sim.Logged("USB Open BOOT Mode"));
    EXPECT_EQ(sim.transport.lastUsb.vendorId, 0xF0F0);
    EXPECT_EQ(sim.transport.lastUsb.productId, 0x0B01);
}

TEST_F(EngineFlow, AUsbBootloaderWithoutIdentityIsNotSearchedFor)
{
    ASSERT_EQ(engine->InitUsb(L"hid"), 0);
    engine->usbBootIds = UsbIdentity{-1, -1, 0, 0, nullptr, nullptr};
    engine->pinfo.physical_cable_type = 'U';
    engine->pinfo.scannerstate = 'B';
    int installs = sim.transport.installs;
    sim.log->Clear();
    EXPECT_EQ(engine->OpenInterface(OPEN_BOOT, OPEN_FINAL), -3);
    EXPECT_EQ(sim.transport.installs, installs);
    // As after any failed set-up: reported, and the application's transport gone.
    EXPECT_TRUE(sim.Logged("Status callback: [14], HFS_initialize_interface"));
    EXPECT_EQ(engine->io->io->cookie, nullptr);
    EXPECT_EQ(engine->io->io->open, nullptr);
}

TEST_F(EngineFlow, TheEngineKeepsItsOwnCopyOfTheUsbName)
{
    ASSERT_EQ(sim.tool->SetSetting(CFS_PORTNAME, const_cast<wchar_t*>(L"hid-a"), 5), 0u);
    ASSERT_EQ(engine->InitUsb(sim.context->portName), 0);
    // The host replaces its name; the engine's stays valid.
    ASSERT_EQ(sim.tool->SetSetting(CFS_PORTNAME, const_cast<wchar_t*>(L"hid-bb"), 6), 0u);
    EXPECT_STREQ(engine->deviceName, L"hid-a");
    EXPECT_NE(engine->deviceName, sim.context->portName);
}

TEST_F(EngineFlow, ABluetoothModeDeviceDoesNotKeepTheNextInterfaceOpen)
{
    PrepareSerial();
    ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    engine->m_BlueToothMode = 1;
    engine->CloseInterface();
    EXPECT_EQ(engine->interface_kept_open, 1);
    ASSERT_EQ(engine->InitRs232V2(L"SIM0", &sim.context->serialSettings), 0);
    EXPECT_EQ(engine->interface_kept_open, 0);
    EXPECT_EQ(engine->m_BlueToothMode, 0);
}

TEST_F(EngineFlow, WakeUpIsAnsweredByAnyByte)
{
    PrepareSerial();
    ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    EXPECT_EQ(engine->WakeUpDevice(), 0);
    EXPECT_TRUE(sim.Logged("Get response length is 1, 0x06."));
    engine->CloseInterface();
}

// ---- restart waits -------------------------------------------------------------

struct WaitCase {
    const char* what;
    int32_t cable;
    int32_t rebootType;
    bool backup;
    const char* timing;
};

// A device whose report names a cable the library does not know.
sim::DeviceConfig UnknownCableScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.cbl = 7;
    return config;
}

class UnknownCableFlow : public EngineFlow {
protected:
    UnknownCableFlow() : EngineFlow(UnknownCableScanner()) {}
};

TEST_F(UnknownCableFlow, AfterBootEntryTheConfiguredCableIsReopened)
{
    PrepareSerial();
    ASSERT_EQ(engine->OpenInterface(OPEN_DEVICE, OPEN_FINAL), 0);
    ASSERT_EQ(engine->Scanner_GetPinfo("P_INFO"), 0);
    ASSERT_EQ(engine->pinfo.physical_cable_type, '?');
    engine->io->MNU_Query('Y', "NEWAP2", 6, nullptr, nullptr, 0);   // its answer is not used
    engine->CloseInterface();
    engine->pinfo.scannerstate = '?';
    EXPECT_EQ(engine->FlashScanner_ResetWait(REBOOT_INTO_BOOT), 0) << sim.log->Text();
    EXPECT_EQ(engine->pinfo.scannerstate, 'B');
    EXPECT_FALSE(sim.Logged("Internal: Unknown cable"));
}

TEST_F(EngineFlow, ResetWaitIntervalsAndLimits)
{
    const WaitCase cases[] = {
        {"serial after the application", 'R', REBOOT_AFTER_APP, false, "Reset timeout val: 10.000 Seconds, dw: 1 Seconds."},
        {"USB after a boot image", 'U', REBOOT_AFTER_BOOT, false, "Reset timeout val: 60.000 Seconds, dw: 4 Seconds."},
        {"link wait, caller not 8-N-1", 'R', REBOOT_RF_LINK, true, "Reset timeout val: 18.000 Seconds, dw: 4 Seconds."},
        {"link wait, caller 8-N-1", 'R', REBOOT_RF_LINK, false, "Reset timeout val: 100.000 Seconds, dw: 6 Seconds."},
    };
    for (const auto& c : cases) {
        sim.log->Clear();
        PrepareSerial();
        engine->pinfo.physical_cable_type = c.cable;
        engine->rs232_backup_valid = c.backup;
        engine->retryMax = 3;
        // The device answers at once: only the timing lines matter here.
        engine->FlashScanner_ResetWait(c.rebootType);
        EXPECT_TRUE(sim.Logged(c.timing)) << c.what << "\n" << sim.log->Text();
    }
}

// A device that understands nothing (its line is 8-E-1, the host's 8-N-1).
sim::DeviceConfig DeafScanner()
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.line = sim::LineSettings{115200, 8, 'E', 1};
    return config;
}

class SilentDeviceFlow : public EngineFlow {
protected:
    SilentDeviceFlow() : EngineFlow(DeafScanner()) {}
};

TEST_F(SilentDeviceFlow, ADeviceThatNeverComesBackEndsTheWaitAtItsDeadline)
{
    PrepareSerial();
    uint64_t start = sim.Now();
    int32_t r = engine->FlashScanner_ResetWait(REBOOT_AFTER_APP);
    EXPECT_LT(r, 0);
    EXPECT_TRUE(sim.Logged("FlashScanner_ResetWait TIMEOUT"));
    EXPECT_TRUE(sim.Logged("HFS_terminal_fail_timeout"));
    // Tested at the top of each try: over by at most one interval and one try.
    EXPECT_GE(sim.Now() - start, 10000u);
    EXPECT_LE(sim.Now() - start, 10000u + 1000u + 6000u);
}

TEST_F(SilentDeviceFlow, AnUnansweredWakeUpAtTheEndKeepsTheFailureTheFlowNamed)
{
    PrepareSerial();
    engine->low_power_mode = 1;
    engine->entry_state = 'A';
    EXPECT_EQ(engine->CompleteFlash(FLOW_INCOMPATIBLE), FLOW_INCOMPATIBLE);
    EXPECT_TRUE(sim.Logged("Fail to wakeup device with SYN+C command."));
}

TEST_F(SilentDeviceFlow, ACancelEndsTheWaitAtTheNextTry)
{
    PrepareSerial();
    engine->cancelFlag = 1;
    EXPECT_EQ(engine->FlashScanner_ResetWait(REBOOT_AFTER_APP), -1);
    EXPECT_TRUE(sim.Logged("Flash has been cancelled in FlashScanner_ResetWait."));
}

// ---- the assist callback ---------------------------------------------------------

struct AssistAnswer {
    int32_t result;
    std::wstring name;     // written into the buffer
    bool fill = false;     // every character of the buffer, without an end
    int calls = 0;
};

int32_t Answer(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity)
{
    auto* answer = static_cast<AssistAnswer*>(context);
    ++answer->calls;
    EXPECT_EQ(id, 77u);
    EXPECT_EQ(capacity, 512u);
    EXPECT_EQ(buffer[0], 0);
    if (answer->fill)
        wmemset(buffer, L'x', capacity);
    else
        wcsncpy(buffer, answer->name.c_str(), capacity);
    return answer->result;
}

class AssistFlow : public EngineFlow {
protected:
    void Bind(AssistAnswer& answer)
    {
        record = DllAssistSettings{&Answer, &answer, 77};
        ASSERT_EQ(sim.Set(CFS_DLLASSIST_SETTINGS, &record, sizeof record), 0u);
        PrepareSerial();
        engine->assistAdapter = ToolAssistAdapter;
        engine->assistAdapterContext = sim.context;
        engine->assistId = 77;
    }
    DllAssistSettings record{};
};

TEST_F(AssistFlow, TheNewPortNameIsUsedForTheReopen)
{
    AssistAnswer answer{0, L"SIM0"};
    Bind(answer);
    EXPECT_EQ(engine->FlashScanner_ResetWait(REBOOT_AFTER_APP), 0);
    EXPECT_EQ(answer.calls, 1);
    EXPECT_TRUE(sim.Logged("DefaultCableType = R, device name: SIM0"));
}

TEST_F(AssistFlow, NoNameMeansTheWaitFailsWithItsOwnCode)
{
    for (AssistAnswer answer : {AssistAnswer{0, L""}, AssistAnswer{5, L"SIM0"}}) {
        sim.log->Clear();
        Bind(answer);
        EXPECT_EQ(engine->FlashScanner_ResetWait(REBOOT_AFTER_APP), FLOW_NO_PORT_NAME);
        // Asked again at every try until the deadline.
        EXPECT_GE(answer.calls, 5);
        EXPECT_TRUE(sim.Logged(answer.result ? "Failed: client can not provided new port string, error code = 5."
                                             : "New port string is empty."));
    }
}

TEST_F(AssistFlow, AFullBufferWithoutEndIsCutAtItsCapacity)
{
    AssistAnswer answer{0, L"", true};
    Bind(answer);
    // No device of that name: the serial reopen fails and ends the wait.
    EXPECT_LT(engine->FlashScanner_ResetWait(REBOOT_AFTER_APP), 0);
    EXPECT_EQ(wcslen(engine->deviceName), 512u);
}

} // namespace
