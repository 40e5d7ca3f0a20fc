// tambrix-flash station as an operator runs it: simulated scanners on ptys
// behind paths in a watched directory that come and go, flashed once each,
// with the ledger's rows read back through `tambrix-flash ledger`.
#include "support/ChildProcess.h"
#include "support/FirmwareFiles.h"
#include "support/SimProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using testing_support::AsString;
using testing_support::ReadFile;
using testing_support::SimProcess;
using testing_support::Tail;
using testing_support::TempDir;
using Json = nlohmann::json;

// A tambrix-flash process, its output and error streams in files.
class Tool : public testing_support::ChildProcess {
public:
    Tool(const TempDir& dir, std::vector<std::string> args, std::vector<std::string> env = {})
        : Tool(dir.File("tool-" + std::to_string(++runs_) + ".out"), std::move(args), std::move(env))
    {
    }

    // The JSON lines of the output so far (a half-written last line left out).
    std::vector<Json> Events(const char* event = nullptr) const
    {
        std::vector<Json> objects;
        std::string text = Out();
        size_t start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            Json object = Json::parse(text.substr(start, end - start), nullptr, false);
            EXPECT_FALSE(object.is_discarded()) << text.substr(start, end - start);
            if (!object.is_discarded() && (!event || object.value("event", "") == event))
                objects.push_back(object);
        }
        return objects;
    }

    // Waits (generously) until the events satisfy the check.
    bool Until(const std::function<bool(const std::vector<Json>&)>& check, double seconds = 120) const
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        do {
            if (check(Events()))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

private:
    Tool(const std::string& out, std::vector<std::string> args, std::vector<std::string> env)
        : ChildProcess(WithProgram(std::move(args)), out, out + ".err", std::move(env))
    {
    }
    static std::vector<std::string> WithProgram(std::vector<std::string> args)
    {
        args.insert(args.begin(), TAMBRIX_FLASH_PROGRAM);
        return args;
    }
    static inline int runs_ = 0;
};

size_t Count(const std::vector<Json>& events, const char* event, const std::string& port = "",
             const char* outcome = nullptr)
{
    size_t n = 0;
    for (const Json& e : events)
        if (e.value("event", "") == event && (port.empty() || e.value("port", "") == port) &&
            (!outcome || e.value("outcome", "") == outcome))
            ++n;
    return n;
}

// A simulated scanner on a pty that answers, erases and restarts quickly,
// and dumps its areas into its own directory when it stops.
class Scanner {
public:
    Scanner(const TempDir& dir, const std::string& name, std::vector<std::string> extra = {})
        : dumps_(dir.File("dump-" + name)), trace_(dir.File("sim-" + name + ".txt"))
    {
        std::vector<std::string> args = {"--timing", "restart=200",     "--timing",   "erase=50",
                                         "--timing", "line-speed=0",    "--timing",   "newap2-delay=20",
                                         "--dump-dir", dumps_};
        args.insert(args.end(), extra.begin(), extra.end());
        mkdir(dumps_.c_str(), 0755);
        sim_ = std::make_unique<SimProcess>(TAMBRIX_SIM_PROGRAM, args, trace_);
        pty_ = sim_->Line();
    }
    const std::string& Pty() const { return pty_; }
    int Stop() { return sim_->Stop(); }
    void Signal(int number) const { sim_->Signal(number); }
    // The scanner's areas; with `taken` N, those of the N-th scanner taken
    // away from a cradle.
    std::string App(int taken = 0) const { return ReadFile(dumps_ + "/" + Unit(taken) + "-app.bin"); }
    std::string Boot(int taken = 0) const { return ReadFile(dumps_ + "/" + Unit(taken) + "-boot.bin"); }
    std::string Trace() const { return Tail(ReadFile(trace_)); }

private:
    static std::string Unit(int taken) { return taken ? "scanner-" + std::to_string(taken) : "scanner"; }

    std::string dumps_, trace_, pty_;
    std::unique_ptr<SimProcess> sim_;
};

