#include "support/SimHost.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testing_support {

namespace {

constexpr uint8_t DLE = 0x10, STX = 0x02, ETX = 0x03, ENQ = 0x05, ACK = 0x06, NAK = 0x15, FS = 0x1C, SYN = 0x16;

// A frame being built: data bytes are stuffed and enter the check, control
// pairs do not.
struct FrameBuilder {
    std::string out;
    Bytes checked;
    void Control(uint8_t c)
    {
        out += static_cast<char>(DLE);
        out += static_cast<char>(c);
    }
    void Data(uint8_t b)
    {
        checked.push_back(b);
        out += static_cast<char>(b);
        if (b == DLE)
            out += static_cast<char>(DLE);
    }
    void Word(uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            Data(static_cast<uint8_t>(v >> (8 * i)));
    }
};

uint32_t Word(const Bytes& b, size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

} // namespace

uint16_t HostCrc(const Bytes& data, uint16_t crc)
{
    for (uint8_t byte : data) {
        uint16_t index = (crc ^ byte) & 0xFF;
        uint16_t entry = static_cast<uint16_t>(index << 8);
        for (int bit = 0; bit < 8; ++bit)
            entry = static_cast<uint16_t>(entry & 0x8000 ? (entry << 1) ^ 0x1021 : entry << 1);
        crc = static_cast<uint16_t>(entry ^ (crc >> 8));
    }
    return crc;
}

std::string EncodeCommand(uint8_t packetNumber, uint8_t command, const std::vector<uint32_t>& params,
                          const Bytes& payload)
{
    FrameBuilder f;
    f.out = "  ";
    f.Control(STX);
    f.Data(packetNumber);
    f.Data(command);
    f.Data(static_cast<uint8_t>(params.size()));
    for (uint32_t p : params)
        f.Word(p);
    f.Control(FS);
    f.Word(static_cast<uint32_t>(payload.size()));
    f.Control(FS);
    for (uint8_t b : payload)
        f.Data(b);
    f.Control(FS);
    uint16_t crc = HostCrc(f.checked);
    f.Data(static_cast<uint8_t>(crc & 0xFF));
    f.Data(static_cast<uint8_t>(crc >> 8));
    f.Control(ETX);
    return f.out;
}

std::string Poll()
{
    return std::string("  ") + static_cast<char>(DLE) + static_cast<char>(ENQ);
}

std::string AckReply()
{
    return std::string("  ") + static_cast<char>(DLE) + static_cast<char>(ACK);
}

std::string NakReply()
{
    return std::string("  ") + static_cast<char>(DLE) + static_cast<char>(NAK);
}

std::string MenuText(char command, const std::string& text, char terminator)
{
    return std::string(1, static_cast<char>(SYN)) + command + '\r' + text + terminator;
}

Report CheckReport(const std::string& text)
{
    Report report;
    if (text.compare(0, 4, "fmt:") != 0) {
        report.problem = "does not begin with fmt:";
        return report;
    }
    size_t csumAt = std::string::npos;
    size_t pos = 0;
    while (pos < text.size()) {
        if (text.compare(pos, 2, "\r\n") == 0 && pos + 2 == text.size())
            break;
        size_t end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            report.problem = "line without CR LF";
            return report;
        }
        std::string line = text.substr(pos, end - pos);
        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0 || line.compare(colon, 2, ": ") != 0) {
            report.problem = "bad line: " + line;
            return report;
        }
        std::string tag = line.substr(0, colon);
        if (tag == "csum" && csumAt == std::string::npos)
            csumAt = pos;
        report.tags.emplace(tag, line.substr(colon + 2));
        pos = end + 2;
    }
    if (pos >= text.size()) {
        report.problem = "no final empty line";
        return report;
    }
    if (csumAt == std::string::npos) {
        report.problem = "no csum line";
        return report;
    }
    unsigned sum = 0;
    for (size_t i = 0; i < csumAt; ++i)
        sum += static_cast<unsigned char>(text[i]);
    unsigned long stated = std::strtoul(report.tags["csum"].c_str(), nullptr, 0);
    if ((sum & 0xFFFF) != stated) {
        report.problem = "csum " + report.tags["csum"] + " but the bytes sum to " + std::to_string(sum & 0xFFFF);
        return report;
    }
    if (text.find('.') != std::string::npos) {
        report.problem = "a '.' would end the reply early";
        return report;
    }
    report.valid = true;
    return report;
}

