#include "sim/Recording.h"

#include "tambrix01/FlashTool.h"

#include <nlohmann/json.hpp>

#ifdef TAMBRIX_HAVE_ZLIB
#include <zlib.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace sim {

namespace {

using nlohmann::json;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<uint8_t> FromHex(const std::string& text)
{
    if (text.size() % 2)
        throw std::runtime_error("odd number of hex digits");
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            throw std::runtime_error("not a hex digit");
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return bytes;
}

// A refusal that names the field; the caller adds the line.
[[noreturn]] void Refuse(const std::string& field, const std::string& why)
{
    throw std::runtime_error("field \"" + field + "\": " + why);
}

std::string TextOr(const json& object, const char* key, const std::string& path = {})
{
    auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::string();
    if (!it->is_string())
        Refuse(path + key, "not a text");
    return it->get<std::string>();
}

// A whole number within [low, high], taken without a conversion that could
// wrap or overflow: a float only when it is a whole number in range.
int64_t Whole(const json& value, const std::string& field, int64_t low, uint64_t high)
{
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        if (low > 0 && v < static_cast<uint64_t>(low))
            Refuse(field, std::to_string(v) + " is below " + std::to_string(low));
        if (v > high)
            Refuse(field, std::to_string(v) + " is above " + std::to_string(high));
        return static_cast<int64_t>(v);
    }
    if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        if (v < low)
            Refuse(field, std::to_string(v) + " is below " + std::to_string(low));
        if (v >= 0 && static_cast<uint64_t>(v) > high)
            Refuse(field, std::to_string(v) + " is above " + std::to_string(high));
        return v;
    }
    if (value.is_number_float()) {
        double v = value.get<double>();
        // Compared as doubles first: out of range, the cast would be undefined.
        if (!(v >= static_cast<double>(low) && v <= static_cast<double>(high)) || v != static_cast<double>(static_cast<int64_t>(v)))
            Refuse(field, value.dump() + " is not a whole number from " + std::to_string(low) + " to " +
                              std::to_string(high));
        return static_cast<int64_t>(v);
    }
    Refuse(field, "not a number");
}

int64_t NumberOr(const json& object, const char* key, int64_t fallback, int64_t low, uint64_t high,
                 const std::string& path = {})
{
    auto it = object.find(key);
    if (it == object.end())
        return fallback;
    return Whole(*it, path + key, low, high);
}

constexpr uint64_t kU32 = 0xFFFFFFFFu;
constexpr int64_t kI32Min = -0x7FFFFFFF - 1;
constexpr uint64_t kI32Max = 0x7FFFFFFF;
constexpr size_t kSerialRecordSize = 56;   // WIN32_232_SETTINGS

std::vector<uint8_t> HexField(const json& object, const char* key, const std::string& path = {})
{
    try {
        return FromHex(TextOr(object, key, path));
    } catch (const std::runtime_error& e) {
        if (std::string(e.what()).rfind("field ", 0) == 0)
            throw;
        Refuse(path + key, e.what());
    }
}

void ParseSettings(const json& h, HostSettings& out)
{
    out.library = TextOr(h, "library");
    out.interface = TextOr(h, "interface");
    out.interfaceType = static_cast<uint64_t>(NumberOr(h, "interfaceType", 0, 0, 2));
    out.port = TextOr(h, "port");
    if (auto serial = h.find("serial"); serial != h.end() && !serial->is_null()) {
        if (!serial->is_object())
            Refuse("serial", "not an object");
        out.serialRecord = HexField(*serial, "record", "serial.");
        if (out.serialRecord.size() != kSerialRecordSize)
            Refuse("serial.record", std::to_string(out.serialRecord.size()) + " bytes, a serial record has " +
                                        std::to_string(kSerialRecordSize));
    }
    for (const char* key : {"initStringSerial", "initStringUsb"}) {
        auto& list = key[10] == 'S' ? out.initStringSerial : out.initStringUsb;
        auto it = h.find(key);
        if (it == h.end() || it->is_null())
            continue;
        if (!it->is_array())
            Refuse(key, "not a list");
        for (const json& s : *it) {
            if (!s.is_string())
                Refuse(key, "an entry that is not a text");
            list.push_back(s.get<std::string>());
        }
    }
    if (auto it = h.find("settings"); it != h.end() && !it->is_null()) {
        if (!it->is_object())
            Refuse("settings", "not an object");
        // -1 is the protocol settings file's "by the cable" value of a pause.
        for (auto& [name, value] : it->items()) {
            int64_t v = Whole(value, "settings." + name, -1, kU32);
            out.settings.emplace_back(name, v < 0 ? CFS_PACE_BY_CABLE : static_cast<uint64_t>(v));
        }
    }
    if (auto it = h.find("assist"); it != h.end()) {
        if (!it->is_boolean())
            Refuse("assist", "not true or false");
        out.assist = it->get<bool>();
    }
}

