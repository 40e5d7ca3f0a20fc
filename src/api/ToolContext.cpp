#include "api/ToolContext.h"

#include "api/Version.h"

#include "flash/KIRO_FlashTool.h"
#include "log/Log.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

const wchar_t* const VersionText = TAMBRIX01_VERSION_TEXT;

// SYN 'M' CR "VISMN42." as a one-entry list.
static const wchar_t kDefaultInitList[] = L"\x16M\rVISMN42.\0";

wchar_t* DuplicateWide(const wchar_t* text)
{
    if (!text)
        return nullptr;
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy)
        memcpy(copy, text, bytes);
    return copy;
}

size_t WideListLength(const wchar_t* list)
{
    size_t i = 0;
    while (list[i])
        i += wcslen(list + i) + 1;
    return i + 1;
}

wchar_t* DuplicateWideList(const wchar_t* list)
{
    size_t bytes = WideListLength(list) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(malloc(bytes));
    if (copy)
        memcpy(copy, list, bytes);
    return copy;
}

// A C allocation the context cannot do without.
template <typename T>
static T* Required(T* block)
{
    if (!block)
        throw std::bad_alloc();
    return block;
}

// A failed allocation anywhere in here frees what was made before it and
// reaches CreateFlashTool as std::bad_alloc.
ToolContext::ToolContext(CFlashTool* ownerIn) : owner(ownerIn)
{
    try {
        dllVersion = Required(DuplicateWide(VersionText));
        initListA = Required(static_cast<wchar_t*>(calloc(2, sizeof(wchar_t))));
        initListB = Required(static_cast<wchar_t*>(calloc(2, sizeof(wchar_t))));
        log = Retain(new Log());
        engine = new KIRO_FlashTool(log);
        AddRef(engine);
        free(initListA);
        free(initListB);
        initListA = nullptr;
        initListB = nullptr;
        initListA = Required(DuplicateWideList(kDefaultInitList));
        initListB = Required(DuplicateWideList(kDefaultInitList));
    } catch (...) {
        FreeAll();
        throw;
    }
}

ToolContext::~ToolContext()
{
    FreeAll();
}

void ToolContext::FreeAll()
{
    // The recorder stands in front of the engine's transport: it goes first.
    DropPendingRecording(this);
    StopRecording(this);
    Release(engine);
    free(initListA);
    free(initListB);
    free(dllVersion);
    free(portName);
    free(const_cast<wchar_t*>(logSettings.fileName));
    initListA = initListB = dllVersion = portName = nullptr;
    logSettings.fileName = nullptr;
    Release(log);
}

void ToolContext::LogMsg(uint64_t level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogPrintV(log, level, format, args);
    va_end(args);
}
