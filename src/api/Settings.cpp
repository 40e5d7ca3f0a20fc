// The settings dispatcher: one walk for SetSetting and GetSetting.
#include "api/ToolContext.h"

#include "io/Rs232.h"
#include "log/Log.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

uint32_t FixedCopy(bool set, ToolContext* context, void* member, const void* value, uint64_t size, uint64_t expected)
{
    if (size != expected) {
        context->LogMsg(LOG_ERROR, L"Invalid size\n");
        return CFS_RESULT_REFUSED;
    }
    if (set)
        memcpy(member, value, expected);
    else
        memcpy(const_cast<void*>(value), member, expected);
    return CFS_RESULT_OK;
}

// The cancel word is read by a flash running on another thread: whole
// loads and stores, never a byte copy.
uint32_t CancelWordCopy(bool set, ToolContext* context, void* value, uint64_t size)
{
    if (size != sizeof(uint64_t)) {
        context->LogMsg(LOG_ERROR, L"Invalid size\n");
        return CFS_RESULT_REFUSED;
    }
    uint64_t word;
    if (set) {
        memcpy(&word, value, sizeof word);
        context->cancelIo.store(word, std::memory_order_relaxed);
    } else {
        word = context->cancelIo.load(std::memory_order_relaxed);
        memcpy(value, &word, sizeof word);
    }
    return CFS_RESULT_OK;
}

// size is the text capacity in characters, without the NUL. A text longer
// than its declared size is refused rather than read past its end. The
// largest sizes only bound the search: one more than them would wrap to 0.
uint32_t TextCopyIn(wchar_t*& member, const wchar_t* text, uint64_t size)
{
    size_t limit = size < SIZE_MAX ? static_cast<size_t>(size) + 1 : SIZE_MAX;
    size_t length = wcsnlen(text, limit);
    if (length > size)
        return CFS_RESULT_REFUSED;
    free(member);
    member = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!member)
        return CFS_RESULT_FAILED;
    memcpy(member, text, length * sizeof(wchar_t));
    member[length] = 0;
    return CFS_RESULT_OK;
}

uint32_t TextCopyOut(const wchar_t* member, wchar_t* out, uint64_t size)
{
    // Nothing stored: hand back an empty text rather than fail the caller.
    if (!member)
        member = L"";
    size_t length = wcslen(member);
    if (length > size)
        return CFS_RESULT_REFUSED;
    memcpy(out, member, (length + 1) * sizeof(wchar_t));
    return CFS_RESULT_OK;
}

// Characters of a list through its final NUL, never looking past index
// size; 0 when a string's NUL stands beyond it.
size_t ListExtent(const wchar_t* value, uint64_t size)
{
    size_t i = 0;
    for (;;) {
        size_t start = i;
        while (i <= size && value[i])
            ++i;
        if (i > size)
            return 0;
        if (i == start)
            return i + 1;
        ++i;
    }
}

constexpr uint64_t kInitListMaxSize = 300;

uint32_t ListStore(wchar_t*& list, const wchar_t* value, uint64_t size)
{
    size_t count = ListExtent(value, size);
    if (count == 0)
        return CFS_RESULT_REFUSED;
    free(list);
    list = static_cast<wchar_t*>(malloc(count * sizeof(wchar_t)));
    if (!list) {
        list = static_cast<wchar_t*>(calloc(2, sizeof(wchar_t)));
        return CFS_RESULT_REFUSED;
    }
    memcpy(list, value, count * sizeof(wchar_t));
    return CFS_RESULT_OK;
}

uint32_t ListCopyOut(const wchar_t* list, wchar_t* out, uint64_t size)
{
    size_t count = list ? WideListLength(list) : 0;
    if (!list || size < count)
        return CFS_RESULT_REFUSED;
    memcpy(out, list, count * sizeof(wchar_t));
    return CFS_RESULT_OK;
}

