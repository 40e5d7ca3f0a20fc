// The library's menu commands against the simulated devices: the bootloader
// parameters set and read back, commands of the application, the restart
// into the bootloader and the answers to what a device does not know.
#include "flows/FlowFixture.h"

#include <gtest/gtest.h>

namespace {

using flows::Flow;

sim::DeviceConfig Corded(bool inBootloader)
{
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.unit.startInBootloader = inBootloader;
    return config;
}

TEST(MenuFlow, BootloaderParametersAreSetAndReadBack)
{
    struct Case {
        const char* what;
        bool inBootloader;
        const char* refuse;
        const char* name;
        int32_t value;
        char terminator;
        int32_t setResult;
        int32_t readBack;  // what MNU_GetDecimal finds afterwards
        const char* logged;
    } cases[] = {
        {"reply timeout", true, "", "BTLTOR", 4000, '!', 0, 4000, nullptr},
        {"inter-character timeout", true, "", "BTLTOC", 1500, '!', 0, 1500, nullptr},
        {"retries", true, "", "BTLRTY", 5, '!', 0, 5, nullptr},
        {"payload size", true, "", "BTLMAX", 128, '!', 0, 128, nullptr},
        {"'.' terminator", true, "", "BTLTOR", 6000, '.', 0, 6000, nullptr},
        {"payload size 0 is refused", true, "", "BTLMAX", 0, '!', -1, 256, "Error, Get ASCII_NAK here."},
        {"negative value is refused", true, "", "BTLTOR", -5, '!', -1, 5000, "Error, Get ASCII_NAK here."},
        {"device refuses the set", true, "BTLTOC", "BTLTOC", 1500, '!', -1, 2000, "Error, Get ASCII_NAK here."},
        {"the application does not know it", false, "", "BTLTOR", 4000, '!', -2, 0, "Error, Get ASCII_ENQ here."},
    };
    for (const Case& c : cases) {
        sim::DeviceConfig config = Corded(c.inBootloader);
        config.faults.refuseSets = c.refuse;
        Flow flow(config);
        EXPECT_EQ(flow.io->MNU_SetDecimal('Y', c.name, c.value, c.terminator), c.setResult) << c.what;
        if (c.logged) {
            EXPECT_TRUE(flow.Logged(c.logged)) << c.what;
        }
        int32_t value = -1;
        if (c.inBootloader) {
            EXPECT_EQ(flow.io->MNU_GetDecimal(c.name, &value), 0) << c.what;
            EXPECT_EQ(value, c.readBack) << c.what;
        } else {
            EXPECT_EQ(flow.io->MNU_GetDecimal(c.name, &value), -2) << c.what;
        }
    }
}

TEST(MenuFlow, BootloaderDefaultsAndThePayloadSizeOfTheVersionQuery)
{
    Flow flow(Corded(true));
    struct Expected {
        const char* name;
        int32_t value;
    } defaults[] = {{"BTLMAX", 256}, {"BTLTOC", 2000}, {"BTLTOR", 5000}, {"BTLRTY", 3}};
    for (const Expected& e : defaults) {
        int32_t value = -1;
        EXPECT_EQ(flow.io->MNU_GetDecimal(e.name, &value), 0) << e.name;
        EXPECT_EQ(value, e.value) << e.name;
    }
    // The payload size the bootloader reports is the one it was set to.
    ASSERT_EQ(flow.io->MNU_SetDecimal('Y', "BTLMAX", 96, '!'), 0);
    ASSERT_EQ(flow.StartPacketLink(), 0);
    ASSERT_EQ(flow.io->GetVersion(), 0);
    EXPECT_EQ(flow.io->packetSize, 96u);
}

TEST(MenuFlow, ApplicationCommandsAndTheirAnswers)
{
    struct Case {
        const char* what;
        char command;
        const char* name;
        const char* value;
        char terminator;
        int32_t result;
        const char* reply;  // the reply value on success
    } cases[] = {
        {"end-of-flash command", 'M', "VISMN4", "0", '.', 0, "0"},
        {"unknown command", 'M', "XXXXXX", "", '.', -2, nullptr},
        {"power mode on a device without it", 'M', "PWRMOD", "?", '.', -2, nullptr},
        {"cradle command on a scanner", 'M', "BASPAS", "1", '.', -2, nullptr},
    };
    for (const Case& c : cases) {
        Flow flow(Corded(false));
        EXPECT_EQ(flow.io->MNU_Command(c.command, c.name, 6, c.value, 0, c.terminator), c.result) << c.what;
        if (c.reply) {
            EXPECT_STREQ(flow.io->menuValue, c.reply) << c.what;
        }
    }
}

TEST(MenuFlow, Newap2ThenTheParameterExchangeOfTheBootEntry)
{
    Flow flow(Corded(false));
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.scannerstate, 'A');
    // The flow asks without a buffer for the answer and ignores the result.
    EXPECT_EQ(flow.io->MNU_Query('Y', "NEWAP2", 6, nullptr, nullptr, 0), -1);
    EXPECT_TRUE(flow.Logged("Unexpected reply to cmd: NEWAP2."));
    EXPECT_FALSE(flow.Logged("MNU CMD Timeout"));
    flow.Sleep(500);
    // Restarting: nothing answers.
    EXPECT_EQ(flow.Pinfo(), -6);
    flow.Sleep(2000);
    ASSERT_EQ(flow.Pinfo(), 0);
    EXPECT_EQ(flow.engine->pinfo.scannerstate, 'B');

