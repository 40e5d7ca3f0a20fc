// The named mutexes' lock files on Linux: usable by every local user, and
// never reached through a symbolic link planted in the shared directory.
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// A copy of this program started as another user takes or looks at a
// mutex (TAMBRIX_MUTEX_CHILD hold or probe, TAMBRIX_MUTEX_NAME) and prints
// "held", "taken", "free" or "failed"; a holder keeps the mutex until the
// file TAMBRIX_MUTEX_RELEASE appears. It does so before main and ends.
int RunAsChild()
{
    const char* mode = std::getenv("TAMBRIX_MUTEX_CHILD");
    const char* name = std::getenv("TAMBRIX_MUTEX_NAME");
    if (!mode || !name)
        return 0;
    bool existed = false;
    platform::NamedMutex* mutex = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &existed);
    bool hold = std::string(mode) == "hold";
    std::printf("%s\n", !mutex ? "failed" : existed ? "taken" : hold ? "held" : "free");
    std::fflush(stdout);
    const char* release = std::getenv("TAMBRIX_MUTEX_RELEASE");
    for (int i = 0; hold && mutex && !existed && release && i < 6000 && access(release, F_OK) != 0; ++i)
        usleep(10000);
    platform::CloseNamedMutex(mutex);
    _exit(0);
}
const int kChild = RunAsChild();

// This program as the user uid, doing mode on the mutex name.
struct OtherUser {
    OtherUser(int uid, const char* mode, const std::string& name, const std::string& release)
    {
        char self[4096] = {};
        ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        int out[2];
        if (n <= 0 || pipe(out) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            close(out[0]);
            setenv("TAMBRIX_MUTEX_CHILD", mode, 1);
            setenv("TAMBRIX_MUTEX_NAME", name.c_str(), 1);
            setenv("TAMBRIX_MUTEX_RELEASE", release.c_str(), 1);
            std::string id = std::to_string(uid);
            std::string reuid = "--reuid=" + id, regid = "--regid=" + id;
            execl("/usr/bin/setpriv", "setpriv", reuid.c_str(), regid.c_str(), "--clear-groups", self,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        fd = out[0];
    }
    ~OtherUser()
    {
        if (fd >= 0)
            close(fd);
        Wait();
    }
    // Its answer, or empty when none came within a generous bound.
    std::string Answer()
    {
        std::string line;
        char c = 0;
        for (pollfd p{fd, POLLIN, 0}; line.find('\n') == std::string::npos && poll(&p, 1, 30000) > 0;) {
            if (read(fd, &c, 1) != 1)
                break;
            line += c;
        }
        return line.substr(0, line.find('\n'));
    }
    int Wait()
    {
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid)
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        pid = -1;
        return exitCode;
    }
    pid_t pid = -1;
    int fd = -1;
    int exitCode = -1;
};

// Where the library keeps its locks in this run.
const std::string kDirectory = std::getenv("TAMBRIX01_LOCK_DIR") ? std::getenv("TAMBRIX01_LOCK_DIR")
                                                                 : "/tmp/tambrix01-mutex";

// The lock file behind a name without path characters.
std::string LockFile(const std::string& name)
{
    return kDirectory + "/" + name;
}

mode_t ModeOf(const std::string& path)
{
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

// Restores the process umask.
struct Umask {
    explicit Umask(mode_t mask) : previous(umask(mask)) {}
    ~Umask() { umask(previous); }
    mode_t previous;
};

TEST(NamedMutexPosix, DirectoryAndLockFilesAreOpenToEveryUserWhateverTheUmask)
{
    Umask strict(022);
    std::string name = "ZOT_TAMBRIX01_modes-" + std::to_string(getpid());
    // A directory left by a process with a strict umask is put right by the
    // next one that owns it.
    struct stat status {};
    if (lstat(kDirectory.c_str(), &status) == 0 && status.st_uid == geteuid())
        chmod(kDirectory.c_str(), 01755);
    unlink(LockFile(name).c_str());

    bool existed = true;
    platform::NamedMutex* mutex = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &existed);
    ASSERT_NE(mutex, nullptr);
    EXPECT_FALSE(existed);
    if (status.st_uid == geteuid()) {
        EXPECT_EQ(ModeOf(kDirectory), 01777u);
    }
    EXPECT_EQ(ModeOf(LockFile(name)), 0666u);
    platform::ReleaseNamedMutex(mutex);
    platform::CloseNamedMutex(mutex);
    unlink(LockFile(name).c_str());
}

// The link's target is left alone, and the mutex works all the same.
TEST(NamedMutexPosix, ALinkPlantedUnderTheMutexNameIsNotFollowed)
{
    testing_support::TempDir dir;
    dir.Write("victim", "keep");
    std::string victim = dir.File("victim");
    chmod(victim.c_str(), 0600);
    std::string name = "ZOT_TAMBRIX01_link-" + std::to_string(getpid());
    // Make sure the directory exists, then plant the link in it.
    platform::CloseNamedMutex(platform::CreateNamedMutex(L"ZOT_TAMBRIX01_probe", nullptr));
    unlink(LockFile(name).c_str());
    ASSERT_EQ(symlink(victim.c_str(), LockFile(name).c_str()), 0);

    bool existed = true;
    platform::NamedMutex* mutex = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &existed);
    ASSERT_NE(mutex, nullptr);
    EXPECT_FALSE(existed);
    bool seen = false;
    platform::NamedMutex* second = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &seen);
    EXPECT_TRUE(seen) << "a second holder was not told";
    platform::CloseNamedMutex(second);
    platform::CloseNamedMutex(mutex);
    EXPECT_EQ(ModeOf(victim), 0600u);
    EXPECT_EQ(testing_support::ReadFile(victim), "keep");
    unlink(LockFile(name).c_str());
}

