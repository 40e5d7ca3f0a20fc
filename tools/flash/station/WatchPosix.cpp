#include "Watch.h"

#include <csignal>
#include <glob.h>
#include <sys/stat.h>

namespace flasher {

std::set<std::string> MatchPorts(const std::vector<std::string>& patterns)
{
    std::set<std::string> ports;
    for (const std::string& pattern : patterns) {
        glob_t found{};
        if (glob(pattern.c_str(), 0, nullptr, &found) == 0)
            for (size_t i = 0; i < found.gl_pathc; ++i)
                if (!PortNode(found.gl_pathv[i]).empty())
                    ports.insert(found.gl_pathv[i]);
        globfree(&found);
    }
    return ports;
}

void IgnoreBrokenPipes()
{
    std::signal(SIGPIPE, SIG_IGN);
}

std::string PortNode(const std::string& port)
{
    struct stat info {};
    // stat follows a symlink: a dangling one (its pty closed) is no port.
    if (stat(port.c_str(), &info) != 0 || !S_ISCHR(info.st_mode))
        return "";
    return std::to_string(info.st_rdev) + ":" + std::to_string(info.st_ino);
}

} // namespace flasher
