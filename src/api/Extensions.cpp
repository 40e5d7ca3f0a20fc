// This library's own setting ids (0x10070 and up): status reports, and what
// the device reports about itself.
#include "api/ToolContext.h"

#include "flash/FlashEntry.h"
#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstring>
#include <string>

namespace {

uint32_t StatusReports(bool set, ToolContext* context, void* value, uint64_t size)
{
    if (size != sizeof(StatusReportSettings)) {
        context->LogMsg(LOG_ERROR, L"Invalid size\n");
        return CFS_RESULT_REFUSED;
    }
    if (!set) {
        StatusReportSettings current = {context->statusReports, context->statusReportsContext};
        memcpy(value, &current, sizeof current);
        return CFS_RESULT_OK;
    }
    StatusReportSettings record;
    memcpy(&record, value, sizeof record);
    context->statusReports = record.callback;
    context->statusReportsContext = record.context;
    return CFS_RESULT_OK;
}

// The report's text into the host's buffer of size characters, NUL
// included; refused when it does not fit.
uint32_t ReportOut(const std::string& text, void* value, uint64_t size)
{
    std::wstring wide = platform::Utf8ToWide(text.c_str());
    if (size < wide.size() + 1)
        return CFS_RESULT_REFUSED;
    memcpy(value, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    return CFS_RESULT_OK;
}

} // namespace

uint32_t LibraryExtension(bool set, ToolContext* context, int32_t id, void* value, uint64_t size, bool& handled)
{
    handled = true;
    switch (id) {
    case CFS_TAMBRIX_STATUS_REPORTS:
        context->LogMsg(LOG_INFO, L"Get and SetSetting: status reports. \n");
        return StatusReports(set, context, value, size);
    case CFS_TAMBRIX_DEVICE_REPORT: {
        context->LogMsg(LOG_INFO, L"Get and SetSetting: device report. \n");
        if (set)
            return CFS_RESULT_REFUSED;
        std::string text;
        uint32_t result = QueryDeviceReport(context, text);
        return result == CFS_RESULT_OK ? ReportOut(text, value, size) : result;
    }
    case CFS_TAMBRIX_FAST_FALLBACK: {
        if (set || size != sizeof(uint64_t))
            return CFS_RESULT_REFUSED;
        uint64_t fellBack = context->engine->io->pacing.fellBack ? 1 : 0;
        memcpy(value, &fellBack, sizeof fellBack);
        return CFS_RESULT_OK;
    }
    case CFS_TAMBRIX_REPORT_BEFORE:
    case CFS_TAMBRIX_REPORT_AFTER:
        if (set)
            return CFS_RESULT_REFUSED;
        return ReportOut(id == CFS_TAMBRIX_REPORT_BEFORE ? context->engine->reportBefore
                                                          : context->engine->reportAfter,
                         value, size);
    default:
        handled = false;
        return CFS_RESULT_UNKNOWN_ID;
    }
}
