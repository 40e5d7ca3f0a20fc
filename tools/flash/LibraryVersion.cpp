#include "Commands.h"

#include "System.h"
#include "Text.h"

#include <vector>

namespace flasher {

std::string LibraryVersion(const Library& library)
{
    CFlashTool* tool = library.create();
    if (!tool)
        return "(the library made no tool object)";
    std::vector<wchar_t> text(512);
    uint32_t r = tool->GetSetting(CFS_DLLVERSION, text.data(), text.size() - 1);
    library.destroy(tool);
    return r == CFS_RESULT_OK ? Narrow(text.data()) : "(no version text)";
}

} // namespace flasher
