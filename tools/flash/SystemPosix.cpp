#include "System.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace flasher {

namespace {

std::atomic<int>* g_interrupts = nullptr;

void OnInterrupt(int)
{
    if (g_interrupts)
        g_interrupts->fetch_add(1);
}

} // namespace

Library::~Library()
{
    if (handle_)
        dlclose(handle_);
}

bool Library::Load(const std::string& path, std::string& error)
{
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        error = dlerror();
        return false;
    }
    create = reinterpret_cast<PFN_CreateFlashTool>(dlsym(handle_, "CreateFlashTool"));
    destroy = reinterpret_cast<PFN_DestroyFlashTool>(dlsym(handle_, "DestroyFlashTool"));
    if (!create || !destroy) {
        error = path + ": no CreateFlashTool/DestroyFlashTool";
        return false;
    }
    return true;
}

const char* LibraryFileName()
{
    return "libTAMBRIX01.so";
}

std::string ProgramDirectory()
{
    char buffer[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    std::string self = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string(".");
    size_t slash = self.rfind('/');
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string ProgramFileName(const std::string& base)
{
    return base;
}

bool FileExists(const std::string& path)
{
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

bool IsTerminal(FILE* stream)
{
    return isatty(fileno(stream)) == 1;
}

void PrepareTerminal(FILE*) {}

void CatchInterrupts(std::atomic<int>& count)
{
    g_interrupts = &count;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    std::fflush(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string SerialPortProblem(const std::string& name)
{
    struct stat st {};
    if (stat(name.c_str(), &st) != 0)
        return "no such serial port";
    if (!S_ISCHR(st.st_mode))
        return "not a serial port";
    // Only a terminal takes line settings; without O_NONBLOCK an open of a
    // modem line could wait for its carrier.
    int fd = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::string("cannot be opened: ") + std::strerror(errno);
    bool terminal = isatty(fd) == 1;
    close(fd);
    return terminal ? "" : "not a serial port";
}

long ProcessId()
{
    return static_cast<long>(getpid());
}

} // namespace flasher