// The watched directory: a port is a symlink to a scanner's pty, there
// while the scanner is plugged in.
class Ports {
public:
    explicit Ports(const TempDir& dir) : path_(dir.File("ports"))
    {
        mkdir(path_.c_str(), 0755);
    }
    std::string Pattern() const { return path_ + "/tty*"; }
    std::string Path(const std::string& name) const { return path_ + "/" + name; }
    std::string Plug(const std::string& name, const Scanner& scanner) const
    {
        std::string path = Path(name);
        EXPECT_EQ(symlink(scanner.Pty().c_str(), path.c_str()), 0) << path;
        return path;
    }
    void Unplug(const std::string& name) const { unlink(Path(name).c_str()); }

private:
    std::string path_;
};

struct Fixture {
    TempDir dir;
    testing_support::FirmwareFile f = testing_support::RealTimeFile(0x41);
    std::string file = dir.Write("fw.mocf", AsString(f.file));
    std::string ledger = dir.File("ledger.db");
    Ports ports{dir};

    // A station on the watched directory with short probes and a ledger.
    std::vector<std::string> Station(std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> args = {"station", file, "--port", ports.Pattern(), "--json", "--ledger", ledger,
                                         "--probe-every", "0.3"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // The library gives up on a silent port within a second or so.
    std::string ShortWaits() const
    {
        return dir.Write("short.txt", "PELLARO_Timeout_MenuCmd_mSecs: 300\nPELLARO_RETRY_max: 1\n");
    }
    // The ledger's rows through the export, filtered by its options.
    std::vector<Json> Rows(std::vector<std::string> filter = {}) const
    {
        std::vector<std::string> args = {"ledger", ledger, "--json"};
        args.insert(args.end(), filter.begin(), filter.end());
        Tool export_(dir, args);
        EXPECT_EQ(export_.Wait(), 0) << export_.Context();
        return export_.Events();
    }
    void ExpectAreasOfTheFile(Scanner& scanner) const
    {
        ASSERT_EQ(scanner.Stop(), 0);
        // Compared whole, not printed: a difference shows the trace instead.
        EXPECT_TRUE(scanner.App() == AsString(f.app)) << "application area\n" << scanner.Trace();
        EXPECT_TRUE(scanner.Boot() == AsString(f.BootArea())) << "boot area\n" << scanner.Trace();
    }
};

void ExpectFlashedRow(const Json& row, const std::string& port)
{
    EXPECT_EQ(row["port"], port) << row;
    EXPECT_EQ(row["outcome"], "flashed") << row;
    EXPECT_EQ(row["result"], 0) << row;
    EXPECT_EQ(row["app_before"], "SIM-APP-1") << row;
    EXPECT_EQ(row["app_after"], testing_support::kRealTimeAppVersion) << row;
    EXPECT_EQ(row["device_state"], "flashed") << row;
    EXPECT_EQ(row["tries"], 1) << row;
    EXPECT_TRUE(row["ended_at"].is_string() && row["ended_at"] >= row["started_at"]) << row;
    EXPECT_EQ(row["file_sha1"].get<std::string>().size(), 40u) << row;
    EXPECT_NE(row["report_before"].get<std::string>().find("app-rev: SIM-APP-1"), std::string::npos) << row;
    EXPECT_NE(row["report_after"].get<std::string>().find(std::string("app-rev: ") +
                                                          testing_support::kRealTimeAppVersion),
              std::string::npos)
        << row;
    EXPECT_TRUE(row["station"].is_string() && row["tool_version"].is_string() &&
                row["library_version"].get<std::string>().find("TAMBRIX01") != std::string::npos)
        << row;
}

// Two scanners plugged in are flashed once each and left alone while they
// stay; one is pulled, another plugged in at its place and flashed; every
// area holds the file, and the ledger has one row per device.
TEST(StationWatch, EachDeviceThatComesIsFlashedOnce)
{
    Fixture x;
    Scanner a(x.dir, "a"), b(x.dir, "b");
    std::string portA = x.ports.Plug("ttyA", a);
    std::string portB = x.ports.Plug("ttyB", b);
    Tool station(x.dir, x.Station());
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "result", "", "flashed") == 2; }))
        << station.Out() << station.Context();
    // Left attached through several probes: not taken again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Count(station.Events(), "device-arrived"), 2u) << station.Out();

    x.ports.Unplug("ttyA");
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "device-left", portA) == 1; }, 10))
        << station.Out();
    Scanner c(x.dir, "c");
    x.ports.Plug("ttyA", c);
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "result", portA, "flashed") == 2; }))
        << station.Out() << station.Context();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.Context();

    std::vector<Json> events = station.Events();
    EXPECT_EQ(Count(events, "device-arrived", portA), 2u);
    EXPECT_EQ(Count(events, "device-arrived", portB), 1u);
    EXPECT_GT(Count(events, "progress", portB), 0u);
    for (const Json& e : events) {
        EXPECT_TRUE(e["event"].is_string() && e.contains("port") && e["time"].is_string()) << e;
        if (e["event"] == "result") {
            EXPECT_EQ(e["command"], "flash") << e;
            EXPECT_EQ(e["flashed"], true) << e;
            EXPECT_EQ(e["exit_code"], 0) << e;
            EXPECT_EQ(e["fast"], false) << e;
            EXPECT_TRUE(e["phases"].is_array() && e["device_before"].is_object()) << e;
        }
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["flashed"], 3);
    EXPECT_EQ(events.back()["exit_code"], 0);
    for (Scanner* s : {&a, &b, &c})
        x.ExpectAreasOfTheFile(*s);

    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 3u);
    int onA = 0;
    for (const Json& row : rows) {
        ExpectFlashedRow(row, row["port"]);
        onA += row["port"] == portA;
    }
    EXPECT_EQ(onA, 2);
    EXPECT_EQ(x.Rows({"--port", portB}).size(), 1u);
}

