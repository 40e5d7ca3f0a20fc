#include "Board.h"

#include "Ledger.h"

#include "../ProgressView.h"

#include <algorithm>

namespace flasher {

namespace {

constexpr int kBarWidth = 24;

std::string BarText(const FlashJob& job)
{
    std::vector<PhaseProgress> phases = job.Progress().Phases();
    std::string wait = WaitText(job, phases);
    if (job.Cancelled())
        wait = "cancelling";
    if (phases.empty())
        return wait + " ...";
    const PhaseProgress& p = phases.back();
    int filled = p.size ? static_cast<int>(std::min(p.done, p.size) * kBarWidth / p.size) : 0;
    int percent = p.size ? static_cast<int>(std::min(p.done, p.size) * 100 / p.size) : 0;
    std::string text = "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " +
                       std::to_string(percent) + "% " + PhaseName(p.phase);
    return wait.empty() ? text : text + ": " + wait;
}

} // namespace

std::string RunningTime(double seconds)
{
    long s = static_cast<long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

double Board::Seconds() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Board::SetState(const std::string& port, const std::string& state, const std::string& detail)
{
    std::lock_guard<std::mutex> lock(mutex_);
    PortLine& line = ports_[port];
    line.state = state;
    line.detail = detail;
}

void Board::SetJob(const std::string& port, const FlashJob* job)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ports_[port].job = job;
}

void Board::RemovePort(const std::string& port)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ports_.erase(port);
}

void Board::Count(const std::string& outcome)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (outcome == "flashed")
        ++totals_.flashed;
    else if (outcome == "current")
        ++totals_.current;
    else if (outcome == "cancelled")
        ++totals_.cancelled;
    else
        ++totals_.failed;
}

Totals Board::Counts() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return totals_;
}

void Board::Line(const std::string& text)
{
    if (mode_ != BoardMode::Lines)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

void Board::Event(nlohmann::json event)
{
    if (mode_ != BoardMode::Json)
        return;
    event["time"] = UtcNow();
    std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::lock_guard<std::mutex> lock(mutex_);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void Board::Error(const std::string& text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Erase();
    std::fprintf(stderr, "tambrix-flash: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string Board::TotalsLine() const
{
    double seconds = Seconds();
    int devices = totals_.Devices();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", seconds > 0 ? devices * 3600 / seconds : 0.0);
    return "flashed " + std::to_string(totals_.flashed) + "  current " + std::to_string(totals_.current) +
           "  failed " + std::to_string(totals_.failed) + "  cancelled " + std::to_string(totals_.cancelled) + "  " +
           rate + " devices/h  running " + RunningTime(seconds);
}

std::string Board::Render() const
{
    size_t width = 4;
    for (const auto& [port, line] : ports_)
        width = std::max(width, port.size());
    std::string text;
    for (const auto& [port, line] : ports_) {
        std::string detail = line.job && line.state == "flashing" ? BarText(*line.job) : line.detail;
        std::string row = port + std::string(width - port.size() + 2, ' ') + line.state;
        if (!detail.empty())
            row += std::string(line.state.size() < 10 ? 10 - line.state.size() : 1, ' ') + detail;
        text += row + "\x1b[K\n";
    }
    return text + TotalsLine() + "\x1b[K\n";
}

// Moves the cursor back over the board, so that the next text replaces it.
void Board::Erase()
{
    if (mode_ != BoardMode::Board || drawnLines_ == 0)
        return;
    std::printf("\x1b[%zuA\r\x1b[J", drawnLines_);
    drawnLines_ = 0;
}

void Board::Draw()
{
    if (mode_ != BoardMode::Board)
        return;
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = Render();
    if (text == lastText_ && drawnLines_ > 0)
        return;
    lastText_ = text;
    Erase();
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    drawnLines_ = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

void Board::Finish()
{
    Draw();
    std::lock_guard<std::mutex> lock(mutex_);
    drawnLines_ = 0;
}

} // namespace flasher
