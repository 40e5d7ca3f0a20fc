// The named mutexes' lock files on Linux: usable by every local user, and
// never reached through a symbolic link planted in the shared directory.
#include "platform/Platform.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

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

    bool existed = false;
    platform::NamedMutex* mutex = platform::CreateNamedMutex(platform::Utf8ToWide(name).c_str(), &existed);
    EXPECT_EQ(mutex, nullptr);
    platform::CloseNamedMutex(mutex);
    EXPECT_EQ(ModeOf(victim), 0600u);
    unlink(LockFile(name).c_str());
}

} // namespace