// A device that already runs the file is recorded as current, one the file
// does not fit fails with its cause, and the station flashes the third.
TEST(StationOutcomes, CurrentSkippedIncompatibleFailedTheRestFlashed)
{
    Fixture x;
    Scanner current(x.dir, "current",
                    {"--app-version", testing_support::kRealTimeAppVersion, "--boot-version", "E2E-BOOT-2"});
    Scanner other(x.dir, "other", {"--compat", "0x42"});
    Scanner plain(x.dir, "plain");
    std::string portCurrent = x.ports.Plug("ttyCurrent", current);
    std::string portOther = x.ports.Plug("ttyOther", other);
    std::string portPlain = x.ports.Plug("ttyPlain", plain);
    Tool station(x.dir, x.Station({"--skip-current", "--once"}));
    EXPECT_EQ(station.Wait(), 1) << station.Out() << station.Context();
    std::vector<Json> results = station.Events("result");
    ASSERT_EQ(results.size(), 3u) << station.Out();
    EXPECT_NE(station.Err().find(portOther + ": "), std::string::npos) << station.Err();
    EXPECT_NE(station.Err().find(portOther + ": the device is untouched"), std::string::npos) << station.Err();
    x.ExpectAreasOfTheFile(plain);

    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 3u);
    for (const Json& row : rows) {
        if (row["port"] == portCurrent) {
            EXPECT_EQ(row["outcome"], "current") << row;
            EXPECT_EQ(row["app_after"], testing_support::kRealTimeAppVersion) << row;
            EXPECT_TRUE(row["result"].is_null()) << row;
        } else if (row["port"] == portOther) {
            EXPECT_EQ(row["outcome"], "failed") << row;
            EXPECT_EQ(row["result"], 4) << row;
            EXPECT_EQ(row["tries"], 1) << row << ": a device the file does not fit is not tried again";
            EXPECT_EQ(row["device_state"], "untouched") << row;
            EXPECT_TRUE(row["cause"].is_string() && !row["cause"].get<std::string>().empty()) << row;
        } else {
            ExpectFlashedRow(row, portPlain);
        }
    }
    // The export's filters and summary.
    EXPECT_EQ(x.Rows({"--outcome", "failed"}).size(), 1u);
    EXPECT_EQ(x.Rows({"--since", "2000-01-01"}).size(), 3u);
    EXPECT_EQ(x.Rows({"--since", "2999-01-01T00:00:00Z"}).size(), 0u);
    Tool summary(x.dir, {"ledger", x.ledger, "--summary", "--json"});
    ASSERT_EQ(summary.Wait(), 0) << summary.Context();
    std::vector<Json> s = summary.Events();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0]["rows"], 3);
    EXPECT_EQ(s[0]["outcomes"], Json({{"current", 1}, {"failed", 1}, {"flashed", 1}})) << s[0];
    Tool csv(x.dir, {"ledger", x.ledger, "--csv", "--outcome", "current"});
    ASSERT_EQ(csv.Wait(), 0) << csv.Context();
    std::string text = csv.Out();
    EXPECT_EQ(text.substr(0, text.find('\r')),
              "id,station,started_at,ended_at,port,device,report_before,report_after,file_name,file_sha1,"
              "app_before,app_after,boot_before,boot_after,outcome,result,cause,device_state,tries,seconds,"
              "tool_version,library_version");
    // The report texts span lines: quoted, and the row still one record.
    EXPECT_NE(text.find(",\"fmt: 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find(",current,,"), std::string::npos) << text;
}

// A flash that fails with the device left in its bootloader is tried again
// on the same device and succeeds; --record-failures keeps only the failed
// try's recording, --log keeps a log of each.
TEST(StationTries, FailsOnceThenSucceeds)
{
    Fixture x;
    Scanner flaky(x.dir, "flaky", {"--fault", "nak-frame=4", "--fault", "nak-count=12"});
    std::string port = x.ports.Plug("ttyFlaky", flaky);
    std::string logs = x.dir.File("logs"), records = x.dir.File("records");
    Tool station(x.dir, x.Station({"--once", "--log", logs, "--record", records, "--record-failures"}));
    EXPECT_EQ(station.Wait(), 0) << station.Out() << station.Context();
    x.ExpectAreasOfTheFile(flaky);
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "flashed") << rows[0];
    EXPECT_EQ(rows[0]["tries"], 2) << rows[0];
    EXPECT_EQ(rows[0]["device_state"], "flashed") << rows[0];
    std::vector<Json> results = station.Events("result");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]["tries"], 2);
    size_t logCount = 0, recordCount = 0;
    for (const auto& entry : std::filesystem::directory_iterator(logs))
        logCount += entry.path().extension() == ".log";
    for (const auto& entry : std::filesystem::directory_iterator(records)) {
        ++recordCount;
        EXPECT_EQ(entry.path().string().find("-try2"), std::string::npos) << entry.path();
    }
    EXPECT_EQ(logCount, 2u);
    EXPECT_EQ(recordCount, 1u);
}

