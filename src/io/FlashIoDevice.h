// The io structure: the table of transport operations that a serial or USB
// HID backend fills. Any slot may be null; every caller checks first.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace platform {
struct NamedMutex;
}
struct IoRecorder;
struct UsbKnownDevices;

constexpr uint32_t kTxBufferSize = 16384;

struct FlashIoDevice {
    // The installed transport's private block; null when none is installed
    // or after a failed serial open.
    void* cookie;
    // Tears the transport down, frees cookie and clears the slots.
    void (*destroy)(FlashIoDevice* io);
    // Drops received data the transport holds.
    void (*purge)(FlashIoDevice* io);
    // Opens the device: 0 when open (or already open), -1 on failure.
    int32_t (*open)(FlashIoDevice* io);
    // Closes the device: 0 when closed, -1 without a transport block.
    int32_t (*close)(FlashIoDevice* io);
    // Sends bytes: the number accepted (may be short) or a negative code.
    int32_t (*writeBytes)(FlashIoDevice* io, const uint8_t* data, uint32_t length);
    // Receives up to length bytes within timeoutMs. Serial: 0..length, the
    // buffer zero-filled first. USB: 1..length, -6 when nothing came, -3 when
    // the device is gone. -1 when not open. Anything below 1 is no data.
    int32_t (*readBytes)(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs);
    // Leveled log for the transports; logContext is the Log.
    void (*logFn)(void* context, uint64_t level, const wchar_t* format, va_list args);
    void* logContext;
    uint8_t txBuffer[kTxBufferSize];
    uint64_t txCount;
    // Marks a USB device as claimed by this process; null when none.
    platform::NamedMutex* m_hDeviceMutex;
    // CFS_PELLARO_USB_FULL_REPORT_WAIT: non-zero gives the USB transport's
    // flush the full report wait again, for a device that needs that pause.
    uint64_t usbFullReportWait;
    // Set by the receive flush without pauses around its reads: it only wants
    // what the system already holds, so USB may skip its report wait.
    uint64_t flushPoll;
    // Records the exchange when the host asked for a recording; null
    // otherwise (io/IoRecorder.h).
    IoRecorder* recorder;
    // What the USB transport learnt of the devices of this flash, across
    // its set-ups (io/UsbHid.h); null when nothing.
    UsbKnownDevices* usbKnown;
};

// What a transport's destroy leaves behind: no block and no slots. The serial
// transport keeps purge, which does nothing without a block.
inline void ClearTransportSlots(FlashIoDevice* io, bool keepPurge = false)
{
    io->cookie = nullptr;
    io->destroy = nullptr;
    if (!keepPurge)
        io->purge = nullptr;
    io->open = nullptr;
    io->close = nullptr;
    io->writeBytes = nullptr;
    io->readBytes = nullptr;
}