Bytes MakeImage(char type, const std::string& swRev, size_t payloadSize, uint8_t compat)
{
    Bytes image(256 + payloadSize, 0);
    uint32_t tag = type == 'B' ? 0x0A000000 : 0x0A000004;
    uint32_t length = static_cast<uint32_t>(image.size() - 8);
    for (int i = 0; i < 4; ++i) {
        image[i] = static_cast<uint8_t>(tag >> (8 * i));
        image[4 + i] = static_cast<uint8_t>(length >> (8 * i));
    }
    image[12] = static_cast<uint8_t>(type);
    std::memcpy(&image[16], "SIMTEST", 7);
    std::memcpy(&image[32], swRev.data(), std::min<size_t>(swRev.size(), 16));
    std::memcpy(&image[48], "Mar 05 2024", 11);
    std::memcpy(&image[64], "12:34:56", 8);
    image[160] = compat;
    // Every 7th byte is a DLE, and runs of two DLEs occur too.
    for (size_t i = 0; i < payloadSize; ++i)
        image[256 + i] = i % 7 == 0 || i % 251 == 1 ? DLE : static_cast<uint8_t>(i * 13 + 5);
    return image;
}

// ---- SimHost --------------------------------------------------------------------

SimHost::SimHost(const sim::DeviceConfig& config, const sim::InProcessOptions& options)
    : device(config), io(std::make_unique<FlashIoDevice>())
{
    link_ = io.get();
    // TAMBRIX_SIM_TRACE=1 shows what the device does while a test runs.
    bool echo = std::getenv("TAMBRIX_SIM_TRACE") != nullptr;
    device.SetTrace([this, echo](const std::string& line) {
        trace.push_back(line);
        if (echo)
            std::fprintf(stderr, "%s\n", line.c_str());
    });
    sim::InstallInProcess(io.get(), device, time.clock, options);
    if (io->open)
        io->open(io.get());
}

SimHost::~SimHost()
{
    if (io->destroy)
        io->destroy(io.get());
}

int32_t SimHost::Reinstall(const sim::InProcessOptions& options)
{
    int32_t result = sim::InstallInProcess(io.get(), device, time.clock, options);
    if (result == 0)
        result = io->open(io.get());
    return result;
}

bool SimHost::TraceHas(const std::string& part) const
{
    for (const std::string& line : trace) {
        if (line.find(part) != std::string::npos)
            return true;
    }
    return false;
}

int32_t HostLink::Send(const std::string& bytes)
{
    if (!link_->writeBytes)
        return -1;
    return link_->writeBytes(link_, reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<uint32_t>(bytes.size()));
}

std::string HostLink::Receive(uint32_t max, uint32_t timeoutMs)
{
    std::string buffer(max, '\0');
    int32_t n = link_->readBytes ? link_->readBytes(link_, reinterpret_cast<uint8_t*>(buffer.data()), max, timeoutMs) : -1;
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
}

std::string HostLink::ReceiveUntil(char terminator, uint32_t timeoutMs)
{
    std::string text;
    for (;;) {
        std::string byte = Receive(1, timeoutMs);
        if (byte.empty())
            return text;
        text += byte;
        if (byte[0] == terminator)
            return text;
    }
}

std::string HostLink::Menu(char command, const std::string& text, char terminator)
{
    Send(MenuText(command, text, terminator));
    return ReceiveUntil(terminator);
}

bool HostLink::Wake()
{
    Send(std::string{static_cast<char>(SYN), 'C', '\r'});
    return !Receive(4, 500).empty();
}

