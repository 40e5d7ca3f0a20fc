#include "io/FlashIo.h"
#include "log/Log.h"
#include "support/ToolFixture.h"

#include <cstring>
#include <memory>

using testing_support::ToolTest;

namespace {

TEST_F(ToolTest, FixedValuesAnswerBeforeAndAfterOtherCalls)
{
    EXPECT_EQ(tool->FixedValueA(), 13u);
    EXPECT_EQ(tool->FixedValueB(), 4u);
    SetPort(L"COM3");
    tool->FlashScanner(1, L"x");
    EXPECT_EQ(tool->FixedValueA(), 13u);
    EXPECT_EQ(tool->FixedValueB(), 4u);
}

TEST_F(ToolTest, ConstructionDefaults)
{
    EXPECT_EQ(context->owner, tool);
    EXPECT_EQ(context->interfaceType, static_cast<uint64_t>(INTERFACE_USB_HID));
    EXPECT_EQ(context->portName, nullptr);
    EXPECT_EQ(context->logConfigured, 0u);
    EXPECT_EQ(std::wstring(context->dllVersion), VersionText);
    KIRO_FlashTool* engine = context->engine;
    EXPECT_EQ(engine->log, context->log);
    EXPECT_EQ(engine->pinfo.scannerstate, '?');
    EXPECT_EQ(engine->pinfo.physical_cable_type, '?');
    EXPECT_EQ(engine->lastcable, static_cast<uint32_t>('?'));
    EXPECT_EQ(engine->DefaultCableType, static_cast<uint32_t>('U'));
    EXPECT_EQ(engine->baudRate, 115200u);
    EXPECT_EQ(engine->comPort, 1u);
    EXPECT_EQ(engine->io->bootloaderVersion, -1);
    EXPECT_EQ(engine->io->packetSize, 256u);
    EXPECT_EQ(engine->io->retryCount, 3);
    EXPECT_EQ(engine->io->rxFlushTimeoutMs, 2000u);
    EXPECT_EQ(engine->io->shortReplyTimeoutMs, 500u);
    ASSERT_NE(engine->io->io, nullptr);
    EXPECT_EQ(engine->io->io->cookie, nullptr);
    EXPECT_EQ(engine->io->io->open, nullptr);
    // The context, the engine and its five companions each hold the log once.
    EXPECT_EQ(context->log->refCount, 7u);
    EXPECT_EQ(engine->refCount, 1u);
}

TEST(ToolLifecycle, DestroyIgnoresNull)
{
    DestroyFlashTool(nullptr);
}

TEST(ToolLifecycle, ManyToolsComeAndGo)
{
    // The reference-count traps end the process if any holder miscounts.
    for (int i = 0; i < 20; ++i) {
        CFlashTool* tool = CreateFlashTool();
        ASSERT_NE(tool, nullptr);
        DestroyFlashTool(tool);
    }
}

struct CheckCase {
    const wchar_t* port;
    uint64_t type;
    uint32_t baud;
    uint32_t flashResult;
    uint32_t versionResult;
    const char* line;
};

// A port that passes the checks but does not exist: the flash ends on its
// early-failure path with the open's own code, the query finds no device.
constexpr uint32_t kOpenFailed = static_cast<uint32_t>(-3);

const CheckCase kChecks[] = {
    {nullptr, 99, 0, 1, 1, "No portname specified\n"},
    {nullptr, 0, 9600, 1, 1, "No portname specified\n"},
    {L"COM1", 0, 0, 1, 1, "ZERO is an invalid baudrate\n"},
    {L"COM1", 2, 0, 1, 1, "ZERO is an invalid baudrate\n"},
    {L"COM1", 3, 9600, 1, 1, "Invalid interface type\n"},
    {L"/nonexistent/COM1", 0, 9600, kOpenFailed, 2, "Device: /nonexistent/COM1 @ 9600 Baud\n"},
    {L"\\\\?\\hid#vid_f0f0", 1, 0, kOpenFailed, 2, "HID Device: \\\\?\\hid#vid_f0f0\n"},
};

void Configure(const CheckCase& c, CFlashTool* tool)
{
    if (c.port)
        tool->SetSetting(CFS_PORTNAME, const_cast<wchar_t*>(c.port), wcslen(c.port));
    uint64_t type = c.type;
    tool->SetSetting(CFS_INTERFACE, &type, sizeof type);
    WIN32_232_SETTINGS serial{};
    serial.dcb.BaudRate = c.baud;
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
}

TEST(ToolChecks, FlashScanner)
{
    for (const auto& c : kChecks) {
        CFlashTool* other = CreateFlashTool();
        auto captured = std::make_unique<testing_support::CapturedLog>(other->context->log);
        Configure(c, other);
        EXPECT_EQ(other->FlashScanner(0x1234, L"fw.mocf"), c.flashResult);
        EXPECT_TRUE(captured->Contains(c.line)) << captured->Text();
        EXPECT_TRUE(captured->Contains("FlashScanner: interface type: " + std::to_string(static_cast<int>(c.type)) + "\n"));
        // The host context is stored before any check.
        EXPECT_EQ(other->context->hostContext, 0x1234u);
        captured.reset();
        DestroyFlashTool(other);
    }
}

TEST(ToolChecks, GetFileVersionLeavesTheRecordAloneUntilTheChecksPass)
{
    for (const auto& c : kChecks) {
        CFlashTool* other = CreateFlashTool();
        auto captured = std::make_unique<testing_support::CapturedLog>(other->context->log);
        Configure(c, other);
        FileVersionInfo info;
        memset(&info, 0x77, sizeof info);
        uint32_t result = other->GetFileVersion(L"fw.mocf", &info);
        EXPECT_EQ(result, c.versionResult);
        EXPECT_TRUE(captured->Contains(c.line)) << captured->Text();
        bool passedChecks = std::string(c.line).find("Device") != std::string::npos;
        // The record is cleared only once the checks have passed.
        EXPECT_EQ(reinterpret_cast<uint8_t*>(&info)[0], passedChecks ? 0 : 0x77);
        EXPECT_EQ(other->context->hostContext, 0u);
        captured.reset();
        DestroyFlashTool(other);
    }
}

TEST_F(ToolTest, GetFileVersionRefusesNullArguments)
{
    FileVersionInfo info{};
    EXPECT_EQ(tool->GetFileVersion(nullptr, &info), 1u);
    EXPECT_EQ(tool->GetFileVersion(L"fw", nullptr), 1u);
    EXPECT_TRUE(Logged("GetFileVersion: a parameter is null\n"));
}

TEST(ToolLifecycle, AToolWithoutContextAnswersOne)
{
    CFlashTool* tool = CreateFlashTool();
    ToolContext* context = tool->context;
    tool->context = nullptr;
    FileVersionInfo info{};
    EXPECT_EQ(tool->GetFileVersion(L"fw", &info), 1u);
    tool->context = context;
    DestroyFlashTool(tool);
}

} // namespace