// Ctrl-C while a device's bootloader is written: the flash is cancelled
// through the library, the row completed as cancelled, the summary printed,
// exit 2; the device answers afterwards.
TEST(StationCancel, CtrlCDuringAFlash)
{
    Fixture x;
    Scanner a(x.dir, "a");
    std::string port = x.ports.Plug("ttyA", a);
    Tool station(x.dir, x.Station());
    ASSERT_TRUE(station.Until([&](const auto& events) {
        for (const Json& e : events)
            if (e["event"] == "progress" && e["phase"] == "bootloader")
                return true;
        return false;
    })) << station.Out() << station.Context();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 2) << station.Context();
    std::string err = station.Err();
    EXPECT_NE(err.find("stopping: no new device is taken"), std::string::npos) << err;
    EXPECT_NE(err.find(port + ": the library first ends its current step (writing the bootloader image): at most "),
              std::string::npos)
        << err;
    std::vector<Json> events = station.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["cancelled"], 1);
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "cancelled") << rows[0];
    EXPECT_EQ(rows[0]["result"], 2) << rows[0];
    EXPECT_EQ(rows[0]["device_state"], "bootloader") << rows[0];
    EXPECT_TRUE(rows[0]["ended_at"].is_string()) << rows[0];

    // The device answers again; a restart the library began may still be
    // under way, so it is asked up to three times.
    int answered = -1;
    std::string context;
    for (int i = 0; i < 3 && answered != 0; ++i) {
        Tool device(x.dir, {"device", "--port", port});
        answered = device.Wait();
        context += device.Context();
    }
    EXPECT_EQ(answered, 0) << context << a.Trace();
}

