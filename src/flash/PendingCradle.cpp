// Stand-ins until the cradle link and the version query land.
#include "flash/FlashEntry.h"
#include "flash/KIRO_FlashTool.h"

int32_t KIRO_FlashTool::SetupCradleLink() { return -1; }
int32_t KIRO_FlashTool::ScannerToBootViaCradle() { return -1; }
int32_t KIRO_FlashTool::ConnectCradleToScanner() { return -1; }
int32_t KIRO_FlashTool::EnterTransparentMode() { return -1; }
uint32_t GetFileVersion(ToolContext*, const wchar_t*, FileVersionInfo*) { return VERSION_RESULT_NO_MATCH; }
