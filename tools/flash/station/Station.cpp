#include "Station.h"

#include "PortWorker.h"
#include "Sha1.h"
#include "Watch.h"

#include "../Commands.h"
#include "../FlashJob.h"
#include "../Results.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <thread>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <unistd.h>
#endif

namespace flasher {

namespace {

std::atomic<int> g_interrupts{0};

std::string HostName()
{
    char name[256] = {};
#ifdef _WIN32
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size))
        return "localhost";
#else
    if (gethostname(name, sizeof name - 1) != 0)
        return "localhost";
#endif
    return name;
}

BoardMode ModeFor(const CommandOptions& options)
{
    if (options.quiet)
        return BoardMode::Quiet;
    if (options.json)
        return BoardMode::Json;
    if (options.verbose || !IsTerminal(stdout))
        return BoardMode::Lines;
    return BoardMode::Board;
}

} // namespace

Station::Station(const StationOptions& options, Library& library, Ledger* ledger, StationFacts facts)
    : options_(options), library_(library), ledger_(ledger), facts_(std::move(facts)),
      board_(ModeFor(options.command), std::chrono::steady_clock::now())
{
}

Station::~Station()
{
    closing_ = true;
    cancelling_ = true;
    slotFreed_.notify_all();
    workers_.clear();
}

bool Station::MayTake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_ || (options_.count > 0 && taken_ >= options_.count))
        return false;
    ++taken_;
    return true;
}

bool Station::AcquireSlot()
{
    std::unique_lock<std::mutex> lock(mutex_);
    slotFreed_.wait(lock, [this] { return cancelling_ || running_ < options_.maxParallel; });
    if (cancelling_)
        return false;
    ++running_;
    return true;
}

void Station::ReleaseSlot()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
    }
    slotFreed_.notify_one();
}

void Station::Record(FlashRecord& record, bool begin)
{
    if (!ledger_)
        return;
    std::string error;
    if (!(begin ? ledger_->Begin(record, error) : ledger_->Complete(record, error)))
        board_.Error(record.port + ": " + error);
}

void Station::Ended(const std::string& outcome)
{
    board_.Count(outcome);
    std::lock_guard<std::mutex> lock(mutex_);
    // With --count, the station closes once the last device it may take
    // has ended; the others wait for nothing.
    if (options_.count > 0 && board_.Counts().Devices() >= options_.count)
        closing_ = true;
}

std::string Station::NodeOf(const std::string& port) const
{
    if (options_.command.device.usb)
        return usb_.Has(port) ? port : "";
    return PortNode(port);
}

void Station::FlashedAndGone(const std::string& identity)
{
    std::lock_guard<std::mutex> lock(mutex_);
    returning_.emplace_back(identity, std::chrono::steady_clock::now());
}

bool Station::ClaimReturning(const std::string& identity)
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = std::chrono::steady_clock::now();
    std::erase_if(returning_, [&](const auto& r) { return now - r.second > std::chrono::minutes(2); });
    for (auto it = returning_.begin(); it != returning_.end(); ++it)
        if (it->first == identity) {
            returning_.erase(it);
            return true;
        }
    return false;
}

bool Station::StartUsb(std::string& error)
{
    std::vector<UsbId> ids;
    for (const std::string& text : options_.usbIds) {
        UsbId id;
        if (!ParseUsbId(text, id)) {
            error = "--usb-id " + text + ": not VID:PID in hex, such as f0f0:0a01";
            return false;
        }
        ids.push_back(id);
    }
    return usb_.Start(ids, error);
}

void Station::Scan()
{
    if (closing_ || (options_.once && scanned_))
        return;
    scanned_ = true;
    usb_.Poll();
    // A HID device that re-enumerates during its flash usually comes back
    // as the same node, so its worker (still flashing) keeps it.
    std::set<std::string> ports = options_.command.device.usb ? usb_.Nodes() : MatchPorts(options_.patterns);
    for (const std::string& port : ports) {
        auto found = workers_.find(port);
        if (found != workers_.end())
            continue;
        auto worker = std::make_unique<PortWorker>(*this, port, NodeOf(port));
        worker->Start();
        workers_.emplace(port, std::move(worker));
    }
}