void LogSerialSettings(ToolContext* context)
{
    const WIN32_232_SETTINGS& s = context->serialSettings;
    context->LogMsg(LOG_INFO, L"win_rs232_settings: %d, %d-%c-%hs.\n", static_cast<int>(s.dcb.BaudRate),
                    s.dcb.ByteSize, Rs232ParityLetter(s.dcb.Parity), Rs232StopBitsText(s.dcb.StopBits));
    context->LogMsg(LOG_INFO,
                    L"comTimeout: ReadIntervalTimeout: %d\nReadTotalTimeoutMultiplier: %d\n"
                    L"ReadTotalTimeoutConstant: %d\nWriteTotalTimeoutMultiplier: %d\n"
                    L"WriteTotalTimeoutConstant: %d.\n",
                    static_cast<int>(s.timeouts.ReadIntervalTimeout),
                    static_cast<int>(s.timeouts.ReadTotalTimeoutMultiplier),
                    static_cast<int>(s.timeouts.ReadTotalTimeoutConstant),
                    static_cast<int>(s.timeouts.WriteTotalTimeoutMultiplier),
                    static_cast<int>(s.timeouts.WriteTotalTimeoutConstant));
    context->LogMsg(LOG_INFO, L"dwInQueue: %d\ndwOutQueue: %d.\n", static_cast<int>(s.dwInQueue),
                    static_cast<int>(s.dwOutQueue));
}

uint32_t ApplyLogFile(ToolContext* context, const LogFileSettings* record)
{
    if (context->logConfigured)
        return CFS_RESULT_REFUSED;
    context->logConfigured = 1;
    context->logSettings = *record;
    context->logSettings.fileName = DuplicateWide(record->fileName);
    if (!context->logSettings.fileName)
        return CFS_RESULT_REFUSED;

    Log* log = context->log;
    switch (static_cast<uint32_t>(record->flagPreset)) {
    case 0: return CFS_RESULT_OK;
    case 1: log->flags = context->flagsPresetL; break;
    case 2: log->flags = context->flagsPresetM; break;
    case 3: log->flags = context->flagsPresetH; break;
    default: break;
    }
    switch (static_cast<uint32_t>(record->outputKind)) {
    case LOG_TO_DEBUGGER:
        log->UseDebugger();
        break;
    case LOG_TO_FILE:
        if (log->OpenFile(context->logSettings.fileName) == -1)
            return CFS_RESULT_REFUSED;
        break;
    case LOG_TO_CONSOLE:
        log->UseConsole();
        break;
    default:
        break;
    }
    context->LogMsg(LOG_INFO, L"FlashDLL Vers: %s\n", VersionText);
    context->LogMsg(LOG_INFO, L"Log Flags: 0x%08x\n", static_cast<unsigned>(log->flags));
    return CFS_RESULT_OK;
}

uint32_t AssistSettings(ToolContext* context, void* value)
{
    context->LogMsg(LOG_ERROR, L"Get and SetSetting: set CFS_DLLASSIST_SETTINGS. \n");
    auto* record = static_cast<DllAssistSettings*>(value);
    context->assistRecord = record;
    if (!record->callback)
        return CFS_RESULT_FAILED;
    context->assistCallback = record->callback;
    context->assistContext = record->context;
    return CFS_RESULT_OK;
}

uint32_t InitString(bool set, ToolContext* context, void* value, uint64_t size)
{
    wchar_t*& list = context->interfaceType == INTERFACE_RS232 ? context->initListB : context->initListA;
    auto* text = static_cast<wchar_t*>(value);
    if (set) {
        context->LogMsg(LOG_INFO, L"SET Init string, size = %d.\n", static_cast<int>(size));
        // A size beyond the limit says nothing about the caller's buffer:
        // it is refused before the list is read, for the dump as well.
        if (size > kInitListMaxSize) {
            context->LogMsg(LOG_ERROR, L"Invalid size\n");
            return CFS_RESULT_REFUSED;
        }
        // The dump shows size bytes, but never more than the list itself
        // holds: a host may pass a generous size with a short list.
        size_t extent = ListExtent(text, size) * sizeof(wchar_t);
        LogHexDump(context->log, LOG_INFO, value, extent && extent < size ? extent : size);
        return ListStore(list, text, size);
    }
    uint32_t result = ListCopyOut(list, text, size);
    context->LogMsg(LOG_INFO, L"GET Init string, size = %d.\n", static_cast<int>(size));
    LogHexDump(context->log, LOG_INFO, value, size < 255 ? size : 255);
    return result;
}

