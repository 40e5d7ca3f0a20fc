// The two exported functions and the host's object.
#include "tambrix01/FlashTool.h"

#include "api/OperationGuard.h"
#include "api/ToolContext.h"
#include "flash/FlashEntry.h"
#include "log/Log.h"

#include <cstring>
#include <new>

namespace {

// The checks FlashScanner and GetFileVersion share: port name, interface
// type and baud rate. True when the operation may go on.
bool CheckInterface(ToolContext* context)
{
    context->LogMsg(LOG_INFO, L"FlashScanner: interface type: %d\n", static_cast<int>(context->interfaceType));
    if (!context->portName) {
        context->LogMsg(LOG_INFO, L"No portname specified\n");
        return false;
    }
    switch (context->interfaceType) {
    case INTERFACE_USB_HID:
        context->LogMsg(LOG_INFO, L"HID Device: %s\n", context->portName);
        return true;
    case INTERFACE_RS232:
    case INTERFACE_RS232_NOWAKE:
        if (context->serialSettings.dcb.BaudRate == 0) {
            context->LogMsg(LOG_INFO, L"ZERO is an invalid baudrate\n");
            return false;
        }
        context->LogMsg(LOG_INFO, L"Device: %ls @ %d Baud\n", context->portName,
                        static_cast<int>(context->serialSettings.dcb.BaudRate));
        return true;
    default:
        context->LogMsg(LOG_INFO, L"Invalid interface type\n");
        return false;
    }
}

// The operation's marks in the recording: an operation left by an
// exception ends there too, with its failure code.
class RecordingMarks {
public:
    RecordingMarks(ToolContext* context, const char* operation, const wchar_t* fileName, uint32_t failure)
        : context_(context), operation_(operation), failure_(failure)
    {
        RecordOperationBegin(context, operation, fileName);
    }
    ~RecordingMarks()
    {
        if (ended_)
            return;
        try {
            RecordOperationEnd(context_, operation_, failure_);
        } catch (...) {
            // Out of memory while unwinding: the recording stays without its end.
        }
    }
    RecordingMarks(const RecordingMarks&) = delete;
    RecordingMarks& operator=(const RecordingMarks&) = delete;
    uint32_t End(uint32_t result)
    {
        ended_ = true;
        return RecordOperationEnd(context_, operation_, result);
    }

private:
    ToolContext* context_;
    const char* operation_;
    uint32_t failure_;
    bool ended_ = false;
};

} // namespace

// Each operation body is a function-try-block: whatever escapes it becomes
// the operation's failure code (OperationGuard.h).
TAMBRIX_OPERATION uint32_t CFlashTool::FlashScanner(uint64_t hostContext, const wchar_t* fileName) try
{
    if (!context)
        return FLASH_RESULT_FAILED;
    context->hostContext = hostContext;
    RecordingMarks marks(context, "flash", fileName, FLASH_RESULT_FAILED);
    if (!CheckInterface(context))
        return marks.End(FLASH_RESULT_FAILED);
    return marks.End(::FlashScanner(context, fileName));
}
TAMBRIX_LET_FORCED_UNWIND_PASS
catch (...)
{
    return EscapedFailure(context, "FlashScanner", FLASH_RESULT_FAILED);
}

TAMBRIX_OPERATION uint32_t CFlashTool::GetFileVersion(const wchar_t* fileName, FileVersionInfo* out) try
{
    if (!context)
        return VERSION_RESULT_BAD_INPUT;
    if (!fileName || !out) {
        context->LogMsg(LOG_ERROR, L"GetFileVersion: a parameter is null\n");
        return VERSION_RESULT_BAD_INPUT;
    }
    RecordingMarks marks(context, "version", fileName, VERSION_RESULT_BAD_INPUT);
    if (!CheckInterface(context))
        return marks.End(VERSION_RESULT_BAD_INPUT);
    memset(out, 0, sizeof *out);
    return marks.End(::GetFileVersion(context, fileName, out));
}
TAMBRIX_LET_FORCED_UNWIND_PASS
catch (...)
{
    return EscapedFailure(context, "GetFileVersion", VERSION_RESULT_BAD_INPUT);
}

TAMBRIX_OPERATION uint32_t CFlashTool::SetSetting(int32_t settingId, void* value, uint64_t size) try
{
    return context ? DispatchSetting(true, context, settingId, value, size) : uint32_t{CFS_RESULT_REFUSED};
}
TAMBRIX_LET_FORCED_UNWIND_PASS
catch (...)
{
    return EscapedFailure(context, "SetSetting", CFS_RESULT_FAILED);
}

TAMBRIX_OPERATION uint32_t CFlashTool::GetSetting(int32_t settingId, void* value, uint64_t size) try
{
    return context ? DispatchSetting(false, context, settingId, value, size) : uint32_t{CFS_RESULT_REFUSED};
}
TAMBRIX_LET_FORCED_UNWIND_PASS
catch (...)
{
    return EscapedFailure(context, "GetSetting", CFS_RESULT_FAILED);
}

uint32_t CFlashTool::FixedValueA() { return 13; }
uint32_t CFlashTool::FixedValueB() { return 4; }

extern "C" TAMBRIX01_API CFlashTool* CreateFlashTool(void)
{
    // No exception may cross into the host: a failed allocation gives null
    // and leaves nothing behind (the context frees what it made itself).
    auto* tool = new (std::nothrow) CFlashTool();
    if (!tool)
        return nullptr;
    try {
        tool->context = new ToolContext(tool);
    } catch (...) {
        delete tool;
        return nullptr;
    }
    return tool;
}

extern "C" TAMBRIX01_API void DestroyFlashTool(CFlashTool* tool)
{
    if (!tool)
        return;
    delete tool->context;
    delete tool;
}
