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

    void LogMsg(uint64_t level, const wchar_t* format, ...);
};
