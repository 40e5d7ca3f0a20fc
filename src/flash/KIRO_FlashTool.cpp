#include "flash/KIRO_FlashTool.h"

#include "files/LibElf.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "flash/KiroAppTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"

#include <cstdlib>
#include <cstring>

// What the engine holds, let go of: at destruction, or when the
// construction stops half-way.
static void ReleaseCompanions(KIRO_FlashTool& engine)
{
    free(engine.deviceName);
    engine.deviceName = nullptr;
    Release(engine.appTool);
    Release(engine.mocf);
    Release(engine.io);
    Release(engine.elf);
    Release(engine.fileTool);
    Release(engine.log);
}

KIRO_FlashTool::KIRO_FlashTool(Log* logIn) : RefCounted("KIRO_FlashTool::KIRO_FlashTool")
{
    // A companion that cannot be made lets go of those made before it.
    try {
        log = Retain(logIn ? logIn : new Log());
        fileTool = Retain(new LibFileHelper(log));
        elf = Retain(new LibElf(fileTool, log));
        io = Retain(new FlashIo(log));
        mocf = Retain(new LibMOCF(fileTool, log));
        appTool = Retain(new KiroAppTool(elf, mocf, fileTool, log));
    } catch (...) {
        ReleaseCompanions(*this);
        throw;
    }
    ResetPinfo('?');
}

KIRO_FlashTool::~KIRO_FlashTool()
{
    ReleaseCompanions(*this);
    CheckRefZero(this);
}

void KIRO_FlashTool::ResetPinfo(int32_t cable)
{
    memset(&pinfo, 0, sizeof pinfo);
    pinfo.scannerstate = '?';
    pinfo.physical_cable_type = cable;
}

void KIRO_FlashTool::ClearDeviceRecord()
{
    ResetPinfo(pinfo.physical_cable_type);
}

void KIRO_FlashTool::Stamp(uint64_t level, const wchar_t* label)
{
    log->Stamp(level, label);
}

void KIRO_FlashTool::LogMsg(uint64_t level, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    LogPrintV(log, level, format, args);
    va_end(args);
}
