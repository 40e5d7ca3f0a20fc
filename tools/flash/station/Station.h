// The station: a worker per port that probes it, takes each new device once
// and flashes it; the main thread watches the patterns, shows the board and
// turns Ctrl-C into cancels.
#pragma once

#include "Board.h"
#include "Ledger.h"
#include "StationOptions.h"
#include "UsbWatch.h"

#include "../System.h"

#include <atomic>
#include <chrono>
#include <utility>
#include <vector>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace flasher {

class PortWorker;

// What the station knows before the first device: the file's name and
// digest, the versions of this program and of the library.
struct StationFacts {
    std::string host;
    std::string fileSha1;
    std::string libraryVersion;
};

class Station {
public:
    Station(const StationOptions& options, Library& library, Ledger* ledger, StationFacts facts);
    ~Station();
    int Run();

    // For the workers.
    const StationOptions& Options() const { return options_; }
    Library& Lib() { return library_; }
    const StationFacts& Facts() const { return facts_; }
    Board& Output() { return board_; }
    // No device is taken any more (Ctrl-C, --count reached).
    bool Closing() const { return closing_.load(); }
    // Running flashes are cancelled (Ctrl-C).
    bool Cancelling() const { return cancelling_.load(); }
    // Counts the device as taken; false once --count is reached or the
    // station closes.
    bool MayTake();
    // A flash slot of --max-parallel; false when cancelled while waiting.
    bool AcquireSlot();
    void ReleaseSlot();
    void Record(FlashRecord& record, bool begin);
    void Ended(const std::string& outcome);
    int NextNumber() { return ++numbers_; }
    // What the port's name leads to now, empty when it is gone: the node
    // of a serial port, or a HID node while the monitor has it.
    std::string NodeOf(const std::string& port) const;
    // A HID device whose node went during its flash may come back under
    // another node: told here, and claimed by the worker of the node where
    // the same device answers within two minutes, so it is not flashed twice.
    void FlashedAndGone(const std::string& identity);
    bool ClaimReturning(const std::string& identity);
    // Starts the USB monitor when the station watches HID devices.
    bool StartUsb(std::string& error);

private:
    void Scan();
    void Reap();
    void HandleInterrupts();
    int Summary();

    const StationOptions& options_;
    Library& library_;
    Ledger* ledger_;
    StationFacts facts_;
    Board board_;
    UsbWatch usb_;
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> returning_;
    std::map<std::string, std::unique_ptr<PortWorker>> workers_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> cancelling_{false};
    std::atomic<int> numbers_{0};
    std::mutex mutex_;
    std::condition_variable slotFreed_;
    int running_ = 0;
    int taken_ = 0;
    bool scanned_ = false;
    int handled_ = 0;
};

} // namespace flasher
