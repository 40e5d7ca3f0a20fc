// A recording from the field, read and played against a host: the input is
// the recording's text, a NUL, a byte that sets how the host's bytes are cut
// into writes, and the host's bytes. Whatever the file holds, the reader
// refuses it or the replay plays it, within its bounds, answering the
// transport's calls (set-ups, opens, reads, writes) as recorded.
#include "sim/Recording.h"
#include "sim/Replay.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    size_t textLength = nul ? static_cast<size_t>(nul - data) : size;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), textLength));
    auto recording = std::make_shared<sim::Recording>();
    std::string error;
    if (!sim::ParseRecording(in, *recording, &error))
        return 0;
    recording->Operations();
    recording->Result();

    const uint8_t* host = nul ? nul + 1 : data + size;
    size_t hostLength = static_cast<size_t>(data + size - host);
    size_t chunk = 1;
    if (hostLength > 0) {
        chunk = 1 + host[0] % 64;
        ++host;
        --hostLength;
    }
    sim::Replay replay(recording, chunk % 2 == 0);
    uint64_t sent = 0;
    replay.send = [&sent](uint64_t delayMs, const std::vector<uint8_t>& bytes) { sent += delayMs + bytes.size(); };
    replay.rename = [&sent](uint64_t delayMs, const std::string& port) { sent += delayMs + port.size(); };
    replay.Start();
    for (size_t at = 0; at < hostLength && !replay.Stopped(); at += chunk) {
        size_t length = std::min(chunk, hostLength - at);
        // Each write's first byte also picks a transport call the replay
        // answers as recorded, as the in-process transport asks them.
        uint64_t ms = 0;
        switch (host[at] % 8) {
        case 0: sent += replay.SetupResult().value_or(0) != 0; break;
        case 1: sent += replay.OpenResult().value_or(0) != 0; break;
        case 2: sent += replay.GoneRead(&ms).value_or(0) != 0; break;
        case 3: sent += replay.EmptyRead(&ms).value_or(0) != 0; break;
        default: break;
        }
        sent += ms;
        if (std::optional<int32_t> taken = replay.WriteResult(host + at, length, &ms)) {
            if (*taken > 0)
                replay.Receive(host + at, std::min(length, static_cast<size_t>(*taken)));
        } else {
            replay.Receive(host + at, length);
        }
        replay.NextPort();
    }
    std::string report = replay.Report();
    return report.empty() && sent == 0 ? 0 : 0;
}
