#include "support/SimProcess.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testing_support {

SimProcess::SimProcess(const std::string& program, std::vector<std::string> args, const std::string& errorLog)
    : errorLog_(errorLog)
{
    int out[2];
    if (pipe(out) != 0)
        return;
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    out_ = out[0];
}

SimProcess::~SimProcess()
{
    Stop();
    if (out_ >= 0)
        close(out_);
}

std::string SimProcess::Line()
{
    std::string line;
    char c;
    while (out_ >= 0) {
        pollfd fd{out_, POLLIN, 0};
        if (poll(&fd, 1, 30000) <= 0) {
            ReportNoLine("no line within 30 s");
            break;
        }
        if (read(out_, &c, 1) != 1) {
            ReportNoLine("its output ended");
            break;
        }
        if (c == '\n')
            break;
        line += c;
    }
    return line;
}

void SimProcess::ReportNoLine(const char* why)
{
    int status = 0;
    std::string state = "still running";
    if (pid_ > 0 && waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        state = WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                  : "signal " + std::to_string(WTERMSIG(status));
    }
    std::stringstream trace;
    trace << std::ifstream(errorLog_).rdbuf();
    std::string text = trace.str();
    if (text.size() > 2000)
        text = "..." + text.substr(text.size() - 2000);
    std::fprintf(stderr, "tambrix-sim: %s (%s); the end of its stderr (%s):\n%s\n", why, state.c_str(),
                 errorLog_.c_str(), text.c_str());
}

int SimProcess::Stop()
{
    if (pid_ > 0)
        kill(pid_, SIGTERM);
    return Wait();
}

void SimProcess::Signal(int number) const
{
    // Once waited for, the pid is no longer ours.
    if (pid_ > 0)
        kill(pid_, number);
}

int SimProcess::Wait()
{
    if (pid_ <= 0)
        return status_;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

} // namespace testing_support
