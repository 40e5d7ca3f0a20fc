// Stand-ins until compatibility, object flashing and boot entry land.
#include "flash/KIRO_FlashTool.h"

int32_t KIRO_FlashTool::LoadFileCompatList() { return -1; }
CompatVerdict KIRO_FlashTool::CheckAttachedDevice(int32_t) { return CompatVerdict::NotApplicable; }
int32_t KIRO_FlashTool::CheckScannerBehindCradle() { return FLOW_INCOMPATIBLE; }
MocfObject* KIRO_FlashTool::FindObjectByCompat(uint32_t, uint8_t) { return nullptr; }
int32_t KIRO_FlashTool::GetFileType(const wchar_t*) { return -1; }
void KIRO_FlashTool::UnloadFile() {}
int32_t KIRO_FlashTool::CountObjects() { return 0; }
int32_t KIRO_FlashTool::FlashByType(int32_t, const wchar_t*) { return -1; }
int32_t KIRO_FlashTool::FlashMocf(const wchar_t*) { return -1; }
int32_t KIRO_FlashTool::FlashRawInternal(int32_t, uint32_t, const uint8_t*, uint64_t) { return -1; }
int32_t KIRO_FlashTool::WaitForScannerAfterBoot() { return -1; }
int32_t KIRO_FlashTool::GotoFlashMode(int32_t*) { return -1; }
int32_t KIRO_FlashTool::Scanner_BTL_Set(BtlParameter) { return -1; }
int32_t KIRO_FlashTool::Scanner_BTL_Get(BtlParameter) { return -1; }
int32_t KIRO_FlashTool::Scanner_BTL_SetAll() { return -1; }
int32_t KIRO_FlashTool::Scanner_BTL_GetAll() { return -1; }
int32_t KIRO_FlashTool::Scanner_GetBT_FLS() { return -1; }