// The open row of a station killed with SIGKILL is marked interrupted by
// the next station on the ledger, while the open row of a station that
// still runs is left alone; the ledger is a WAL database.
TEST(StationLedger, KilledStationsRowsAreInterruptedAtTheNextStart)
{
    Fixture x;
    Scanner a(x.dir, "a");
    std::string port = x.ports.Plug("ttyA", a);
    auto flashing = [](const std::vector<Json>& events) { return Count(events, "progress") > 0; };
    Tool first(x.dir, x.Station());
    ASSERT_TRUE(first.Until(flashing)) << first.Out() << first.Context();

    // A second station on the same ledger (watching nothing) meanwhile.
    std::vector<std::string> idle = {"station", x.file, "--port", x.dir.File("none/tty*"), "--once", "--ledger",
                                     x.ledger};
    Tool second(x.dir, idle);
    EXPECT_EQ(second.Wait(), 0) << second.Context();
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0]["outcome"].is_null()) << rows[0] << ": a running station's row was closed";
    EXPECT_TRUE(rows[0]["ended_at"].is_null()) << rows[0];

    first.Signal(SIGKILL);
    EXPECT_EQ(first.Wait(), 1000 + SIGKILL);
    Tool third(x.dir, idle);
    EXPECT_EQ(third.Wait(), 0) << third.Context();
    EXPECT_NE(third.Err().find("marked interrupted"), std::string::npos) << third.Err();
    rows = x.Rows({"--outcome", "interrupted"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["port"], port);
    EXPECT_TRUE(rows[0]["cause"].is_string()) << rows[0];
    // No lock file of a station is left once they all ended.
    for (const auto& entry : std::filesystem::directory_iterator(x.dir.Path()))
        EXPECT_EQ(entry.path().string().find(".lock"), std::string::npos) << entry.path();

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(x.ledger.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* mode = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &mode, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(mode), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal");
    sqlite3_finalize(mode);
    sqlite3_close(db);
}

// A HID device on a node that umockdev emulates, found by libudev's
// monitor: flashed once, its re-enumerations into the bootloader and back
// part of that flash; pulled, it has left.
TEST(StationUsb, PluggedDeviceFlashedOnceThroughItsRestarts)
{
    Fixture x;
    std::string dumps = x.dir.File("dump-usb");
    mkdir(dumps.c_str(), 0755);
    // The simulator serves the testbed under umockdev's preload library,
    // behind the sanitizer's runtime in the sanitizer build.
    setenv("LD_PRELOAD", TAMBRIX_USB_PRELOAD, 1);
    auto sim = std::make_unique<SimProcess>(
        TAMBRIX_SIM_PROGRAM,
        std::vector<std::string>{"--usb", "--timing", "restart=200", "--timing", "erase=50", "--timing",
                                 "newap2-delay=20", "--dump-dir", dumps},
        x.dir.File("sim-usb.txt"));
    std::string node = sim->Line(), testbed = sim->Line();
    unsetenv("LD_PRELOAD");
    if (node.rfind("/dev/hidraw", 0) != 0)
        GTEST_SKIP() << "no umockdev testbed: " << Tail(ReadFile(x.dir.File("sim-usb.txt")));
    Tool station(x.dir,
                 {"station", x.file, "--usb", "--usb-id", "f0f0:0a01", "--json", "--ledger", x.ledger,
                  "--probe-every", "0.3"},
                 {"UMOCKDEV_DIR=" + testbed, std::string("LD_PRELOAD=") + TAMBRIX_USB_PRELOAD});
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "result", node, "flashed") == 1; }, 180))
        << station.Out() << station.Context() << Tail(ReadFile(x.dir.File("sim-usb.txt")));
    // Back in its application after the flash: the same device, not a new one.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Count(station.Events(), "device-arrived"), 1u) << station.Out();
    EXPECT_EQ(sim->Stop(), 0);
    EXPECT_TRUE(ReadFile(dumps + "/scanner-app.bin") == AsString(x.f.app));
    EXPECT_TRUE(ReadFile(dumps + "/scanner-boot.bin") == AsString(x.f.BootArea()));
    EXPECT_TRUE(station.Until([&](const auto& e) { return Count(e, "device-left", node) == 1; }, 20))
        << station.Out() << station.Context();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.Context();
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["port"], node);
    EXPECT_EQ(rows[0]["outcome"], "flashed") << rows[0];
}

