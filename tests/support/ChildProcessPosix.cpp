#include "support/ChildProcess.h"

#include "support/TestSupport.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

extern char** environ;

namespace testing_support {

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    return pointers;
}

bool Shows(const std::string& file, const std::vector<std::string>& texts, double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        std::string text = ReadFile(file);
        bool all = true;
        for (const std::string& wanted : texts)
            all = all && text.find(wanted) != std::string::npos;
        if (all)
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

} // namespace

ChildProcess::ChildProcess(std::vector<std::string> args, std::string out, std::string err,
                           std::vector<std::string> env)
    : out_(std::move(out)), err_(std::move(err))
{
    std::vector<char*> argv = Pointers(args);
    argv.push_back(nullptr);
    std::vector<char*> envp = Pointers(env);
    for (char** entry = environ; *entry; ++entry)
        envp.push_back(*entry);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (posix_spawn(&pid_, argv[0], &files, nullptr, argv.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&files);
}

ChildProcess::~ChildProcess()
{
    if (pid_ > 0 && !ended_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

int ChildProcess::Wait(double seconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (pid_ > 0 && !ended_) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
            ended_ = true;
        } else if (std::chrono::steady_clock::now() > end) {
            return -1;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    return status_;
}

void ChildProcess::Signal(int number) const
{
    if (pid_ > 0 && !ended_)
        kill(pid_, number);
}

std::string ChildProcess::Out() const { return ReadFile(out_); }
std::string ChildProcess::Err() const { return ReadFile(err_); }

std::string ChildProcess::Context() const
{
    std::string state = pid_ < 0 ? "did not start" : ended_ ? "exit " + std::to_string(status_) : "still running";
    return "\n--- " + state + ", stderr ---\n" + Tail(Err());
}

bool ChildProcess::OutShows(const std::vector<std::string>& texts, double seconds) const
{
    return Shows(out_, texts, seconds);
}

bool ChildProcess::ErrShows(const std::vector<std::string>& texts, double seconds) const
{
    return Shows(err_, texts, seconds);
}

std::string Tail(const std::string& text, size_t lines)
{
    // The text's own last newline ends its last line; one more starts the cut.
    size_t at = text.size(), newlines = 0;
    while (at > 0 && !(text[at - 1] == '\n' && ++newlines > lines))
        --at;
    return text.substr(at);
}

} // namespace testing_support