void ParseHeader(const json& h, Recording& out)
{
    if (!h.is_object() || TextOr(h, "format") != "tambrix01-recording")
        throw std::runtime_error("not a TAMBRIX01 recording (no \"format\" on the first line)");
    auto version = h.find("formatVersion");
    if (version == h.end())
        Refuse("formatVersion", "missing");
    int64_t number = Whole(*version, "formatVersion", 1, kU32);
    if (number > kRecordingFormatVersion)
        Refuse("formatVersion", "version " + std::to_string(number) +
                                    " was written by a newer library; this replay reads versions up to " +
                                    std::to_string(kRecordingFormatVersion));
    out.formatVersion = static_cast<int>(number);
    ParseSettings(h, out);
}

const char* const kKinds[] = {"setup", "search", "open", "close", "purge", "write", "read", "begin", "end", "settings"};

RecordedEvent ParseEvent(const json& e, const RecordedEvent* previous, Recording& out)
{
    if (!e.is_object())
        throw std::runtime_error("an event that is not an object");
    RecordedEvent event;
    event.kind = TextOr(e, "ev");
    if (event.kind.empty())
        throw std::runtime_error("an event without \"ev\"");
    if (std::find(std::begin(kKinds), std::end(kKinds), event.kind) == std::end(kKinds))
        Refuse("ev", "unknown event \"" + event.kind + "\"");
    if (e.find("n") == e.end())
        Refuse("n", "missing");
    event.number = static_cast<uint64_t>(NumberOr(e, "n", 0, 1, kU32 * 1024));
    uint64_t expectedNumber = previous ? previous->number + 1 : 1;
    if (event.number != expectedNumber)
        Refuse("n", std::to_string(event.number) + " where " + std::to_string(expectedNumber) + " comes next");
    // The recorder's clock is a 32-bit millisecond tick.
    event.t = static_cast<uint64_t>(NumberOr(e, "t", 0, 0, kU32));
    if (previous && event.t < previous->t)
        Refuse("t", std::to_string(event.t) + " is before the previous event's " + std::to_string(previous->t));
    event.result = NumberOr(e, "result", 0, kI32Min, kI32Max);
    event.bytes = HexField(e, "hex");
    event.asked = static_cast<uint64_t>(NumberOr(e, "ask", 0, 0, kU32));
    event.timeoutMs = static_cast<uint64_t>(NumberOr(e, "timeout", 0, 0, kU32));
    event.ms = static_cast<uint64_t>(NumberOr(e, "ms", 0, 0, kU32));
    event.reads = static_cast<uint64_t>(NumberOr(e, "reads", 1, 1, kU32));
    event.purges = static_cast<uint64_t>(NumberOr(e, "purges", 0, 0, kU32));
    event.drains = static_cast<uint64_t>(NumberOr(e, "drains", 0, 0, kU32));
    event.port = TextOr(e, "port");
    if (auto serial = e.find("serial"); serial != e.end() && !serial->is_null()) {
        if (!serial->is_object())
            Refuse("serial", "not an object");
        event.serialRecord = HexField(*serial, "record", "serial.");
        if (event.serialRecord.size() != kSerialRecordSize)
            Refuse("serial.record", std::to_string(event.serialRecord.size()) + " bytes, a serial record has " +
                                        std::to_string(kSerialRecordSize));
    }
    event.vid = static_cast<int32_t>(NumberOr(e, "vid", -1, -1, 0xFFFF));
    event.pid = static_cast<int32_t>(NumberOr(e, "pid", -1, -1, 0xFFFF));
    event.mi = static_cast<int32_t>(NumberOr(e, "mi", -1, -1, 0xFF));
    event.path = TextOr(e, "found");
    if (event.path.empty())
        event.path = TextOr(e, "path");
    event.operation = TextOr(e, "operation");
    event.file = TextOr(e, "file");
    event.fileSize = NumberOr(e, "size", -1, 0, uint64_t{1} << 40);
    event.fileSha1 = HexField(e, "sha1");
    if (!event.fileSha1.empty() && event.fileSha1.size() != 20)
        Refuse("sha1", std::to_string(event.fileSha1.size()) + " bytes, a SHA-1 has 20");
    if (event.kind == "settings") {
        HostSettings settings = out;
        if (auto host = e.find("host"); host != e.end()) {
            if (!host->is_object())
                Refuse("host", "not an object");
            settings = HostSettings{};
            ParseSettings(*host, settings);
        }
        event.hostSettings = out.changes.size();
        out.changes.push_back(std::move(settings));
    }
    if (event.kind == "read") {
        if (event.result > 0 && static_cast<uint64_t>(event.result) > event.asked)
            Refuse("result", std::to_string(event.result) + " bytes read of " + std::to_string(event.asked) +
                                 " asked");
        if (event.bytes.size() > event.asked * event.reads)
            Refuse("hex", std::to_string(event.bytes.size()) + " bytes where at most " +
                              std::to_string(event.asked * event.reads) + " were asked");
    }
    // A write's bytes past what the transport took never reached the device.
    if (event.kind == "write") {
        if (event.result > 0 && static_cast<uint64_t>(event.result) > event.bytes.size())
            Refuse("result", std::to_string(event.result) + " bytes taken of " +
                                 std::to_string(event.bytes.size()) + " written");
        size_t taken = event.result > 0 ? static_cast<size_t>(event.result) : 0;
        if (taken < event.bytes.size())
            event.offered = event.bytes;
        event.bytes.resize(taken);
    }
    return event;
}

} // namespace

