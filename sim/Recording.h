// A recording of a host's exchange with a device, as the library writes it
// (docs/recording.md): the first line's settings and every event after it.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

namespace sim {

struct RecordedEvent {
    uint64_t number = 0;       // "n": counted from 1 in the file
    uint64_t t = 0;            // ms since the recording began, when the call began
    uint64_t ms = 0;           // read: how long it (the first of a run) took
    std::string kind;          // setup, search, open, close, purge, write, read, begin, end
    int64_t result = 0;
    std::vector<uint8_t> bytes;   // write: the bytes the transport took; read: the bytes returned
    std::vector<uint8_t> offered; // write that failed or took less: all the bytes the host handed over
    uint64_t asked = 0;        // read: count asked
    uint64_t timeoutMs = 0;    // read
    uint64_t reads = 1;        // read: how many reads in a row the event stands for
    uint64_t purges = 0;       // purges just before this event (besides a purge event itself)
    uint64_t drains = 0;       // empty reads that drained the line after them
    std::string port;          // setup: the port name
    std::vector<uint8_t> serialRecord;   // setup: the host's WIN32_232_SETTINGS, when recorded
    int32_t vid = -1, pid = -1, mi = -1;   // search: the ids looked for
    std::string path;          // search: the path asked for, or the device found
    std::string operation;     // begin, end
    std::string file;          // begin: the firmware file's name
    int64_t fileSize = -1;     // begin: its size, -1 when not recorded
    std::vector<uint8_t> fileSha1;   // begin: its SHA-1, when recorded
    size_t hostSettings = 0;   // settings: index into Recording::changes
};

// How the host had set the tool up: the first line's fields, and those of
// every "settings" event after it.
struct HostSettings {
    std::string library;             // the recording library's version text
    std::string interface;           // rs232, usb_hid, rs232_nowake
    uint64_t interfaceType = 0;
    std::string port;
    std::vector<uint8_t> serialRecord;   // the host's WIN32_232_SETTINGS, 56 bytes
    std::vector<std::string> initStringSerial;
    std::vector<std::string> initStringUsb;
    std::vector<std::pair<std::string, uint64_t>> settings;   // settings-file names and values
    bool assist = false;

    bool operator==(const HostSettings&) const = default;
};

// The newest format this reader knows; a newer file is refused.
constexpr int kRecordingFormatVersion = 2;

struct Recording : HostSettings {
    int formatVersion = 0;
    std::vector<RecordedEvent> events;
    std::vector<HostSettings> changes;   // the settings events' settings, in order
    bool cutShort = false;           // the last line was cut off and left out

    // The operations in order ("flash", "version") with their recorded
    // results (-1 for one the recording ends in).
    std::vector<std::pair<std::string, int64_t>> Operations() const;
    // The last operation's recorded result, or -1.
    int64_t Result() const;
    // The settings each operation ran with, in the order of Operations().
    std::vector<const HostSettings*> OperationSettings() const;
};

// False with a reason (and the line number) for a file that is not a
// recording or has a damaged line.
bool ParseRecording(std::istream& in, Recording& out, std::string* error);
bool LoadRecording(const std::string& path, Recording& out, std::string* error);

} // namespace sim