    // The parameter exchange of the boot entry: the engine's values written
    // (never BTLMAX), then all four read back into the engine.
    KIRO_FlashTool& e = *flow.engine;
    struct Parameter {
        const char* name;
        uint64_t* value;
        bool written;
    } parameters[] = {{"BTLTOR", &e.btlTimeoutReply, true},
                      {"BTLTOC", &e.btlTimeoutIcd, true},
                      {"BTLRTY", &e.btlRetryMax, true},
                      {"BTLMAX", &e.btlMaxPayload, false}};
    e.btlTimeoutReply = 4500;
    for (const Parameter& p : parameters)
        if (p.written) {
            EXPECT_EQ(flow.io->MNU_SetDecimal('Y', p.name, static_cast<int32_t>(*p.value), '!'), 0) << p.name;
        }
    for (const Parameter& p : parameters) {
        int32_t value = 0;
        EXPECT_EQ(flow.io->MNU_GetDecimal(p.name, &value), 0) << p.name;
        *p.value = static_cast<uint64_t>(static_cast<int64_t>(value));
    }
    EXPECT_EQ(e.btlTimeoutReply, 4500u);
    EXPECT_EQ(e.btlTimeoutIcd, 2000u);
    EXPECT_EQ(e.btlRetryMax, 3u);
    EXPECT_EQ(e.btlMaxPayload, 256u) << "the bootloader's own payload size replaces the configured 64";

    EXPECT_EQ(flow.StartPacketLink(), 0);
    EXPECT_EQ(flow.io->GetVersion(), 0);
    EXPECT_EQ(flow.io->bootloaderVersion, 23);
    EXPECT_EQ(flow.io->packetSize, e.btlMaxPayload) << "blocks and packets agree in size";
}

TEST(MenuFlow, GarbledEchoIsRejectedAndTheNextCommandWorks)
{
    sim::DeviceConfig config = Corded(true);
    config.faults.garbleEcho = 1;
    Flow flow(config);
    int32_t value = 0;
    EXPECT_EQ(flow.io->MNU_GetDecimal("BTLTOR", &value), -1);
    EXPECT_TRUE(flow.Logged("Invalid reply sent name=BTLTOR, value='', fail at 1"));
    EXPECT_EQ(flow.io->MNU_GetDecimal("BTLTOR", &value), 0);
    EXPECT_EQ(value, 5000);
}

// A device in low-power mode hears nothing but the wake-up; after it, the
// power-mode query that the flow uses to recognise such a device answers.
TEST(MenuFlow, LowPowerDeviceAnswersAfterTheWakeUp)
{
    sim::DeviceConfig config = Corded(false);
    config.unit.lowPower = true;
    Flow flow(config);
    uint8_t value[32] = {};
    EXPECT_EQ(flow.io->MNU_Query('M', "PWRMOD", 6, "?", value, sizeof value), -6);

    static const uint8_t wake[] = {0x16, 'C', '\r'};
    flow.io->FlushRx(0);
    ASSERT_EQ(flow.io->WriteBytes(wake, sizeof wake), 0);
    ASSERT_EQ(flow.io->FlushTx(), 0);
    uint8_t answer[4] = {};
    EXPECT_EQ(flow.io->io->readBytes(flow.io->io, answer, sizeof answer, 500), 1);
    EXPECT_EQ(answer[0], 0x06);

    EXPECT_EQ(flow.io->MNU_Query('M', "PWRMOD", 6, "?", value, sizeof value), 1);
    EXPECT_STREQ(reinterpret_cast<char*>(value), "1");
    EXPECT_EQ(flow.Pinfo(), 0);
}

} // namespace