std::vector<std::pair<std::string, int64_t>> Recording::Operations() const
{
    std::vector<std::pair<std::string, int64_t>> operations;
    for (const RecordedEvent& event : events) {
        if (event.kind == "begin")
            operations.emplace_back(event.operation, -1);
        else if (event.kind == "end" && !operations.empty())
            operations.back().second = event.result;
    }
    return operations;
}

std::vector<const HostSettings*> Recording::OperationSettings() const
{
    std::vector<const HostSettings*> settings;
    const HostSettings* current = this;
    for (const RecordedEvent& event : events) {
        if (event.kind == "settings")
            current = &changes[event.hostSettings];
        else if (event.kind == "begin")
            settings.push_back(current);
    }
    return settings;
}

int64_t Recording::Result() const
{
    auto operations = Operations();
    return operations.empty() ? -1 : operations.back().second;
}

bool ParseRecording(std::istream& in, Recording& out, std::string* error)
{
    out = Recording{};
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    size_t lineNo = 0;
    try {
        for (std::string& line : lines) {
            ++lineNo;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty())
                continue;
            json object;
            try {
                object = json::parse(line);
            } catch (const json::parse_error&) {
                // A host that ended mid-write leaves half a line: the
                // recording simply ends before it.
                if (lineNo == lines.size() && lineNo > 1) {
                    out.cutShort = true;
                    break;
                }
                throw;
            }
            if (lineNo == 1)
                ParseHeader(object, out);
            else
                out.events.push_back(ParseEvent(object, out.events.empty() ? nullptr : &out.events.back(), out));
        }
    } catch (const std::exception& e) {
        if (error)
            *error = "line " + std::to_string(lineNo) + ": " + e.what();
        return false;
    }
    if (lineNo == 0) {
        if (error)
            *error = "the recording is empty";
        return false;
    }
    return true;
}

namespace {

// A compressed recording's text; a stream that ends early (its host was
// killed) gives what it holds up to there.
bool ReadCompressed(const std::string& path, std::string& text, std::string* error)
{
#ifdef TAMBRIX_HAVE_ZLIB
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    char chunk[65536];
    for (int got; (got = gzread(gz, chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    gzclose(gz);
    return true;
#else
    (void)text;
    if (error)
        *error = path + " is compressed, and this build reads plain recordings only";
    return false;
#endif
}

} // namespace

bool LoadRecording(const std::string& path, Recording& out, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    char magic[2] = {};
    in.read(magic, 2);
    if (in.gcount() == 2 && static_cast<uint8_t>(magic[0]) == 0x1f && static_cast<uint8_t>(magic[1]) == 0x8b) {
        std::string text;
        if (!ReadCompressed(path, text, error))
            return false;
        std::istringstream plain(text);
        return ParseRecording(plain, out, error);
    }
    in.clear();
    in.seekg(0);
    return ParseRecording(in, out, error);
}

} // namespace sim
