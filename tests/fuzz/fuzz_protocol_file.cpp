// Protocol settings files of any content, loaded the way a host names one:
// the input is the file, set with CFS_PROTOCOL_SETTINGS on a fresh tool.
// Every line that takes effect goes through the tool's own SetSetting, so
// the init lists, the test settings and the tunables all see what the file
// says.
#include "FuzzLog.h"
#include "api/ToolContext.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "tambrix01/FlashTool.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

class SettingsFile {
public:
    SettingsFile()
    {
        char pattern[] = "/tmp/tambrix_protocol_XXXXXX";
        if (!mkdtemp(pattern))
            abort();
        dir_ = pattern;
        path_ = dir_ + "/settings.txt";
        name_ = platform::Utf8ToWide(path_.c_str());
    }
    ~SettingsFile()
    {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    void Write(const uint8_t* data, size_t size) const
    {
        FILE* out = fopen(path_.c_str(), "wb");
        if (!out || fwrite(data, 1, size, out) != size || fclose(out) != 0)
            abort();
    }
    std::wstring& Name() { return name_; }

private:
    std::string dir_;
    std::string path_;
    std::wstring name_;
};

} // namespace

using fuzz_support::Check;
using fuzz_support::FormatAndDrop;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static SettingsFile file;
    file.Write(data, size);

    CFlashTool* tool = CreateFlashTool();
    Check(tool != nullptr);
    Log* log = tool->context->log;
    log->flags = 0xFFFFFFFF;
    log->output = FormatAndDrop;
    std::wstring& name = file.Name();
    uint32_t result = tool->SetSetting(CFS_PROTOCOL_SETTINGS, name.data(), name.size() * sizeof(wchar_t));
    Check(result == CFS_RESULT_OK || result == CFS_RESULT_FAILED);
    DestroyFlashTool(tool);
    return 0;
}
