// The device object through which the engine reaches a scanner: buffered
// transmission over the installed transport, reception, draining and
// closing. The scanner protocols are further members of this class.
#pragma once

#include "io/FlashIoDevice.h"
#include "io/Pacing.h"
#include "log/RefCounted.h"
#include "protocol/BootloaderPacket.h"

#include <cstdint>

class Log;
struct WIN32_232_SETTINGS;

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
    Pacing pacing;
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

    // Serial transport set-ups (Rs232.cpp): install the transport and
    // test-open the port once. 0 installed; -1 no memory for the block or no
    // io structure; -3 the test open failed or no memory for the name.
    int32_t BL_FlashIo_Setup_WIN32_RS232(int32_t portNumber, int32_t baudRate);
    int32_t BL_FlashIo_Setup_WIN32_RS232_V2(const wchar_t* deviceName, const WIN32_232_SETTINGS* settings);

    void LogMsg(uint64_t level, const wchar_t* format, ...);

    // ---- scanner protocols (src/protocol/) ------------------------------
    // Results: 0 success, otherwise a negative code: -1 malformed, refused
    // or missing io, -2 unknown menu command, -3 transport failure, -4/-5
    // reply too short/long, -6 timeout, -8 refused by the bootloader (CAN),
    // -9 retries exhausted, -10 no frame start, -11 reply to another command.

    // Bootloader packets: one transaction, the reply left in rxPacket.
    int32_t SendPacket(uint32_t Cmd, uint32_t n_params, uint64_t param0, uint64_t param1, const uint8_t* payload,
                       uint64_t payload_len);
    int32_t TxPacket();
    void SendFrame();
    int32_t TxData(uint32_t value);
    int32_t RxReply();
    int32_t RxPacket();
    int32_t RxSymbol(uint64_t timeoutMs);
    uint8_t ReplyGetU8();
    uint16_t ReplyGetU16();
    int32_t ReplyCheckEnd();
    // A sign that the device cannot keep up with the fast profile: the rest
    // of the flash runs on the full pauses (logged once).
    void DeviceLagged(const wchar_t* sign);

    // Bootloader commands.
    int32_t GetVersion();
    int32_t AreaOpen(int32_t area);   // 1 application, 0 bootloader
    int32_t UpdateBegin();
    int32_t AreaEnd();
    int32_t EraseAll();
    int32_t WrBlock(uint64_t offset, const uint8_t* data, uint64_t size);
    int32_t Reset(uint32_t mode);     // 0 none, 1 hard, 2 soft (hard before version 23)

    // Menu commands.
    int32_t MNU_Command(uint32_t commandChar, const char* name, uint64_t nameLength, const char* value,
                        int32_t extraChar, uint32_t terminator);
    // The reply value's length, or a negative code.
    int32_t MNU_Query(uint32_t commandChar, const char* name, uint64_t nameLength, const char* value, uint8_t* out,
                      uint64_t outSize);
    int32_t MNU_GetDecimal(const char* name, int32_t* out);
    int32_t MNU_SetDecimal(uint32_t commandChar, const char* name, int32_t value, uint32_t terminator);

    // Packet protocol state. packet_number runs on for the object's life;
    // the first transaction carries 1.
    BlPacket txPacket{};
    BlPacket rxPacket{};
    uint32_t replyFlag = 0;        // first data byte of the last reply frame
    uint64_t readCursor = 0;       // next unread rxPacket payload byte
    uint32_t underrunFlag = 0;     // a reader went past payload_len
    uint16_t crc = 0;
    wchar_t timestampText[30] = {};
    AreaInfo areaInfo{};

    // Menu command state.
    char menuCommand[kMenuBufferSize] = {};
    uint64_t menuCommandLength = 0;
    char menuReply[kMenuBufferSize] = {};
    uint64_t menuReplyLength = 0;
    char menuValue[kMenuBufferSize] = {};
    uint64_t menuValueLength = 0;

    // readBytes with the io checks: its result, or -1 after "No io pointer"
    // or "No read bytes function".
    int32_t ReadDevice(uint8_t* buffer, uint32_t length, uint64_t timeoutMs);

private:
    const wchar_t* RefreshTimestamp();
    int32_t RxDataAt(int line);
    int32_t MenuReadReply(uint32_t terminator, uint64_t echoLength);
};

// The transports' log: the Log applies its mask.
void IoLog(FlashIoDevice* io, uint64_t level, const wchar_t* format, ...);
// One 78-character line per 16 bytes, through IoLog.
void HexDump(FlashIoDevice* io, uint64_t level, uint64_t offset, const uint8_t* data, uint64_t length);
