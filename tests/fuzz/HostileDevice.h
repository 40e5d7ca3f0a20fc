// A device whose every answer is a script: what the hostile-device target
// plays and what its corpus generator records from the simulator. Shared so
// that a recorded exchange replays against the same tool and the same files.
//
// Script layout:
//   byte 0    mode: bits 0-1 the interface (0 serial, 1 USB HID, 2 serial
//             without wake-up, 3 serial), bit 2 GetFileVersion instead of
//             FlashScanner, bits 3-4 the firmware file (FirmwareFor), bit 5
//             an assist callback that names the port "FUZZ1"
//   segments  u16 delay in ms, u16 length (both little-endian), the bytes
// Segment 0 is what the device has ready when the line first comes up; each
// write of the host releases the next one, readable `delay` ms after the
// write (and never before the segment ahead of it). Bytes not read stay
// queued in order, whatever the host purges or reopens: anything the device
// should not have sent, the script simply leaves out.
#pragma once

#include "api/ToolContext.h"
#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"
#include "platform/VirtualClock.h"
#include "support/FirmwareFiles.h"
#include "support/SerialRecord.h"
#include "tambrix01/FlashTool.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace hostile {

constexpr uint8_t kScannerCompat = 0x41;   // the simulator's scanner
constexpr uint8_t kCradleCompat = 0x61;    // the simulator's cradle
constexpr size_t kSegmentHeader = 4;
constexpr size_t kSegmentMax = 0xFFFF;

inline uint64_t InterfaceOf(uint8_t mode)
{
    static const uint64_t kinds[] = {INTERFACE_RS232, INTERFACE_USB_HID, INTERFACE_RS232_NOWAKE, INTERFACE_RS232};
    return kinds[mode & 3];
}
inline bool AsksVersion(uint8_t mode) { return (mode & 4) != 0; }
inline int FileOf(uint8_t mode) { return (mode >> 3) & 3; }
inline bool WithAssist(uint8_t mode) { return (mode & 32) != 0; }

// Small files, so a whole flash is a handful of blocks: 0 and 3 a container
// for the scanner, 1 one for the cradle, 2 a single application image.
inline std::vector<uint8_t> FirmwareFor(int which)
{
    testing_support::FirmwareFile f =
        testing_support::StandardFile(which == 1 ? kCradleCompat : kScannerCompat, {"BOOT-F", 300, "APP-F", 420});
    return which == 2 ? f.app : f.file;
}

// The firmware files on disk for the life of the process.
class FirmwareFiles {
public:
    FirmwareFiles()
    {
        char pattern[] = "/tmp/tambrix_hostile_XXXXXX";
        if (!mkdtemp(pattern))
            abort();
        dir_ = pattern;
        for (int i = 0; i < 4; ++i) {
            std::string path = dir_ + "/fw" + std::to_string(i) + ".mocf";
            std::vector<uint8_t> bytes = FirmwareFor(i);
            FILE* out = fopen(path.c_str(), "wb");
            if (!out || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || fclose(out) != 0)
                abort();
            paths_[i] = path;
            names_[i] = platform::Utf8ToWide(path.c_str());
        }
    }
    ~FirmwareFiles()
    {
        for (const std::string& path : paths_)
            unlink(path.c_str());
        rmdir(dir_.c_str());
    }
    FirmwareFiles(const FirmwareFiles&) = delete;
    FirmwareFiles& operator=(const FirmwareFiles&) = delete;
    const wchar_t* Name(int which) const { return names_[which].c_str(); }

private:
    std::string dir_;
    std::string paths_[4];
    std::wstring names_[4];
};

// The device's side of the line, played from a script on the virtual clock.
class ScriptPlayer {
public:
    ScriptPlayer(const uint8_t* data, size_t size, platform::VirtualClock& clock, bool usb) : clock_(clock), usb_(usb)
    {
        size_t at = 0;
        while (at + kSegmentHeader <= size) {
            Segment s;
            s.delay = uint32_t(data[at] | data[at + 1] << 8);
            size_t length = size_t(data[at + 2] | data[at + 3] << 8);
            at += kSegmentHeader;
            s.data = data + at;
            s.size = std::min(length, size - at);
            at += s.size;
            segments_.push_back(s);
        }
        Release();
    }

