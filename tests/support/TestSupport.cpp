#include "support/TestSupport.h"

#include "platform/Platform.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace testing_support {

CapturedLog::CapturedLog(Log* log, uint64_t flags) : log_(log)
{
    log_->flags = flags;
    log_->output = Output;
    log_->outputContext = this;
}

CapturedLog::~CapturedLog()
{
    if (log_->outputContext == this) {
        log_->output = nullptr;
        log_->outputContext = nullptr;
    }
}

void CapturedLog::Output(void* context, const wchar_t* format, va_list args)
{
    static_cast<CapturedLog*>(context)->text_ += platform::FormatV(format, args);
}

TempDir::TempDir()
{
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    for (;;) {
        auto candidate = base / ("tambrix-test-" + std::to_string(random()));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.generic_string();
            break;
        }
    }
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::wstring TempDir::WideFile(const std::string& name) const
{
    return platform::Utf8ToWide(File(name));
}

std::string TempDir::Write(const std::string& name, const std::string& bytes) const
{
    std::string path = File(name);
    // Names are UTF-8; Windows would read a narrow one in its ANSI code page.
    std::ofstream(std::filesystem::path(std::u8string(path.begin(), path.end())), std::ios::binary) << bytes;
    return path;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

std::string ReadTextFile(const std::string& path)
{
    std::string text = ReadFile(path);
    std::string out;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    return out;
}

} // namespace testing_support
