// A host that links the installed library (no dlopen) and checks that the
// version text names the version it was packaged as.
// Usage: installed_host VERSION
#include <tambrix01/FlashTool.h>

#include <cstdio>
#include <cwchar>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::printf("usage: installed_host VERSION\n");
        return 2;
    }
    CFlashTool* tool = CreateFlashTool();
    wchar_t text[100] = {};
    bool ok = tool && tool->GetSetting(CFS_DLLVERSION, text, 99) == CFS_RESULT_OK && tool->FixedValueA() == 13;
    DestroyFlashTool(tool);

    // "product | build version | part | name | date": the second field.
    std::wstring version(text);
    size_t start = version.find(L" | ");
    size_t end = start == std::wstring::npos ? start : version.find(L" | ", start + 3);
    std::string build;
    if (end != std::wstring::npos)
        for (wchar_t c : version.substr(start + 3, end - start - 3))
            build += static_cast<char>(c);
    if (!ok || build != argv[1]) {
        std::printf("version text \"%ls\", expected build version %s\n", text, argv[1]);
        return 1;
    }
    std::printf("TAMBRIX01 %s\n", build.c_str());
    return 0;
}
