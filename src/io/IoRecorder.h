// The recording of a device's exchange: every open, write, read, purge and
// close of the device layer, each USB search and serial set-up, one JSON
// line per event (docs/recording.md), for the simulator to replay. The
// recorder stands in front of the installed transport's slots, so every
// transport on every platform is recorded by this one file; without a
// recorder nothing is put in front and nothing costs anything.
#pragma once

#include "io/FlashIoDevice.h"
#include "io/UsbIdentity.h"

#include <tambrix01/FlashTool.h>

#include <cstdint>
#include <string>

struct IoRecorder;

// One JSON object on one line, built field by field; texts are escaped,
// byte strings written as hex.
class JsonLine {
public:
    JsonLine& Number(const char* key, int64_t value);
    JsonLine& Text(const char* key, const std::string& utf8);
    JsonLine& Text(const char* key, const wchar_t* text);   // null writes null
    JsonLine& Hex(const char* key, const uint8_t* data, uint64_t length);
    // A value that is already JSON (an object or array).
    JsonLine& Raw(const char* key, const std::string& json);
    // The object with its closing brace (no line feed).
    std::string Close() const { return text_ + "}"; }

private:
    void Key(const char* key);
    std::string text_ = "{";
};

// Told once, with a UTF-8 text, when the file cannot be written; the
// recording ends there and the operation goes on.
using IoRecorderReport = void (*)(void* context, const char* text);

// Creates (or empties) the file: null when it cannot be written.
IoRecorder* IoRecorderCreate(const wchar_t* fileName, IoRecorderReport report = nullptr, void* context = nullptr);
// A name ending in ".gz" asks for a compressed recording, which a build
// with zlib writes (one without writes it plain).
bool IoRecorderNameCompressed(const wchar_t* fileName);
bool IoRecorderCompresses();
// Puts the transport's own slots back and closes the file.
void IoRecorderDestroy(IoRecorder* recorder, FlashIoDevice* io);
// Starts recording io's exchanges; a transport installed now is recorded.
void IoRecorderAttach(IoRecorder* recorder, FlashIoDevice* io);

// The first line (written before the first event) holds `header`'s fields
// after the format's own.
void IoRecordBegin(IoRecorder* recorder, const JsonLine& header, const char* operation, const wchar_t* fileName);
void IoRecordEnd(IoRecorder* recorder, const char* operation, uint32_t result);

// After a set-up of the engine's: notes what it set up and its result, and
// records the fresh transport from here on. No-ops without a recorder.
void IoRecordSerialSetup(FlashIoDevice* io, const wchar_t* portName, const WIN32_232_SETTINGS* settings,
                         int32_t result);
void IoRecordUsbSetup(FlashIoDevice* io, const UsbIdentity& wanted, int32_t result);

// The serial settings as the recording's JSON object.
std::string SerialSettingsJson(const WIN32_232_SETTINGS& settings);
