// The two long operations of CFlashTool as the engine runs them, and the
// adapters that carry the engine's callbacks to the host's.
#pragma once

#include "tambrix01/FlashTool.h"

#include <cstdint>
#include <string>

struct ToolContext;

// The host result code of a flash (FLASH_RESULT_..., or a negative open
// failure on the early-failure path).
uint32_t FlashScanner(ToolContext* context, const wchar_t* fileName);
// The host result code of a version query (VERSION_RESULT_...). out is
// zero-filled by the caller.
uint32_t GetFileVersion(ToolContext* context, const wchar_t* fileName, FileVersionInfo* out);

// Asks the device on the configured port for its report, as the version
// query does: 0 with the report's "tag: value" lines in text, else 2.
uint32_t QueryDeviceReport(ToolContext* context, std::string& text);

// Sets the engine's interface up from the host's settings: 0 or the
// set-up's failure (-1 for an unknown interface type).
int32_t PrepareInterface(ToolContext* context);

// The engine's status callback: progress of statuses 5 and 9 to the host's
// callback, and the host's cancel word to the engine. context is the
// ToolContext.
int32_t ToolStatusAdapter(void* context, uint64_t status, uint64_t x, uint64_t y);
// The engine's assist callback: the host's, when it set one.
int32_t ToolAssistAdapter(void* context, uint32_t id, wchar_t* buffer, uint32_t capacity);
