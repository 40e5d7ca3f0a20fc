// One watched port: probes it, takes each new device on it once, flashes
// it (again on failure, while it stays reachable), records it, and waits
// for it to go. Runs on a thread of its own until the port vanishes or the
// station closes.
#pragma once

#include "DeviceIdentity.h"
#include "Ledger.h"

#include "../DeviceReport.h"
#include "../Diagnosis.h"
#include "../FlashJob.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace flasher {

class Station;

class PortWorker {
public:
    PortWorker(Station& station, std::string port, std::string node);
    ~PortWorker();
    PortWorker(const PortWorker&) = delete;
    PortWorker& operator=(const PortWorker&) = delete;

    void Start();
    bool Ended() const { return ended_.load(); }
    void Join();

private:
    struct Attempt {
        DeviceOptions options;          // the job holds a reference to it
        std::unique_ptr<FlashJob> job;
    };

    void Run();
    bool Present() const;
    // Asks the device for its report: true when it answered.
    bool Probe(std::string& report);
    // Waits up to seconds; false when the port vanished or the station closes.
    bool Pause(double seconds);
    void Take(const std::string& report, const std::string& identity);
    bool Current(const DeviceReport& report);
    // Flashes until it succeeds, is cancelled, or tries run out; the last
    // attempt is left in `last`.
    void Flash(FlashRecord& record, std::unique_ptr<Attempt>& last);
    std::unique_ptr<Attempt> NewAttempt(int number, int tryNumber, std::string& error, int& exitCode);
    void Left(const std::string& why);
    std::string FileFor(const std::string& dir, int number, int tryNumber, const char* extension) const;

    Station& station_;
    std::string port_;
    std::string node_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
};

} // namespace flasher
