// The recording setting: a wide file name that makes the tool write every
// exchange of its device layer to that file (io/IoRecorder.h), and the
// first line and operation marks around the device layer's events.
#include "api/ToolContext.h"

#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "io/IoRecorder.h"
#include "log/Log.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const char* InterfaceName(uint64_t type)
{
    switch (type) {
    case INTERFACE_RS232: return "rs232";
    case INTERFACE_USB_HID: return "usb_hid";
    case INTERFACE_RS232_NOWAKE: return "rs232_nowake";
    default: return "unknown";
    }
}

// An init-string list as a JSON array of its strings.
std::string InitListJson(const wchar_t* list)
{
    std::string json = "[";
    for (const wchar_t* entry = list; entry && *entry; entry += wcslen(entry) + 1) {
        JsonLine item;
        std::string text = item.Text("s", entry).Close();
        // {"s":"..."} -> "..."
        json += (json.size() > 1 ? "," : "") + text.substr(5, text.size() - 6);
    }
    return json + "]";
}

std::string DllNumbersJson(ToolContext* context)
{
    JsonLine numbers;
    ForEachDllNumber([&](const char* name, int32_t id) {
        uint64_t value = 0;
        if (SetDllSpecific(false, context, id, &value, sizeof value) == CFS_RESULT_OK)
            numbers.Number(name, static_cast<int64_t>(value));
    });
    return numbers.Close();
}

// What a replay needs to set the tool up as the host did.
JsonLine HeaderFields(ToolContext* context)
{
    JsonLine header;
    header.Text("library", VersionText);
    header.Text("interface", InterfaceName(context->interfaceType)).Number("interfaceType",
                                                                           static_cast<int64_t>(context->interfaceType));
    header.Text("port", context->portName);
    header.Raw("serial", SerialSettingsJson(context->serialSettings));
    header.Raw("initStringSerial", InitListJson(context->initListB));
    header.Raw("initStringUsb", InitListJson(context->initListA));
    header.Raw("settings", DllNumbersJson(context));
    header.Raw("assist", context->assistCallback ? "true" : "false");
    return header;
}

FlashIoDevice* DeviceOf(ToolContext* context)
{
    return context->engine && context->engine->io ? context->engine->io->io : nullptr;
}

void RecordingFailed(void* context, const char* text)
{
    static_cast<ToolContext*>(context)->LogMsg(LOG_ERROR, L"Recording: %hs\n", text);
}

uint32_t StartRecording(ToolContext* context, const wchar_t* name, uint64_t size)
{
    size_t limit = size < SIZE_MAX ? static_cast<size_t>(size) + 1 : SIZE_MAX;
    size_t length = wcsnlen(name, limit);
    if (length > size)
        return CFS_RESULT_REFUSED;
    StopRecording(context);
    if (length == 0)
        return CFS_RESULT_OK;
    wchar_t* copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!copy)
        return CFS_RESULT_FAILED;
    memcpy(copy, name, length * sizeof(wchar_t));
    copy[length] = 0;
    IoRecorder* recorder = IoRecorderCreate(copy, &RecordingFailed, context);
    if (!recorder) {
        context->LogMsg(LOG_ERROR, L"Recording: cannot create %s\n", copy);
        free(copy);
        return CFS_RESULT_FAILED;
    }
    context->recordFile = copy;
    context->recorder = recorder;
    IoRecorderAttach(recorder, DeviceOf(context));
    context->LogMsg(LOG_INFO, L"Recording the device's exchange to %s\n", copy);
    if (IoRecorderNameCompressed(copy) && !IoRecorderCompresses())
        context->LogMsg(LOG_ERROR, L"Recording: this build has no zlib, %s is written uncompressed\n", copy);
    return CFS_RESULT_OK;
}

} // namespace

void StopRecording(ToolContext* context)
{
    IoRecorderDestroy(context->recorder, DeviceOf(context));
    context->recorder = nullptr;
    free(context->recordFile);
    context->recordFile = nullptr;
}

namespace {

// A change asked for while an operation runs: kept until it ends.
uint32_t DeferRecording(ToolContext* context, const wchar_t* name, uint64_t size)
{
    size_t limit = size < SIZE_MAX ? static_cast<size_t>(size) + 1 : SIZE_MAX;
    size_t length = wcsnlen(name, limit);
    if (length > size)
        return CFS_RESULT_REFUSED;
    wchar_t* copy = nullptr;
    if (length > 0) {
        copy = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
        if (!copy)
            return CFS_RESULT_FAILED;
        memcpy(copy, name, length * sizeof(wchar_t));
        copy[length] = 0;
    }
    free(context->recordingPendingFile);
    context->recordingPendingFile = copy;
    context->recordingChangePending = true;
    context->LogMsg(LOG_INFO, L"Recording: the change takes effect when the running operation ends\n");
    return CFS_RESULT_OK;
}

void TakePendingRecording(ToolContext* context)
{
    if (!context->recordingChangePending)
        return;
    context->recordingChangePending = false;
    wchar_t* name = context->recordingPendingFile;
    context->recordingPendingFile = nullptr;
    if (name)
        StartRecording(context, name, wcslen(name));
    else
        StopRecording(context);
    free(name);
}

} // namespace

void DropPendingRecording(ToolContext* context)
{
    free(context->recordingPendingFile);
    context->recordingPendingFile = nullptr;
    context->recordingChangePending = false;
}

uint32_t RecordingSetting(bool set, ToolContext* context, void* value, uint64_t size)
{
    auto* text = static_cast<wchar_t*>(value);
    std::lock_guard<std::mutex> hold(context->recordingLock);
    if (set && context->recordingOperations > 0)
        return DeferRecording(context, text, size);
    if (set) {
        DropPendingRecording(context);
        return StartRecording(context, text, size);
    }
    const wchar_t* name = context->recordFile ? context->recordFile : L"";
    size_t length = wcslen(name);
    if (length > size)
        return CFS_RESULT_REFUSED;
    memcpy(text, name, (length + 1) * sizeof(wchar_t));
    return CFS_RESULT_OK;
}

void RecordOperationBegin(ToolContext* context, const char* operation, const wchar_t* fileName)
{
    std::lock_guard<std::mutex> hold(context->recordingLock);
    ++context->recordingOperations;
    if (context->recorder)
        IoRecordBegin(context->recorder, HeaderFields(context), operation, fileName);
}

uint32_t RecordOperationEnd(ToolContext* context, const char* operation, uint32_t result)
{
    std::lock_guard<std::mutex> hold(context->recordingLock);
    bool last = --context->recordingOperations == 0;
    if (context->recorder)
        IoRecordEnd(context->recorder, operation, result);
    if (last)
        TakePendingRecording(context);
    return result;
}
