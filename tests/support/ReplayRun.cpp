#include "support/ReplayRun.h"

#include "platform/Platform.h"
#include "support/SimTool.h"

#include <cstring>
#include <cwchar>
#include <fstream>
#include <memory>

namespace testing_support {

namespace {

void SetInitList(SimTool& sim, uint64_t interfaceType, const std::vector<std::string>& entries)
{
    if (entries.empty())
        return;
    wchar_t list[300] = {};
    size_t at = 0;
    for (const std::string& entry : entries) {
        std::wstring wide = platform::Utf8ToWide(entry);
        if (at + wide.size() + 2 > 299)
            break;
        std::copy(wide.begin(), wide.end(), list + at);
        at += wide.size() + 1;
    }
    sim.SetU64(CFS_INTERFACE, interfaceType);
    sim.Set(CFS_INITSTRING, list, 299);
}

// The recorded library-specific numbers, through a protocol settings file
// as a user would give them.
void SetNumbers(SimTool& sim, const sim::HostSettings& recording)
{
    std::string text;
    for (const auto& [name, value] : recording.settings)
        text += name + ": " + std::to_string(value) + "\n";
    std::wstring file = sim.WriteFile("recorded-settings.txt", std::vector<uint8_t>(text.begin(), text.end()));
    sim.Set(CFS_PROTOCOL_SETTINGS, const_cast<wchar_t*>(file.c_str()), file.size());
}

// The recorded host's assist callback gave the port the device went to.
int32_t NextRecordedPort(void* context, uint32_t, wchar_t* buffer, uint32_t capacity)
{
    const sim::Replay* replay = static_cast<sim::Device*>(context)->TheReplay();
    std::wstring port = platform::Utf8ToWide(replay->NextPort());
    wcsncpy(buffer, port.c_str(), capacity);
    return 0;
}

void SetUpAsRecorded(SimTool& sim, const sim::HostSettings& recording, DllAssistSettings& assist)
{
    if (recording.assist) {
        assist = DllAssistSettings{&NextRecordedPort, &sim.device, 1};
        sim.Set(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist);
    }
    SetInitList(sim, INTERFACE_RS232, recording.initStringSerial);
    SetInitList(sim, INTERFACE_USB_HID, recording.initStringUsb);
    sim.SetU64(CFS_INTERFACE, recording.interfaceType);
    if (recording.serialRecord.size() == sizeof(WIN32_232_SETTINGS)) {
        WIN32_232_SETTINGS serial;
        std::memcpy(&serial, recording.serialRecord.data(), sizeof serial);
        sim.Set(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
    }
    sim.SetPort(platform::Utf8ToWide(recording.port));
    SetNumbers(sim, recording);
}

} // namespace

bool StartRecording(SimTool& tool, const std::string& recordingPath)
{
    std::wstring name = platform::Utf8ToWide(recordingPath);
    return tool.Set(CFS_PELLARO_RECORD_FILE, const_cast<wchar_t*>(name.c_str()), name.size()) == CFS_RESULT_OK;
}

ReplayOutcome ReplayRecording(const std::string& recordingPath, const std::wstring& firmwareFile, bool fast,
                              const std::function<void(SimTool&)>& alter)
{
    ReplayOutcome outcome;
    auto recording = std::make_shared<sim::Recording>();
    outcome.loaded = sim::LoadRecording(recordingPath, *recording, &outcome.loadError);
    if (!outcome.loaded)
        return outcome;
    outcome.recordedResult = recording->Result();
    sim::DeviceConfig config = sim::DeviceConfig::CordedScanner();
    config.replay = recording;
    config.replayFast = fast;
    config.portName = recording->port;
    SimTool sim(config);
    DllAssistSettings assist{};
    SetUpAsRecorded(sim, *recording, assist);
    if (alter)
        alter(sim);
    // Every recorded operation again, in order, until one ends otherwise;
    // settings the host changed between them are set again.
    std::vector<const sim::HostSettings*> settings = recording->OperationSettings();
    const sim::HostSettings* applied = recording.get();
    size_t index = 0;
    for (const auto& [operation, recorded] : recording->Operations()) {
        if (index < settings.size() && settings[index] != applied && !(*settings[index] == *applied)) {
            applied = settings[index];
            SetUpAsRecorded(sim, *applied, assist);
        }
        ++index;
        FileVersionInfo info{};
        outcome.result = operation == "version" ? sim.Version(firmwareFile, &info) : sim.Flash(firmwareFile);
        if (static_cast<int64_t>(outcome.result) != recorded)
            break;
    }
    const sim::Replay* replay = sim.device.TheReplay();
    outcome.state = replay->CurrentState();
    outcome.report = replay->Report();
    outcome.repeated = replay->Repeated();
    outcome.skipped = replay->Skipped();
    return outcome;
}

} // namespace testing_support
