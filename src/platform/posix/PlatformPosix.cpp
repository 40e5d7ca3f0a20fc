// POSIX backend of the platform layer.
#include "platform/Platform.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

class MonotonicClock : public Clock {
public:
    uint32_t Tick() override
    {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
    }
    void Sleep(uint32_t ms) override
    {
        timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    }
};

bool DebuggerAttached()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::atoi(line.c_str() + 10) != 0;
    return false;
}

} // namespace

Clock& RealClock()
{
    static MonotonicClock clock;
    return clock;
}

// ---- named mutexes: one lock file per name under a fixed directory ----------

struct NamedMutex {
    int fd;
    bool owned;
};

// Every process that flashes must see the same locks. TAMBRIX01_LOCK_DIR
// moves them for a group of processes that shares another directory: a
// service with a private /tmp, or a test run that must not meet the devices
// of other runs on the machine.
static const char* MutexDirectory()
{
    const char* dir = std::getenv("TAMBRIX01_LOCK_DIR");
    return dir && *dir ? dir : "/tmp/tambrix01-mutex";
}

static std::string MutexFileName(const wchar_t* name)
{
    std::string file;
    for (char c : WideToUtf8(name))
        file += (c == '/' || c == '\\' || c == ':') ? '_' : c;
    return file;
}

// Every local user flashes devices, so the directory and its lock files
// must be theirs as much as ours, whatever the umask of whoever made them
// first: the modes are set after creating. The directory sits in /tmp, so
// nothing in it is reached through a symbolic link.
static int OpenMutexDirectory()
{
    mkdir(MutexDirectory(), 01777);
    int dir = open(MutexDirectory(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat status {};
    if (dir < 0 || fstat(dir, &status) != 0) {
        if (dir >= 0)
            close(dir);
        return -1;
    }
    if (status.st_uid == geteuid() && (status.st_mode & 07777) != 01777)
        fchmod(dir, 01777);
    return dir;
}

static int OpenLockFile(const wchar_t* name)
{
    int dir = OpenMutexDirectory();
    if (dir < 0)
        return -1;
    std::string file = MutexFileName(name);
    int fd = openat(dir, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    // A lock file another user made under a stricter umask still serves:
    // flock needs no write access.
    if (fd < 0 && errno == EACCES)
        fd = openat(dir, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    struct stat status {};
    if (fd >= 0 && fstat(fd, &status) == 0 && status.st_uid == geteuid() && (status.st_mode & 0777) != 0666)
        fchmod(fd, 0666);
    return fd;
}

NamedMutex* CreateNamedMutex(const wchar_t* name, bool* alreadyExisted)
{
    if (!name)
        return nullptr;
    int fd = OpenLockFile(name);
    if (fd < 0)
        return nullptr;
    // A lock held elsewhere means the mutex exists; a crashed holder's lock is
    // freed by the kernel, so a stale file never blocks anybody.
    bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (alreadyExisted)
        *alreadyExisted = !free;
    return new NamedMutex{fd, free};
}

bool WaitNamedMutex(NamedMutex* mutex, uint32_t timeoutMs)
{
    if (!mutex)
        return false;
    uint32_t start = TickCount();
    for (;;) {
        if (mutex->owned || flock(mutex->fd, LOCK_EX | LOCK_NB) == 0)
            return mutex->owned = true;
        if (timeoutMs != 0xFFFFFFFFu && TickCount() - start >= timeoutMs)
            return false;
        SleepMs(10);
    }
}

void ReleaseNamedMutex(NamedMutex* mutex)
{
    if (mutex && mutex->owned) {
        flock(mutex->fd, LOCK_UN);
        mutex->owned = false;
    }
}

void CloseNamedMutex(NamedMutex* mutex)
{
    if (!mutex)
        return;
    close(mutex->fd);
    delete mutex;
}

// ---- diagnostics ------------------------------------------------------------

// There is no debugger channel on POSIX; the standard error stream is the
// nearest place a developer looks.
void DebuggerOutput(const std::string& utf8)
{
    fwrite(utf8.data(), 1, utf8.size(), stderr);
    fflush(stderr);
}

void FatalTrap(const char* text)
{
    DebuggerOutput(std::string(text) + "\n");
    if (DebuggerAttached())
        raise(SIGTRAP);
    _exit(1);
}

FILE* OpenDebugConsole()
{
    // The controlling terminal stands in for a console window of our own.
    FILE* stream = fopen("/dev/tty", "w");
    if (stream) {
        setvbuf(stream, nullptr, _IONBF, 0);
        fputs("\033]0;Debug Console\007", stream);
    }
    return stream;
}

bool CurrentDirectory(std::wstring& out)
{
    char buffer[1025];
    if (!getcwd(buffer, sizeof buffer))
        return false;
    out = Utf8ToWide(buffer);
    return true;
}

uint32_t LastErrorCode() { return static_cast<uint32_t>(errno); }

std::wstring LastErrorText()
{
    int code = errno;
    return Utf8ToWide("(" + std::to_string(code) + ") " + strerror(code));
}

FILE* OpenFileDenyWrite(const wchar_t* name, const char* mode)
{
    if (!name || !mode)
        return nullptr;
    bool write = mode[0] == 'w';
    int fd = open(WideToUtf8(name).c_str(), (write ? O_WRONLY | O_CREAT : O_RDONLY) | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    // Truncate only once we hold the lock, so a refused open destroys nothing.
    if (flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0 || (write && ftruncate(fd, 0) != 0)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE* stream = fdopen(fd, mode);
    if (!stream)
        close(fd);
    return stream;
}

FILE* OpenFileRead(const wchar_t* name, const char* mode)
{
    if (!name || !mode) {
        errno = EINVAL;
        return nullptr;
    }
    int fd = open(WideToUtf8(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    FILE* stream = fdopen(fd, mode);
    if (!stream) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

void* AllocateLarge(size_t size)
{
    // Below a huge page there is nothing to win.
    constexpr size_t kHugePage = size_t(2) << 20;
    if (size < kHugePage)
        return malloc(size ? size : 1);
    void* buffer = nullptr;
    if (posix_memalign(&buffer, kHugePage, size) != 0)
        return nullptr;
    // Advice only: where transparent huge pages are off, this fails and the
    // buffer fills one small page at a time, as any other.
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0)
        madvise(buffer, size & ~(size_t(page) - 1), MADV_HUGEPAGE);
    return buffer;
}

std::string WallClockText()
{
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char buffer[64];
    if (!asctime_r(&local, buffer))
        return "\n";
    return buffer;
}

} // namespace platform
