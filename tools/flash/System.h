// The few operating-system services the flasher needs, one backend per
// platform (SystemPosix.cpp, SystemWin32.cpp). Everything else in the
// flasher is plain C++.
#pragma once

#include "tambrix01/FlashTool.h"

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

namespace flasher {

// The library, loaded the way every host loads it.
class Library {
public:
    Library() = default;
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library();

    // False with a one-line reason when the file cannot be loaded or lacks
    // the two entry points.
    bool Load(const std::string& path, std::string& error);

    PFN_CreateFlashTool create = nullptr;
    PFN_DestroyFlashTool destroy = nullptr;

private:
    void* handle_ = nullptr;
};

// The library's file name on this platform.
const char* LibraryFileName();

// The directory of the running program, without a trailing separator.
std::string ProgramDirectory();

// A sibling program's file name on this platform ("tambrix-fw" gets ".exe").
std::string ProgramFileName(const std::string& base);

bool FileExists(const std::string& path);

// True when the stream is an interactive terminal (a console on Windows).
bool IsTerminal(FILE* stream);

// Prepares a terminal stream for cursor movement (UTF-8 and escape
// sequences on a Windows console); nothing to do elsewhere.
void PrepareTerminal(FILE* stream);

// Counts Ctrl-C (SIGINT/SIGTERM, console control events) instead of ending
// the process; the flash loop reads the count and cancels.
void CatchInterrupts(std::atomic<int>& count);

// Runs a program with arguments, waits, returns its exit code; -1 when it
// could not be started.
int RunProgram(const std::string& program, const std::vector<std::string>& args);

// Why a serial port of this name cannot be used: empty when it is a
// terminal device, else "no such serial port", "not a serial port" or
// the system's reason it cannot be opened. A device path on Linux, a COM
// name (with or without "\\.\") on Windows.
std::string SerialPortProblem(const std::string& name);

// This process's id, for names of temporary files.
long ProcessId();

} // namespace flasher