// Plain lines when the output is no terminal: a current device, which then
// stops answering and after two silent probes has left the port.
TEST(StationPlain, CurrentDeviceThatStopsAnsweringHasLeft)
{
    Fixture x;
    Scanner current(x.dir, "current",
                    {"--app-version", testing_support::kRealTimeAppVersion, "--boot-version", "E2E-BOOT-2",
                     "--fault", "silent-from=1500"});
    std::string port = x.ports.Plug("ttyA", current);
    std::vector<std::string> args = x.Station({"--skip-current", "--settings", x.ShortWaits()});
    args.erase(std::find(args.begin(), args.end(), "--json"));
    Tool station(x.dir, args);
    auto shows = [&](const std::string& text) {
        for (int i = 0; i < 600; ++i) {
            if (station.Out().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    };
    EXPECT_TRUE(shows(port + ": device arrived: application " + std::string(testing_support::kRealTimeAppVersion) +
                      ", bootloader E2E-BOOT-2 (running its application)\n"))
        << station.Out() << station.Context();
    EXPECT_TRUE(shows(port + ": current: it runs the file's versions; not flashed\n")) << station.Out();
    EXPECT_TRUE(shows(port + ": device left (it stopped answering)\n")) << station.Out() << station.Context();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.Context();
    std::string out = station.Out();
    EXPECT_NE(out.find("station: 0 flashed, 1 current, 0 failed, 0 cancelled in "), std::string::npos) << out;
    EXPECT_EQ(out.find("device arrived"), out.rfind("device arrived")) << out;
    EXPECT_EQ(out.find('{'), std::string::npos) << out;
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0]["outcome"], "current") << rows[0];
}

// Sixteen scanners at once: each flashed, each area the file's.
TEST(StationMany, SixteenDevicesAtOnce)
{
    Fixture x;
    std::vector<std::unique_ptr<Scanner>> scanners;
    for (int i = 0; i < 16; ++i) {
        scanners.push_back(std::make_unique<Scanner>(x.dir, "s" + std::to_string(i)));
        x.ports.Plug("tty" + std::to_string(i), *scanners.back());
    }
    Tool station(x.dir, x.Station({"--once", "--max-parallel", "16"}));
    EXPECT_EQ(station.Wait(), 0) << station.Out() << station.Context();
    EXPECT_EQ(Count(station.Events(), "result", "", "flashed"), 16u) << station.Out();
    for (auto& s : scanners)
        x.ExpectAreasOfTheFile(*s);
    std::vector<Json> rows = x.Rows({"--outcome", "flashed"});
    EXPECT_EQ(rows.size(), 16u);
}

// A cradle stays on its port while operators swap the scanner paired with
// it: the scanner with another address is another device and is flashed in
// its turn, while the link's drops during a flash (the cradle then names no
// scanner) leave the device as it was.
TEST(StationCradle, AnotherScannerPairedIsAnotherDevice)
{
    Fixture x;
    Scanner cradle(x.dir, "cradle",
                   {"--cradle", "--timing", "link=300", "--timing", "connect=300", "--timing", "bt-latency=2"});
    std::string port = x.ports.Plug("ttyCradle", cradle);
    // --fast only shortens the library's own waits for the radio link.
    Tool station(x.dir, x.Station({"--fast"}));
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "result", port, "flashed") == 1; }, 180))
        << station.Out() << station.Context() << cradle.Trace();
    // Back with its link after the flash, through several probes: the same device.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_EQ(Count(station.Events(), "device-arrived"), 1u) << station.Out();

    cradle.Signal(SIGUSR1);
    ASSERT_TRUE(station.Until([&](const auto& e) { return Count(e, "result", port, "flashed") == 2; }, 180))
        << station.Out() << station.Context() << cradle.Trace();
    station.Signal(SIGINT);
    EXPECT_EQ(station.Wait(), 0) << station.Context();
    std::vector<Json> events = station.Events();
    EXPECT_EQ(Count(events, "device-arrived", port), 2u);
    std::vector<Json> left = station.Events("device-left");
    ASSERT_EQ(left.size(), 1u) << station.Out();
    EXPECT_EQ(left[0]["why"], "another device answers");

    // The first scanner, taken away, and the one paired in its place both
    // hold the file; the cradle's own areas were not touched.
    ASSERT_EQ(cradle.Stop(), 0);
    for (int taken : {1, 0}) {
        EXPECT_TRUE(cradle.App(taken) == AsString(x.f.app)) << "scanner " << taken << "\n" << cradle.Trace();
        EXPECT_TRUE(cradle.Boot(taken) == AsString(x.f.BootArea())) << "scanner " << taken << "\n" << cradle.Trace();
    }
    std::vector<Json> rows = x.Rows();
    ASSERT_EQ(rows.size(), 2u);
    for (const Json& row : rows) {
        EXPECT_EQ(row["port"], port) << row;
        EXPECT_EQ(row["outcome"], "flashed") << row;
        EXPECT_EQ(row["app_before"], "SIM-APP-1") << row << ": each scanner came with its own application";
        EXPECT_NE(row["device"].get<std::string>().find("dev-1-addr="), std::string::npos) << row;
    }
    EXPECT_NE(rows[0]["device"], rows[1]["device"]);
}

