// Everything the host can see behind a CFlashTool.
#pragma once

#include "tambrix01/FlashTool.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class Log;
class KIRO_FlashTool;
struct IoRecorder;

// "product | build | part number | internal name | build date"
extern const wchar_t* const VersionText;

struct ToolContext {
    ToolContext(CFlashTool* owner);
    ~ToolContext();
    ToolContext(const ToolContext&) = delete;
    ToolContext& operator=(const ToolContext&) = delete;

    CFlashTool* owner;
    uint64_t hostContext = 0;
    FwCallback fwCallback = nullptr;
    DllAssistSettings* assistRecord = nullptr;
    void* assistContext = nullptr;
    AssistCallback assistCallback = nullptr;
    // CFS_TAMBRIX_STATUS_REPORTS: every status report, not only progress.
    StatusReportCallback statusReports = nullptr;
    void* statusReportsContext = nullptr;
    // Set by the host from any thread while a flash runs on another.
    std::atomic<uint64_t> cancelIo{0};
    wchar_t* dllVersion = nullptr;
    wchar_t* portName = nullptr;
    wchar_t* initListA = nullptr;    // CFS_INITSTRING while interfaceType is not 0
    wchar_t* initListB = nullptr;    // CFS_INITSTRING while interfaceType is 0
    WIN32_232_SETTINGS serialSettings{};
    uint64_t interfaceType = INTERFACE_USB_HID;
    LogFileSettings logSettings{};
    uint32_t logConfigured = 0;
    uint64_t flagsPresetL = 0x54;
    uint64_t flagsPresetM = 0xD6;
    uint64_t flagsPresetH = 0xFFFFFFFF;
    Log* log = nullptr;
    KIRO_FlashTool* engine = nullptr;
    wchar_t* recordFile = nullptr;        // CFS_PELLARO_RECORD_FILE
    IoRecorder* recorder = nullptr;       // open while recordFile is set
    // A host may set the recording from another thread while an operation
    // runs on the recorder: the change waits for the operation's end.
    std::mutex recordingLock;
    int recordingOperations = 0;          // operations running now
    bool recordingChangePending = false;
    wchar_t* recordingPendingFile = nullptr;   // the name to take then; null ends it

    void LogMsg(uint64_t level, const wchar_t* format, ...);

private:
    void FreeAll();
};

// Owned wide texts, allocated with the C allocator.
wchar_t* DuplicateWide(const wchar_t* text);
wchar_t* DuplicateWideList(const wchar_t* list);   // through the list's final NUL
size_t WideListLength(const wchar_t* list);         // characters through the final NUL

// The settings dispatcher behind SetSetting (set) and GetSetting (get).
uint32_t DispatchSetting(bool set, ToolContext* context, int32_t id, void* value, uint64_t size);
// Library-specific ids 0x10000 and up.
uint32_t SetDllSpecific(bool set, ToolContext* context, int32_t id, void* value, uint64_t size);
// This library's extension ids (0x10070 and up); handled false for others.
uint32_t LibraryExtension(bool set, ToolContext* context, int32_t id, void* value, uint64_t size, bool& handled);
// The library-specific numbers the settings file can set, with their names.
void ForEachDllNumber(const std::function<void(const char* name, int32_t id)>& visit);
// CFS_PELLARO_RECORD_FILE: a wide file name (size its capacity in
// characters); an empty name ends the recording.
uint32_t RecordingSetting(bool set, ToolContext* context, void* value, uint64_t size);
void StopRecording(ToolContext* context);
// Forgets a change that waited for an operation's end.
void DropPendingRecording(ToolContext* context);
// The marks around an operation in the recording; End returns result.
void RecordOperationBegin(ToolContext* context, const char* operation, const wchar_t* fileName);
uint32_t RecordOperationEnd(ToolContext* context, const char* operation, uint32_t result);
// NAME:VALUE protocol settings file: 0 all taken, 1 wrong extension, 2 errors.
uint32_t LoadProtocolFile(ToolContext* context, const wchar_t* fileName);
void TrimSpaces(char* text);
// Decodes a (possibly quoted) value with escapes into out, which must hold
// at least as many characters as the value plus one. Returns the number of
// characters written or -1 on a syntax error.
int32_t ParseStringValue(wchar_t* out, const char* value);
