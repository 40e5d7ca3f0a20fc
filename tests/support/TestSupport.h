// Helpers shared by the test suites.
#pragma once

#include "log/Log.h"
#include "platform/VirtualClock.h"

#include <cstdarg>
#include <string>

namespace testing_support {

// Collects what a Log prints, as UTF-8.
class CapturedLog {
public:
    explicit CapturedLog(Log* log, uint64_t flags = 0xFFFFFFFF);
    ~CapturedLog();
    CapturedLog(const CapturedLog&) = delete;
    CapturedLog& operator=(const CapturedLog&) = delete;

    const std::string& Text() const { return text_; }
    bool Contains(const std::string& part) const { return text_.find(part) != std::string::npos; }
    void Clear() { text_.clear(); }

private:
    static void Output(void* context, const wchar_t* format, va_list args);
    Log* log_;
    std::string text_;
};

// A fresh directory under the system's temporary directory, removed with
// everything in it when the guard goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    std::wstring WideFile(const std::string& name) const;
    // Writes bytes into a file of the directory and returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// A text file as written in text mode, with CR LF read back as LF.
std::string ReadTextFile(const std::string& path);

// What the reference-count trap reports where a test can see it: the
// standard error stream on POSIX; on Windows it goes to the debugger.
#ifdef _WIN32
constexpr const char* kTrapReport = "";
#else
constexpr const char* kTrapReport = "BAD REF COUNT: ";
#endif

} // namespace testing_support
