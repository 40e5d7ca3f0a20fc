// A program run as a child of a test, its standard output and error in
// files, so that a failed check can show what it printed and how it ended.
// POSIX only.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace testing_support {

class ChildProcess {
public:
    // Starts args[0] with its streams in `out` and `err`; `env` entries come
    // before the test's own environment, so they win.
    ChildProcess(std::vector<std::string> args, std::string out, std::string err,
                 std::vector<std::string> env = {});
    // A child still running is killed: a failed test leaves no process behind.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The exit code, 1000 + the signal when one ended it, or -1 when it is
    // still running after `seconds` (bounded, so a hang fails the test
    // instead of stopping the suite).
    int Wait(double seconds = 240);
    void Signal(int number) const;

    std::string Out() const;
    std::string Err() const;
    // What a failed check shows: how it ended and the tail of its stderr.
    std::string Context() const;
    // Waits up to `seconds` until the stream holds every text.
    bool OutShows(const std::vector<std::string>& texts, double seconds) const;
    bool ErrShows(const std::vector<std::string>& texts, double seconds) const;

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int status_ = -1;
    bool ended_ = false;
};

// The last `lines` lines of a text.
std::string Tail(const std::string& text, size_t lines = 30);

} // namespace testing_support
