// The device object through which the engine reaches a scanner: buffered
// transmission over the installed transport, reception, draining and
// closing. The scanner protocols are further members of this class.
#pragma once

#include "io/FlashIoDevice.h"
#include "log/RefCounted.h"

#include <cstdint>

class Log;

class FlashIo : public RefCounted {
public:
    explicit FlashIo(Log* log);
    ~FlashIo();
    FlashIo(const FlashIo&) = delete;
    FlashIo& operator=(const FlashIo&) = delete;

    int32_t bootloaderVersion = -1;    // -1 until the version query has run
    uint64_t packetSize = 256;         // payload size of bootloader packets
    int32_t areaInfoValid = 0;
    int32_t retryCount = 3;            // transmit and receive retries
    uint64_t byteTimeoutMs = 250;      // PELLARO_Timeout_ICD_mSecs
    uint64_t replyTimeoutMs = 1000;    // PELLARO_Timeout_Reply_mSecs
    uint64_t menuCommandTimeoutMs = 1000;  // PELLARO_Timeout_MenuCmd_mSecs
    uint64_t receiveDeadlineMs = 2000; // PELLARO_Timeout_ProtoCmd_mSecs
    uint64_t rxFlushTimeoutMs = 2000;
    uint64_t shortReplyTimeoutMs = 500;
    FlashIoDevice* io = nullptr;       // owned, never replaced
    Log* log = nullptr;

    // Device operations. Results: 0 success, -1 no io structure or the
    // needed slot is missing, -3 the transport reported failure.
    int32_t OpenDevice();
    int32_t CloseDevice();      // unsent bytes are discarded
    int32_t WriteBytes(const uint8_t* data, uint64_t length);   // queued until FlushTx
    int32_t WriteByte(uint8_t byte);
    int32_t FlushTx();
    // Drains whatever the device is sending, for at most rxFlushTimeoutMs;
    // 1 when anything was seen, 0 when the line was quiet.
    int32_t FlushRx(int32_t pause);

    void LogMsg(uint64_t level, const wchar_t* format, ...);
};

// The transports' log: the Log applies its mask.
void IoLog(FlashIoDevice* io, uint64_t level, const wchar_t* format, ...);
// One 78-character line per 16 bytes, through IoLog.
void HexDump(FlashIoDevice* io, uint64_t level, uint64_t offset, const uint8_t* data, uint64_t length);
