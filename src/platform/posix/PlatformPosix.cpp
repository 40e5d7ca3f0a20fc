// POSIX backend of the platform layer.
#include "platform/Platform.h"

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// ---- named mutexes ----------------------------------------------------------
//
// A name is held through an abstract unix socket bound to it, which every
// process of the machine sees whatever its user and whatever /tmp it has (a
// service may have a private one), which nobody can plant a file or link
// for, and which the kernel lets go when its holder ends. A lock file in
// the lock directory is taken as well where it can be, for older builds
// that know only the file; a directory or file that another user made, or
// planted, with modes we cannot use no longer stops anyone.

struct NamedMutex {
    int fd;          // the lock file, or -1
    int socket;      // bound while owned, else -1
    bool owned;
    std::string key; // the socket's name
};

// Every process that flashes must see the same locks. TAMBRIX01_LOCK_DIR
// moves them for a group of processes that shares another directory (a
// test run that must not meet the devices of other runs on the machine);
// the directory's name is part of each lock's.
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

static int OpenLockFile(const std::string& file)
{
    int dir = OpenMutexDirectory();
    if (dir < 0)
        return -1;
    int fd = openat(dir, file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    // A lock file another user made under a stricter umask still serves:
    // flock needs no write access.
    if (fd < 0 && errno == EACCES)
        fd = openat(dir, file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    struct stat status {};
    if (fd >= 0 && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(fd);
        return -1;
    }
    if (fd >= 0 && status.st_uid == geteuid() && (status.st_mode & 0777) != 0666)
        fchmod(fd, 0666);
    return fd;
}

// The socket's address in the abstract namespace: the key itself where it
// fits, else a 128-bit digest of it.
static socklen_t LockAddress(const std::string& key, sockaddr_un& address)
{
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    std::string text = "tambrix01-mutex:" + key;
    if (text.size() + 1 > sizeof address.sun_path) {
        uint64_t a = 14695981039346656037ull, b = 1099511628211ull * 31;
        for (unsigned char c : key) {
            a = (a ^ c) * 1099511628211ull;
            b = (b + c) * 0x9E3779B97F4A7C15ull ^ (b >> 29);
        }
        char digest[40];
        snprintf(digest, sizeof digest, "%016llx%016llx", static_cast<unsigned long long>(a),
                 static_cast<unsigned long long>(b));
        text = std::string("tambrix01-mutex#") + digest;
    }
    memcpy(address.sun_path + 1, text.data(), text.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + text.size());
}

static bool TakeMutex(NamedMutex* mutex)
{
    if (mutex->owned)
        return true;
    sockaddr_un address;
    socklen_t length = LockAddress(mutex->key, address);
    int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0 && mutex->fd < 0)
        return false;
    if (s >= 0 && bind(s, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
        close(s);
        return false;
    }
    if (mutex->fd >= 0 && flock(mutex->fd, LOCK_EX | LOCK_NB) != 0) {
        if (s >= 0)
            close(s);
        return false;
    }
    mutex->socket = s;
    mutex->owned = true;
    return true;
}

NamedMutex* CreateNamedMutex(const wchar_t* name, bool* alreadyExisted)
{
    if (!name)
        return nullptr;
    std::string file = MutexFileName(name);
    auto* mutex = new NamedMutex{OpenLockFile(file), -1, false, std::string(MutexDirectory()) + "/" + file};
    // A lock held elsewhere means the mutex exists; a crashed holder's lock is
    // freed by the kernel, so nothing stale ever blocks anybody.
    bool free = TakeMutex(mutex);
    if (!free && mutex->fd < 0 && errno != EADDRINUSE) {
        // Neither a socket nor a file: nothing to hold the name with.
        delete mutex;
        return nullptr;
    }
    if (alreadyExisted)
        *alreadyExisted = !free;
    return mutex;
}

bool WaitNamedMutex(NamedMutex* mutex, uint32_t timeoutMs)
{
    if (!mutex)
        return false;
    uint32_t start = TickCount();
    for (;;) {
        if (TakeMutex(mutex))
            return true;
        if (timeoutMs != 0xFFFFFFFFu && TickCount() - start >= timeoutMs)
            return false;
        SleepMs(10);
    }
}

void ReleaseNamedMutex(NamedMutex* mutex)
{
    if (!mutex || !mutex->owned)
        return;
    if (mutex->fd >= 0)
        flock(mutex->fd, LOCK_UN);
    if (mutex->socket >= 0)
        close(mutex->socket);
    mutex->socket = -1;
    mutex->owned = false;
}

void CloseNamedMutex(NamedMutex* mutex)
{
    if (!mutex)
        return;
    ReleaseNamedMutex(mutex);
    if (mutex->fd >= 0)
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
