#include "sim/Recording.h"

#include <nlohmann/json.hpp>

#include <fstream>

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

std::string TextOr(const json& object, const char* key)
{
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

template <typename T>
T NumberOr(const json& object, const char* key, T fallback)
{
    auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<T>() : fallback;
}

void ParseHeader(const json& h, Recording& out)
{
    if (TextOr(h, "format") != "tambrix01-recording")
        throw std::runtime_error("not a TAMBRIX01 recording (no \"format\" on the first line)");
    out.library = TextOr(h, "library");
    out.interface = TextOr(h, "interface");
    out.interfaceType = NumberOr<uint64_t>(h, "interfaceType", 0);
    out.port = TextOr(h, "port");
    if (auto serial = h.find("serial"); serial != h.end() && serial->is_object())
        out.serialRecord = FromHex(TextOr(*serial, "record"));
    for (const char* key : {"initStringSerial", "initStringUsb"}) {
        auto& list = key[10] == 'S' ? out.initStringSerial : out.initStringUsb;
        if (auto it = h.find(key); it != h.end() && it->is_array())
            for (const json& s : *it)
                list.push_back(s.get<std::string>());
    }
    if (auto it = h.find("settings"); it != h.end() && it->is_object())
        for (auto& [name, value] : it->items())
            out.settings.emplace_back(name, value.get<uint64_t>());
    out.assist = h.value("assist", false);
}

RecordedEvent ParseEvent(const json& e)
{
    RecordedEvent event;
    event.number = NumberOr<uint64_t>(e, "n", 0);
    event.t = NumberOr<uint64_t>(e, "t", 0);
    event.kind = TextOr(e, "ev");
    if (event.kind.empty())
        throw std::runtime_error("an event without \"ev\"");
    event.result = NumberOr<int64_t>(e, "result", 0);
    event.bytes = FromHex(TextOr(e, "hex"));
    event.asked = NumberOr<uint64_t>(e, "ask", 0);
    event.timeoutMs = NumberOr<uint64_t>(e, "timeout", 0);
    event.ms = NumberOr<uint64_t>(e, "ms", 0);
    event.port = TextOr(e, "port");
    event.vid = NumberOr<int32_t>(e, "vid", -1);
    event.pid = NumberOr<int32_t>(e, "pid", -1);
    event.mi = NumberOr<int32_t>(e, "mi", -1);
    event.path = TextOr(e, "found");
    if (event.path.empty())
        event.path = TextOr(e, "path");
    event.operation = TextOr(e, "operation");
    event.file = TextOr(e, "file");
    // A write's bytes past what the transport took never reached the device.
    if (event.kind == "write")
        event.bytes.resize(event.result > 0 ? std::min<size_t>(event.bytes.size(), size_t(event.result)) : 0);
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
                out.events.push_back(ParseEvent(object));
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

bool LoadRecording(const std::string& path, Recording& out, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot read " + path;
        return false;
    }
    return ParseRecording(in, out, error);
}

} // namespace sim
