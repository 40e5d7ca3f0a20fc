// A recording played against the library in process, on the virtual clock:
// the tool set up as the recorded host set it, the recorded operations run
// again with a firmware file, and the replaying device's verdict. One call turns a
// recording into a flow test.
#pragma once

#include "sim/Recording.h"
#include "sim/Replay.h"

#include <cstdint>
#include <functional>
#include <string>

namespace testing_support {

struct ReplayOutcome {
    bool loaded = false;
    std::string loadError;
    int64_t recordedResult = -1;   // the recording's own result (its last operation's)
    uint32_t result = 0;           // the last result of the run against the replay
    sim::Replay::State state = sim::Replay::State::Playing;
    std::string report;            // the replay's account
    size_t repeated = 0;           // waiting writes the host sent more often than recorded
    size_t skipped = 0;            // recorded waiting writes the host did not send
};

// alter, when given, changes the replaying host's set-up after the recorded one.
ReplayOutcome ReplayRecording(const std::string& recordingPath, const std::wstring& firmwareFile, bool fast = false,
                              const std::function<void(class SimTool&)>& alter = {});

// Records an operation of `tool` into `recordingPath` (CFS_PELLARO_RECORD_FILE):
// true when the setting was taken.
bool StartRecording(class SimTool& tool, const std::string& recordingPath);

} // namespace testing_support