// --fast: every flash of the station runs the library's fast profile, and
// each result says whether it fell back to the full pauses (a device that
// loses what comes while it writes).
TEST(StationFast, EveryFlashOnTheFastProfile)
{
    Fixture x;
    Scanner keepsUp(x.dir, "keeps-up");
    Scanner slow(x.dir, "slow", {"--fault", "busy=lose", "--timing", "write=15"});
    std::string portKeepsUp = x.ports.Plug("ttyKeepsUp", keepsUp);
    std::string portSlow = x.ports.Plug("ttySlow", slow);
    // Only to keep the run short: the pause before the readiness check.
    std::string settings = x.dir.Write("pause.txt", "PELLARO_Readiness_Pause_mSecs: 1000\n");
    Tool station(x.dir, x.Station({"--fast", "--once", "--settings", settings}));
    EXPECT_EQ(station.Wait(), 0) << station.Out() << station.Context();
    std::vector<Json> results = station.Events("result");
    ASSERT_EQ(results.size(), 2u) << station.Out();
    for (const Json& r : results) {
        EXPECT_EQ(r["outcome"], "flashed") << r;
        EXPECT_EQ(r["result"], 0) << r;
        EXPECT_EQ(r["fast"], true) << r;
        EXPECT_EQ(r["fast_fallback"], r["port"] == portSlow) << r;
    }
    x.ExpectAreasOfTheFile(keepsUp);
    x.ExpectAreasOfTheFile(slow);
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;   // "@FILE" the firmware file, "@DB" a ledger that is not there
    int exitCode;
    const char* says;
};

const UsageCase kUsage[] = {
    {"NoPort", {"station", "@FILE"}, 64, "--port is required"},
    {"UsbWithoutId", {"station", "@FILE", "--usb"}, 64, "--usb needs --usb-id"},
    {"RecordFailuresWithoutRecord", {"station", "@FILE", "--port", "/dev/x*", "--record-failures"}, 64, "--record"},
    {"ZeroTries", {"station", "@FILE", "--port", "/dev/x*", "--tries", "0"}, 64, "--tries"},
    {"MissingFile", {"station", "/nonexistent.mocf", "--port", "/dev/x*"}, 66, "no such file"},
    {"LedgerNotThere", {"ledger", "@DB"}, 66, "no such file"},
    {"LedgerBadSince", {"ledger", "@DB", "--since", "yesterday"}, 64, "--since"},
    {"LedgerBadOutcome", {"ledger", "@DB", "--outcome", "fine"}, 64, "--outcome"},
    {"LedgerCsvAndJson", {"ledger", "@DB", "--csv", "--json"}, 64, "excludes"},
};

class StationUsage : public ::testing::TestWithParam<UsageCase> {};

TEST_P(StationUsage, OneLineAndTheExitCode)
{
    const UsageCase& c = GetParam();
    Fixture x;
    std::vector<std::string> args;
    for (const std::string& arg : c.args)
        args.push_back(arg == "@FILE" ? x.file : arg == "@DB" ? x.dir.File("none.db") : arg);
    Tool tool(x.dir, args);
    EXPECT_EQ(tool.Wait(), c.exitCode) << tool.Context();
    std::string err = tool.Err();
    EXPECT_NE(err.find(c.says), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

// A settings file the library refuses ends the station before any device
// is probed, with the library's own lines.
TEST(StationSettings, RefusedSettingsEndTheStationFirst)
{
    Fixture x;
    std::string settings = x.dir.Write("bad.txt", "BOGUS_name: 3\n");
    Tool tool(x.dir, {"station", x.file, "--port", x.ports.Pattern(), "--settings", settings});
    EXPECT_EQ(tool.Wait(), 64) << tool.Context();
    std::string err = tool.Err();
    EXPECT_NE(err.find("the settings file " + settings + " has errors"), std::string::npos) << err;
    EXPECT_NE(err.find("bad.txt:1: ERROR: Setting 'BOGUS_name' not found"), std::string::npos) << err;
}

INSTANTIATE_TEST_SUITE_P(Cases, StationUsage, ::testing::ValuesIn(kUsage),
                         [](const ::testing::TestParamInfo<UsageCase>& info) { return std::string(info.param.name); });

} // namespace