// Whatever another user made of the lock directory beforehand, or planted
// in it, every user can still take a mutex, and every other user (and
// root) sees it taken until its holder lets go. Nothing planted is changed.
TEST(NamedMutexPosix, NothingAnotherUserLeftInTheLockDirectoryStopsOrHidesALock)
{
    if (access("/usr/bin/setpriv", X_OK) != 0 || geteuid() != 0)
        GTEST_SKIP() << "needs root and setpriv to act as other users";
    const uid_t nobody = 65534;
    const std::string name = "ZOT_TAMBRIX01_planted-" + std::to_string(getpid());
    enum class Plant { DirectoryOf0755, DirectoryOf0700, FileForDirectory, LinkForDirectory, UnreadableLockFile,
                       LinkForLockFile, DirectoryForLockFile };
    const struct {
        const char* what;
        Plant plant;
    } cases[] = {
        {"directory made by another user, 0755", Plant::DirectoryOf0755},
        {"directory made by another user, 0700", Plant::DirectoryOf0700},
        {"a file where the directory goes", Plant::FileForDirectory},
        {"a link where the directory goes", Plant::LinkForDirectory},
        {"an unreadable file of another user as the lock file", Plant::UnreadableLockFile},
        {"a link as the lock file", Plant::LinkForLockFile},
        {"a directory as the lock file", Plant::DirectoryForLockFile},
    };
    const char* before = std::getenv("TAMBRIX01_LOCK_DIR");
    const std::string saved = before ? before : "";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        testing_support::TempDir dir;
        chmod(dir.Path().c_str(), 0755);
        const std::string locks = dir.File("locks");
        const std::string planted = locks + "/" + name;
        const std::string victim = dir.Write("victim", "keep");
        chmod(victim.c_str(), 0600);
        ASSERT_EQ(mkdir(dir.File("victim-dir").c_str(), 0700), 0);
        switch (c.plant) {
        case Plant::DirectoryOf0755:
        case Plant::DirectoryOf0700:
            ASSERT_EQ(mkdir(locks.c_str(), 0700), 0);
            ASSERT_EQ(chown(locks.c_str(), nobody, nobody), 0);
            chmod(locks.c_str(), c.plant == Plant::DirectoryOf0755 ? 0755 : 0700);
            break;
        case Plant::FileForDirectory:
            dir.Write("locks", "planted");
            ASSERT_EQ(chown(locks.c_str(), nobody, nobody), 0);
            break;
        case Plant::LinkForDirectory:
            ASSERT_EQ(symlink(dir.File("victim-dir").c_str(), locks.c_str()), 0);
            break;
        case Plant::UnreadableLockFile:
        case Plant::LinkForLockFile:
        case Plant::DirectoryForLockFile:
            ASSERT_EQ(mkdir(locks.c_str(), 01777), 0);
            chmod(locks.c_str(), 01777);
            if (c.plant == Plant::UnreadableLockFile) {
                dir.Write("locks/" + name, "planted");
                ASSERT_EQ(chown(planted.c_str(), nobody, nobody), 0);
                chmod(planted.c_str(), 0000);
            } else if (c.plant == Plant::LinkForLockFile) {
                ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
            } else {
                ASSERT_EQ(mkdir(planted.c_str(), 0700), 0);
            }
            break;
        }
        setenv("TAMBRIX01_LOCK_DIR", locks.c_str(), 1);
        const std::string release = dir.File("release");
        {
            OtherUser holder(12345, "hold", name, release);
            ASSERT_EQ(holder.Answer(), "held");
            OtherUser other(12346, "probe", name, release);
            EXPECT_EQ(other.Answer(), "taken");
            bool existed = false;
            platform::NamedMutex* mine = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &existed);
            EXPECT_NE(mine, nullptr);
            EXPECT_TRUE(existed) << "root did not see the other user's lock";
            platform::CloseNamedMutex(mine);
            dir.Write("release", "");
            EXPECT_EQ(holder.Wait(), 0);
        }
        OtherUser after(12346, "probe", name, release);
        EXPECT_EQ(after.Answer(), "free") << "the lock outlived its holder";
        EXPECT_EQ(ModeOf(victim), 0600u);
        EXPECT_EQ(testing_support::ReadFile(victim), "keep");
        EXPECT_EQ(ModeOf(dir.File("victim-dir")), 0700u);
        if (c.plant == Plant::UnreadableLockFile) {
            EXPECT_EQ(ModeOf(planted), 0000u);
        }
        if (c.plant == Plant::DirectoryOf0755) {
            EXPECT_EQ(ModeOf(locks), 0755u) << "another user's directory was changed";
        }
    }
    if (before)
        setenv("TAMBRIX01_LOCK_DIR", saved.c_str(), 1);
    else
        unsetenv("TAMBRIX01_LOCK_DIR");
    (void)kChild;
}

} // namespace