int HostLink::ReadSymbol(uint32_t timeoutMs)
{
    std::string b = Receive(1, timeoutMs);
    if (b.empty())
        return -6;
    uint8_t c = static_cast<uint8_t>(b[0]);
    if (c != DLE)
        return c;
    b = Receive(1, timeoutMs);
    if (b.empty())
        return -6;
    c = static_cast<uint8_t>(b[0]);
    return c == DLE ? DLE : 0x1000 + c;
}

ReplyFrame HostLink::ReadReply(uint32_t timeoutMs)
{
    ReplyFrame frame;
    int s = 0;
    for (int skipped = 0; (s = ReadSymbol(timeoutMs)) != 0x1000 + STX; ++skipped) {
        if (s < 0 || skipped > 50)
            return frame;
    }
    // Fields between separators, as data bytes.
    std::vector<Bytes> fields(1);
    for (;;) {
        s = ReadSymbol(timeoutMs);
        if (s < 0)
            return frame;
        if (s == 0x1000 + FS)
            fields.emplace_back();
        else if (s == 0x1000 + ETX)
            break;
        else if (s < 0x100)
            fields.back().push_back(static_cast<uint8_t>(s));
        else
            return frame;
    }
    frame.complete = true;
    if (fields.size() == 2 && fields[0].size() == 1 && fields[0][0] == 0) {
        frame.crcOk = fields[1].size() == 2 && HostCrc(fields[0]) == (fields[1][0] | fields[1][1] << 8);
        return frame;
    }
    if (fields.size() != 5 || fields[0].size() != 1 || fields[1].size() < 3 || fields[2].size() != 4 ||
        fields[4].size() != 2)
        return frame;
    Bytes checked = fields[0];
    for (int i = 1; i <= 3; ++i)
        checked.insert(checked.end(), fields[i].begin(), fields[i].end());
    frame.crcOk = HostCrc(checked) == (fields[4][0] | fields[4][1] << 8);
    frame.flag = fields[0][0];
    frame.packetNumber = fields[1][0];
    frame.command = fields[1][1];
    for (size_t i = 0; i < fields[1][2] && 3 + 4 * i + 4 <= fields[1].size(); ++i)
        frame.params.push_back(Word(fields[1], 3 + 4 * i));
    frame.payload = fields[3];
    if (Word(fields[2], 0) != frame.payload.size())
        frame.crcOk = false;
    return frame;
}

Transaction HostLink::Transact(uint8_t command, const std::vector<uint32_t>& params, const Bytes& payload)
{
    Transaction t;
    ++packetNumber;
    Send(EncodeCommand(packetNumber, command, params, payload));
    t.answer = ReadSymbol(1000);
    if (t.answer != 0x1000 + ACK)
        return t;
    Sleep(20);
    uint64_t deadline = Now() + 5000;
    while (Now() < deadline) {
        Send(Poll());
        ReplyFrame frame = ReadReply();
        if (!frame.complete || !frame.crcOk) {
            Send(NakReply());
            Sleep(50);
            continue;
        }
        Send(AckReply());
        if (frame.flag == 0) {
            ++t.emptyReplies;
            Sleep(5);
            continue;
        }
        t.reply = frame;
        return t;
    }
    return t;
}

void HostLink::EnterPacketMode()
{
    Menu('Y', "BTLPRO1", '.');
}

bool HostLink::WriteArea(uint32_t area, const Bytes& image, size_t block)
{
    Transaction open = Transact(4, {area});
    if (!open.reply.complete || open.reply.payload.size() < 4)
        return false;
    uint32_t handle = Word(open.reply.payload, 0);
    if (!Transact(7, {handle}).reply.complete || !Transact(9).reply.complete)
        return false;
    for (size_t offset = 0; offset < image.size(); offset += block) {
        size_t n = std::min(block, image.size() - offset);
        Bytes chunk(image.begin() + static_cast<std::ptrdiff_t>(offset),
                    image.begin() + static_cast<std::ptrdiff_t>(offset + n));
        if (!Transact(16, {static_cast<uint32_t>(offset)}, chunk).reply.complete)
            return false;
    }
    return Transact(8, {handle}).reply.complete;
}

} // namespace testing_support