// Workers whose port went; the port's next node gets a new one.
void Station::Reap()
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->second->Ended()) {
            it->second->Join();
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void Station::HandleInterrupts()
{
    for (int count = g_interrupts.load(); handled_ < count; ++handled_) {
        if (handled_ == 0) {
            board_.Error("stopping: no new device is taken; running flashes are cancelled and the devices "
                         "brought back, please wait");
            {
                std::lock_guard<std::mutex> lock(mutex_);
                closing_ = true;
                cancelling_ = true;
            }
            slotFreed_.notify_all();
        } else {
            board_.Error("not stopping now: the device is being brought back, please wait");
        }
    }
}

int Station::Summary()
{
    Totals t = board_.Counts();
    double seconds = board_.Seconds();
    double perHour = seconds > 0 ? t.Devices() * 3600 / seconds : 0;
    int code = t.failed ? 1 : t.cancelled ? 2 : 0;
    board_.Event({{"event", "summary"},
                  {"port", nullptr},
                  {"flashed", t.flashed},
                  {"current", t.current},
                  {"failed", t.failed},
                  {"cancelled", t.cancelled},
                  {"devices", t.Devices()},
                  {"seconds", static_cast<double>(static_cast<int64_t>(seconds * 1000)) / 1000},
                  {"devices_per_hour", static_cast<int>(perHour)},
                  {"exit_code", code}});
    if (board_.Mode() == BoardMode::Lines || board_.Mode() == BoardMode::Board)
        std::printf("station: %d flashed, %d current, %d failed, %d cancelled in %s (%d devices per hour)\n",
                    t.flashed, t.current, t.failed, t.cancelled, RunningTime(seconds).c_str(),
                    static_cast<int>(perHour));
    return code;
}

int Station::Run()
{
    CatchInterrupts(g_interrupts);
    IgnoreBrokenPipes();
    if (board_.Mode() == BoardMode::Board)
        PrepareTerminal(stdout);
    auto lastScan = std::chrono::steady_clock::now() - std::chrono::hours(1);
    for (;;) {
        HandleInterrupts();
        auto now = std::chrono::steady_clock::now();
        if (now - lastScan >= std::chrono::milliseconds(250)) {
            lastScan = now;
            Reap();
            Scan();
        }
        board_.Draw();
        bool idle = workers_.empty() || std::all_of(workers_.begin(), workers_.end(),
                                                    [](const auto& w) { return w.second->Ended(); });
        if (idle && (closing_ || (options_.once && scanned_)))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(board_.Mode() == BoardMode::Board ? 200 : 100));
    }
    Reap();
    board_.Finish();
    return Summary();
}

int StationCommand(const StationOptions& options)
{
    CommandOptions check = options.command;
    if (int code = CheckInputs(check))
        return code;
    for (const std::string* dir : {&options.logDir, &options.recordDir}) {
        if (dir->empty())
            continue;
        std::error_code error;
        std::filesystem::create_directories(*dir, error);
        if (!std::filesystem::is_directory(*dir))
            return Fail(kExitCantCreate, "the directory " + *dir + " cannot be made");
    }
    Library library;
    std::string error;
    if (!library.Load(options.command.device.library, error))
        return Fail(kExitNoLibrary, error);
    std::unique_ptr<Ledger> ledger;
    if (!options.ledger.empty()) {
        ledger = OpenLedger(options.ledger, true, error);
        if (!ledger)
            return Fail(kExitCantCreate, error);
        if (ledger->Interrupted() > 0)
            std::fprintf(stderr, "tambrix-flash: the ledger had %d open row(s) of a station that ended; marked "
                                 "interrupted\n",
                         ledger->Interrupted());
    }
    // The settings file and the line settings are the same for every
    // device: refused ones end the station before the first device.
    {
        FlashJob trial(library, options.command.device, options.patterns.empty() ? "/dev/hidraw0" : options.patterns.front());
        int code = 0;
        if (!trial.Configure(error, code))
            return Fail(code, error);
    }
    StationFacts facts{HostName(), FileSha1(options.command.file), LibraryVersion(library)};
    Station station(options, library, ledger.get(), facts);
    if (options.command.device.usb && !station.StartUsb(error))
        return Fail(kExitUsage, error);
    return station.Run();
}

} // namespace flasher