    // Puts this player where a set-up would put a real transport.
    void Install(FlashIoDevice* io)
    {
        if (io->destroy)
            io->destroy(io);
        ClearTransportSlots(io);
        io->cookie = this;
        io->destroy = [](FlashIoDevice* d) { ClearTransportSlots(d); };
        io->purge = [](FlashIoDevice*) {};
        io->open = [](FlashIoDevice*) { return int32_t(0); };
        io->close = [](FlashIoDevice*) { return int32_t(0); };
        io->writeBytes = [](FlashIoDevice* d, const uint8_t*, uint32_t length) {
            static_cast<ScriptPlayer*>(d->cookie)->Release();
            return int32_t(length);
        };
        io->readBytes = [](FlashIoDevice* d, uint8_t* buffer, uint32_t length, uint32_t timeoutMs) {
            return static_cast<ScriptPlayer*>(d->cookie)->Read(buffer, length, timeoutMs);
        };
    }

    // Puts this player wherever the engine sets up a serial or USB transport.
    TransportHooks Hooks()
    {
        return {[](void* self, FlashIo* io, const wchar_t*, const WIN32_232_SETTINGS*) {
                    static_cast<ScriptPlayer*>(self)->Install(io->io);
                    return int32_t(0);
                },
                [](void* self, FlashIo* io, const UsbIdentity*) {
                    static_cast<ScriptPlayer*>(self)->Install(io->io);
                    return int32_t(0);
                },
                this};
    }

    // Like the serial transport: the buffer cleared, then what arrives until
    // it is full or the time is up. A USB read that gets nothing says -6.
    int32_t Read(uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
    {
        if (buffer && length)
            memset(buffer, 0, length);
        uint64_t deadline = clock_.Now() + timeoutMs;
        uint32_t count = 0;
        for (;;) {
            count += Take(buffer + count, length - count);
            uint64_t now = clock_.Now();
            if (count == length || now >= deadline)
                break;
            uint64_t target = deadline;
            if (reading_ < released_ && segments_[reading_].at < deadline)
                target = segments_[reading_].at;
            // Never stand still: a read that waits costs at least a tick.
            clock_.Advance(target > now ? target - now : 1);
        }
        if (count == 0 && usb_)
            return -6;
        return int32_t(count);
    }

private:
    struct Segment {
        uint32_t delay = 0;
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t at = 0;   // readable from then on, once released
    };

    void Release()
    {
        if (released_ >= segments_.size())
            return;
        Segment& s = segments_[released_++];
        s.at = std::max(lastAt_, clock_.Now() + s.delay);
        lastAt_ = s.at;
    }

    uint32_t Take(uint8_t* out, uint32_t max)
    {
        uint32_t count = 0;
        uint64_t now = clock_.Now();
        while (count < max && reading_ < released_ && segments_[reading_].at <= now) {
            const Segment& s = segments_[reading_];
            size_t n = std::min<size_t>(max - count, s.size - offset_);
            if (n)
                memcpy(out + count, s.data + offset_, n);
            count += uint32_t(n);
            offset_ += n;
            if (offset_ == s.size) {
                ++reading_;
                offset_ = 0;
            }
        }
        return count;
    }

    platform::VirtualClock& clock_;
    bool usb_;
    std::vector<Segment> segments_;
    size_t released_ = 0;
    size_t reading_ = 0;
    size_t offset_ = 0;
    uint64_t lastAt_ = 0;
};

inline int32_t AssistFuzz1(void*, uint32_t, wchar_t* buffer, uint32_t capacity)
{
    const wchar_t name[] = L"FUZZ1";
    if (capacity < 6)
        return 1;
    wcscpy(buffer, name);
    return 0;
}

// The host's settings of every run: port "FUZZ0", 115200 8-N-1, the
// interface and the assist callback the mode names.
inline void Configure(CFlashTool* tool, uint8_t mode)
{
    std::wstring port = L"FUZZ0";
    tool->SetSetting(CFS_PORTNAME, port.data(), port.size());
    uint64_t kind = InterfaceOf(mode);
    tool->SetSetting(CFS_INTERFACE, &kind, sizeof kind);
    WIN32_232_SETTINGS serial = testing_support::SerialRecord();
    tool->SetSetting(CFS_WIN32_232_SETTINGS, &serial, sizeof serial);
    if (WithAssist(mode)) {
        DllAssistSettings assist{&AssistFuzz1, nullptr, 1};
        tool->SetSetting(CFS_DLLASSIST_SETTINGS, &assist, sizeof assist);
    }
}

// The operation the mode names: the host's result code; info receives the
// version query's answer.
inline uint32_t RunOperation(CFlashTool* tool, uint8_t mode, const FirmwareFiles& files, FileVersionInfo* info)
{
    const wchar_t* file = files.Name(FileOf(mode));
    memset(info, 0, sizeof *info);
    return AsksVersion(mode) ? tool->GetFileVersion(file, info) : tool->FlashScanner(0, file);
}

} // namespace hostile
