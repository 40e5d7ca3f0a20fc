// tambrix-sim as a child process: its standard output read line by line (the
// first line is the pty's path), its trace written to a file, stopped with
// SIGTERM when the guard goes. POSIX only.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

class SimProcess {
public:
    SimProcess(const std::string& program, std::vector<std::string> args, const std::string& errorLog);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The next line of standard output, or "" when none comes within 30 s
    // (a loaded machine starts it slowly); then it says on stderr why, with
    // the end of the simulator's trace.
    std::string Line();
    // SIGTERM and the exit status (-1 when it did not end normally).
    int Stop();
    // Another signal, for the simulator's run-time controls (SIGUSR1).
    void Signal(int number) const;
    int Wait();

private:
    void ReportNoLine(const char* why);

    std::string errorLog_;
    int pid_ = -1;
    int out_ = -1;
    int status_ = -1;
};

} // namespace testing_support