uint32_t LibrarySpecific(bool set, ToolContext* context, int32_t id, void* value, uint64_t size)
{
    context->LogMsg(LOG_INFO,
                    L"Get and SetSetting: SettingID not defined by FlashTool API,DLL specific code handle this.\n");
    bool handled = false;
    uint32_t result = LibraryExtension(set, context, id, value, size, handled);
    if (handled)
        return result;
    return SetDllSpecific(set, context, id, value, size);
}

} // namespace

uint32_t DispatchSetting(bool set, ToolContext* context, int32_t id, void* value, uint64_t size)
{
    if (!value) {
        context->LogMsg(LOG_ERROR, L"NULL pointer\n");
        return CFS_RESULT_REFUSED;
    }
    if (size < 4) {
        context->LogMsg(LOG_ERROR, L"Must be at least intptr_t size\n");
        return CFS_RESULT_REFUSED;
    }
    if (id == CFS_TEST_NUMBER) {
        context->LogMsg(LOG_INFO, L"Get and SetSetting: TEST NUMBER: %d\n", *static_cast<int32_t*>(value));
        return CFS_RESULT_OK;
    }
    if (id == CFS_TEST_STRING) {
        context->LogMsg(LOG_INFO, L"Get and SetSetting: TEST STRING \n");
        LogHexDump(context->log, LOG_INFO, value, size);
        return CFS_RESULT_OK;
    }

    switch (id) {
    case CFS_CANCELIO:
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set CFS_CANCELIO. \n");
        return CancelWordCopy(set, context, value, size);
    case CFS_FWCALLBACK:
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set CFS_FWCALLBACK. \n");
        if (size != 8) {
            context->LogMsg(LOG_ERROR, L"Invalid size\n");
            return CFS_RESULT_REFUSED;
        }
        // The pointer argument is the callback itself.
        if (set)
            context->fwCallback = reinterpret_cast<FwCallback>(value);
        else
            memcpy(value, &context->fwCallback, sizeof context->fwCallback);
        return CFS_RESULT_OK;
    case CFS_DLLVERSION: {
        uint32_t result = set ? uint32_t{CFS_RESULT_REFUSED}
                              : TextCopyOut(context->dllVersion, static_cast<wchar_t*>(value), size);
        context->LogMsg(LOG_INFO, L"Get and SetSetting: get dll version %s. \n", context->dllVersion);
        return result;
    }
    case CFS_LOGFILE:
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set log file. \n");
        if (!set)
            return CFS_RESULT_REFUSED;
        if (size != sizeof(LogFileSettings)) {
            context->LogMsg(LOG_ERROR, L"Invalid size\n");
            return CFS_RESULT_REFUSED;
        }
        return ApplyLogFile(context, static_cast<LogFileSettings*>(value));
    case CFS_PORTNAME: {
        uint32_t result = set ? TextCopyIn(context->portName, static_cast<wchar_t*>(value), size)
                              : TextCopyOut(context->portName, static_cast<wchar_t*>(value), size);
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set port name %s.\n", context->portName);
        return result;
    }
    case CFS_PROTOCOL_SETTINGS:
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set PROTOCOL SETTINGS. \n");
        return LoadProtocolFile(context, static_cast<wchar_t*>(value));
    case CFS_INITSTRING:
        return InitString(set, context, value, size);
    case CFS_INTERFACE: {
        uint32_t result = FixedCopy(set, context, &context->interfaceType, value, size, sizeof context->interfaceType);
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set interface %d. \n", static_cast<int>(context->interfaceType));
        return result;
    }
    case CFS_WIN32_232_SETTINGS: {
        context->LogMsg(LOG_INFO, L"Get and SetSetting: set WIN32_232_SETTINGS. \n");
        uint32_t result = FixedCopy(set, context, &context->serialSettings, value, size, sizeof context->serialSettings);
        LogSerialSettings(context);
        return result;
    }
    case CFS_DLLASSIST_SETTINGS:
        return AssistSettings(context, value);
    default:
        return LibrarySpecific(set, context, id, value, size);
    }
}
