// The bootloader's framed packet link: command frames with DLE stuffing and
// CRC, acknowledgement with retransmission, polling for the reply frame.
#include "io/FlashIo.h"

#include "log/Log.h"
#include "platform/Platform.h"
#include "protocol/Crc.h"

#include <cstring>

namespace {

constexpr int32_t Control(int32_t c) { return SYMBOL_CONTROL + c; }

constexpr int32_t SYM_STX = Control(ASCII_STX);
constexpr int32_t SYM_ETX = Control(ASCII_ETX);
constexpr int32_t SYM_ACK = Control(ASCII_ACK);
constexpr int32_t SYM_NAK = Control(ASCII_NAK);
constexpr int32_t SYM_CAN = Control(ASCII_CAN);
constexpr int32_t SYM_FS = Control(ASCII_FS);

// A malformed reply frame is reported by the place it broke, under the names
// this tool has always printed, so logs stay comparable across versions.
constexpr const char* kSourceName = "..\\dll-source2\\protocol";

// A bootloader that talks without sending a frame start is given this many
// symbols before the poll counts as failed.
constexpr int kSpewLimit = 51;
// Stray answers tolerated before a command frame is sent again.
constexpr int kStrayLimit = 10;

} // namespace

int32_t FlashIo::ReadDevice(uint8_t* buffer, uint32_t length, uint64_t timeoutMs)
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return -1;
    }
    if (!io->readBytes) {
        LogMsg(LOG_ERROR, L"No read bytes function\n");
        return -1;
    }
    uint32_t timeout = timeoutMs > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(timeoutMs);
    return io->readBytes(io, buffer, length, timeout);
}

const wchar_t* FlashIo::RefreshTimestamp()
{
    char narrow[30];
    TickStamp(narrow);
    size_t i = 0;
    for (; i + 1 < sizeof timestampText / sizeof timestampText[0] && narrow[i]; ++i)
        timestampText[i] = static_cast<unsigned char>(narrow[i]);
    timestampText[i] = 0;
    return timestampText;
}

int32_t FlashIo::RxSymbol(uint64_t timeoutMs)
{
    uint32_t start = platform::TickCount();
    uint8_t byte = 0;
    int32_t result = ReadDevice(&byte, 1, timeoutMs);
    if (result < 0)
        return result;
    if (result == 0) {
        LogMsg(LOG_ERROR, L"ERROR: RxTimeout1(%dmSecs)\n", static_cast<int>(platform::TickCount() - start));
        return -6;
    }
    if (byte != ASCII_DLE) {
        crc = CrcUpdate(crc, byte);
        return byte;
    }
    uint8_t second = 0;
    result = ReadDevice(&second, 1, byteTimeoutMs);
    if (result < 0)
        return -3;
    if (result == 0) {
        LogMsg(LOG_ERROR, L"ERROR: RxTimeout2(%dmSecs)\n", static_cast<int>(platform::TickCount() - start));
        return -6;
    }
    if (second == ASCII_DLE) {
        crc = CrcUpdate(crc, ASCII_DLE);
        return ASCII_DLE;
    }
    return Control(second);
}

int32_t FlashIo::TxData(uint32_t value)
{
    if (value & 0xFF00) {
        LogMsg(LOG_ERROR, L"ERROR: Illegal TxData: 0x%08x\n", value);
        return -3;
    }
    uint8_t byte = static_cast<uint8_t>(value);
    crc = CrcUpdate(crc, byte);
    int32_t result = WriteByte(byte);
    if (result != 0 || byte != ASCII_DLE)
        return result;
    return WriteByte(byte);
}

void FlashIo::SendFrame()
{
    if (!io) {
        LogMsg(LOG_ERROR, L"No io pointer\n");
        return;
    }
    memset(io->txBuffer, 0, sizeof io->txBuffer);
    io->txCount = 0;
    static const uint8_t start[] = {0x20, 0x20, ASCII_DLE, ASCII_STX};
    static const uint8_t separator[] = {ASCII_DLE, ASCII_FS};
    static const uint8_t end[] = {ASCII_DLE, ASCII_ETX};
    // Queuing failures are logged by the device layer; the frame goes on.
    WriteBytes(start, sizeof start);
    crc = 0;
    TxData(txPacket.packet_number & 0xFF);
    TxData(txPacket.Cmd);
    TxData(static_cast<uint32_t>(txPacket.n_params));
    for (int32_t i = 0; i < txPacket.n_params && i < kPacketParamsMax; ++i)
        for (int shift = 0; shift < 32; shift += 8)
            TxData(static_cast<uint32_t>(txPacket.params[i] >> shift) & 0xFF);
    WriteBytes(separator, sizeof separator);
    for (int shift = 0; shift < 32; shift += 8)
        TxData(static_cast<uint32_t>(txPacket.payload_len >> shift) & 0xFF);
    WriteBytes(separator, sizeof separator);
    for (uint64_t i = 0; i < txPacket.payload_len && i < kPacketPayloadMax; ++i)
        TxData(txPacket.payload[i]);
    WriteBytes(separator, sizeof separator);
    uint16_t frameCrc = crc;
    TxData(frameCrc & 0xFF);
    TxData(frameCrc >> 8);
    WriteBytes(end, sizeof end);
    FlushTx();
}

int32_t FlashIo::TxPacket()
{
    int tries = 0;
    int strays = 0;
    bool flushFirst = false;   // retry after NAK or stray answers, not after silence
    for (;;) {
        if (flushFirst && tries > 0)
            FlushRx(1);
        ++tries;
        if (tries > retryCount)
            return -9;
        LogMsg(LOG_PACKET, L"%s | TX Packet Try: %d\n", RefreshTimestamp(), tries);
        SendFrame();
        if (txPacket.Cmd == BL_CMD_ERASE_ALL)
            platform::SleepMs(500);
        int32_t answer = RxSymbol(replyTimeoutMs);
        for (;;) {
            if (answer == -6) {
                // A hard reset may restart the bootloader before it answers.
                if (tries >= 2 && txPacket.Cmd == BL_CMD_RESET_HARD)
                    return 0;
                if (txPacket.Cmd != BL_CMD_RESET_HARD)
                    DeviceLagged(L"timeout");
                flushFirst = false;
                break;
            }
            if (answer == -3)
                return -3;
            RefreshTimestamp();
            if (answer == SYM_ACK) {
                LogMsg(LOG_PACKET, L"%s | TX Packet Result; SUCCESS\n", timestampText);
                return 0;
            }
            if (answer == SYM_NAK) {
                LogMsg(LOG_ERROR, L"%s | TX Packet Result: NAK\n", timestampText);
                DeviceLagged(L"NAK");
                flushFirst = true;
                break;
            }
            if (answer == SYM_CAN) {
                LogMsg(LOG_ERROR, L"%s | TX Packet Result: CAN\n", timestampText);
                DeviceLagged(L"CAN");
                return -8;
            }
            LogMsg(LOG_PACKET, L"%s | TX Packet Result: Unknown: %d\n", timestampText, answer);
            if (++strays > kStrayLimit) {
                DeviceLagged(L"spew");
                flushFirst = true;
                break;
            }
            answer = RxSymbol(replyTimeoutMs);
        }
    }
}

// A data byte where the frame needs one, or -1 after the malformed-frame line.
int32_t FlashIo::RxDataAt(int line)
{
    int32_t symbol = RxSymbol(byteTimeoutMs);
    if (symbol < 0 || symbol > 0xFF) {
        LogMsg(LOG_ERROR, L"ERROR: %hs:%d\n", kSourceName, line);
        return -1;
    }
    return symbol;
}

int32_t FlashIo::RxPacket()
{
    FlushRx(0);
    if (io)
        io->txCount = 0;
    static const uint8_t poll[] = {0x20, 0x20, ASCII_DLE, ASCII_ENQ};
    WriteBytes(poll, sizeof poll);
    FlushTx();

    int32_t symbol = 0;
    int seen = 0;
    for (; seen < kSpewLimit; ++seen) {
        symbol = RxSymbol(replyTimeoutMs);
        if (symbol < 0)
            return symbol;
        if (symbol == SYM_STX)
            break;
        if (symbol == SYM_CAN)
            return -8;
    }
    if (seen == kSpewLimit)
        return -10;

    memset(&rxPacket, 0, sizeof rxPacket);
    crc = 0;
    int32_t value = RxDataAt(610);
    if (value < 0)
        return -1;
    replyFlag = static_cast<uint32_t>(value);
    if (RxSymbol(byteTimeoutMs) != SYM_FS)
        return -1;

    if (replyFlag != 0) {
        if ((value = RxDataAt(626)) < 0)
            return -1;
        rxPacket.packet_number = static_cast<uint32_t>(value);
        if ((value = RxDataAt(636)) < 0)
            return -1;
        rxPacket.Cmd = static_cast<uint32_t>(value);
        if ((value = RxDataAt(645)) < 0)
            return -1;
        if (value > kPacketParamsMax) {
            // More than the record holds: a broken or hostile bootloader.
            LogMsg(LOG_ERROR, L"ERROR: reply declares %d parameters, max: %d\n", value, kPacketParamsMax);
            return -1;
        }
        rxPacket.n_params = value;
        for (int32_t i = 0; i < rxPacket.n_params; ++i) {
            for (int shift = 0; shift < 32; shift += 8) {
                if ((value = RxDataAt(656)) < 0)
                    return -1;
                rxPacket.params[i] |= static_cast<uint64_t>(value) << shift;
            }
        }
        if (RxSymbol(byteTimeoutMs) != SYM_FS) {
            LogMsg(LOG_ERROR, L"ERROR: %hs:%d\n", kSourceName, 670);
            return -1;
        }
        uint32_t payloadLength = 0;
        for (int shift = 0; shift < 32; shift += 8) {
            value = RxSymbol(byteTimeoutMs);
            if (value < 0 || value > 0xFF) {
                LogMsg(LOG_ERROR, L"ERROR: %hs:%d, offset: %d\n", kSourceName, 678, shift);
                return -1;
            }
            payloadLength |= static_cast<uint32_t>(value) << shift;
        }
        if (payloadLength > kPacketPayloadMax) {
            LogMsg(LOG_ERROR, L"ERROR: reply payload_len %u too big, max: %d\n", payloadLength,
                   static_cast<int>(kPacketPayloadMax));
            return -1;
        }
        rxPacket.payload_len = payloadLength;
        if (RxSymbol(byteTimeoutMs) != SYM_FS) {
            LogMsg(LOG_ERROR, L"ERROR: %hs:%d\n", kSourceName, 690);
            return -1;
        }
        for (uint64_t i = 0; i < rxPacket.payload_len; ++i) {
            value = RxSymbol(byteTimeoutMs);
            if (value < 0 || value > 0xFF) {
                LogMsg(LOG_ERROR, L"ERROR: %hs:%d, offset: %d\n", kSourceName, 698, static_cast<int>(i));
                return -1;
            }
            rxPacket.payload[i] = static_cast<uint8_t>(value);
        }
        if (RxSymbol(byteTimeoutMs) != SYM_FS) {
            LogMsg(LOG_ERROR, L"ERROR: %hs:%d\n", kSourceName, 708);
            return -1;
        }
    }

    uint16_t frameCrc = crc;
    int32_t low = RxDataAt(718);
    if (low < 0)
        return -1;
    int32_t high = RxDataAt(726);
    if (high < 0)
        return -1;
    if (RxSymbol(byteTimeoutMs) != SYM_ETX) {
        LogMsg(LOG_ERROR, L"ERROR: %hs:%d\n", kSourceName, 738);
        return -1;
    }

    if (io)
        io->txCount = 0;
    static const uint8_t ack[] = {0x20, 0x20, ASCII_DLE, ASCII_ACK};
    static const uint8_t nak[] = {0x20, 0x20, ASCII_DLE, ASCII_NAK};
    int32_t result;
    if (frameCrc == high * 256 + low) {
        LogMsg(LOG_PACKET, L"RX Packet: ACK\n");
        WriteBytes(ack, sizeof ack);
        result = 0;
    } else {
        LogMsg(LOG_PACKET | LOG_ERROR, L"RX Packet: NAK\n");
        WriteBytes(nak, sizeof nak);
        result = -1;
    }
    FlushTx();
    return result;
}

void FlashIo::DeviceLagged(const wchar_t* sign)
{
    if (!pacing.Fast())
        return;
    pacing.fellBack = true;
    pacing.fallbackSign = sign;
    LogMsg(LOG_WARN, L"Fast pacing: the device did not keep up (%s), the rest of this flash runs on the full pauses.\n",
           sign);
}

int32_t FlashIo::RxReply()
{
    uint32_t start = platform::TickCount();
    if (retryCount < 1)
        return -9;
    for (int attempt = 1;; ++attempt) {
        if (attempt > retryCount)
            return -9;
        if (platform::TimeUp(start, receiveDeadlineMs)) {
            DeviceLagged(L"timeout");
            return -6;
        }
        int32_t result = RxPacket();
        if (result == 0 && replyFlag != 0)
            break;
        if (result == -10) {
            LogMsg(LOG_ERROR, L"ERROR: RX Spew... flushing & Retrying\n");
            DeviceLagged(L"spew");
            FlushRx(1);
        } else if (result == 0) {
            // "No reply yet" costs no attempt; the deadline bounds the wait.
            attempt = 0;
            platform::SleepMs(Pacing::Ms(pacing.EmptyPollPause()));
        } else {
            DeviceLagged(result == -6 ? L"timeout" : result == -8 ? L"CAN" : result == -1 ? L"bad CRC" : L"read failure");
            platform::SleepMs(Pacing::Ms(pacing.FailedTryPause()));
        }
    }
    if ((rxPacket.Cmd ^ txPacket.Cmd) != 0xFF || (rxPacket.packet_number ^ txPacket.packet_number) != 0xFF) {
        LogMsg(LOG_ERROR, L"ERROR: Sent %d/%d - got %d/%d, wrong reply\n", txPacket.Cmd, txPacket.packet_number,
               rxPacket.Cmd, rxPacket.packet_number);
        return -11;
    }
    return 0;
}

int32_t FlashIo::SendPacket(uint32_t Cmd, uint32_t n_params, uint64_t param0, uint64_t param1,
                            const uint8_t* payload, uint64_t payload_len)
{
    if (n_params > 2 || (payload_len != 0 && !payload)) {
        LogMsg(LOG_ERROR, L"ERROR: bad packet request, n_params: %d, payload_len: %d\n", static_cast<int>(n_params),
               static_cast<int>(payload_len));
        return -1;
    }
    txPacket.Cmd = Cmd;
    txPacket.n_params = static_cast<int32_t>(n_params);
    txPacket.params[0] = param0;
    txPacket.params[1] = param1;
    txPacket.payload_len = payload_len;
    if (payload_len != 0) {
        if (payload_len > kPacketPayloadMax) {
            LogMsg(LOG_ERROR, L"ERROR: tx packet too big(A) %d, max: %d\n", static_cast<int>(payload_len),
                   static_cast<int>(kPacketPayloadMax));
            return -1;
        }
        if (payload_len > packetSize) {
            LogMsg(LOG_ERROR, L"ERROR: tx packet too big(B) %d, max: %d\n", static_cast<int>(payload_len),
                   static_cast<int>(packetSize));
            return -1;
        }
        memcpy(txPacket.payload, payload, payload_len);
    }
    txPacket.packet_number = (txPacket.packet_number + 1) & 0xFF;
    readCursor = 0;
    underrunFlag = 0;
    replyFlag = 0;

    LogMsg(LOG_INFO,
           L"Send Packet: %s | TX: packet_number= %02x, Cmd= %02x, n_params= %d, params[0]= %08x, params[1]= %08x, "
           L"payload_len=%d \n",
           RefreshTimestamp(), txPacket.packet_number, txPacket.Cmd, txPacket.n_params,
           static_cast<unsigned>(txPacket.params[0]), static_cast<unsigned>(txPacket.params[1]),
           static_cast<int>(txPacket.payload_len));
    LogHexDump(log, LOG_PACKET, txPacket.payload, txPacket.payload_len);

    FlushRx(0);
    int32_t result = TxPacket();
    LogMsg(LOG_INFO, L"TX Result: %d\n", result);
    if (result != 0)
        return result;
    platform::SleepMs(Pacing::Ms(pacing.ReceivePause()));
    result = RxReply();
    LogMsg(LOG_INFO, L"RX Result: %d\n", result);
    if (result != 0)
        return result;
    LogMsg(LOG_INFO,
           L"Recieve Result Packet: %s | RX: packet_number: %02x, Cmd: %02x, n_params: %d, params[0]: %08x, "
           L"params[1]: %08x, payload_len=%d\n",
           RefreshTimestamp(), rxPacket.packet_number, rxPacket.Cmd, rxPacket.n_params,
           static_cast<unsigned>(rxPacket.params[0]), static_cast<unsigned>(rxPacket.params[1]),
           static_cast<int>(rxPacket.payload_len));
    LogHexDump(log, LOG_PACKET, rxPacket.payload, rxPacket.payload_len);
    return 0;
}

uint8_t FlashIo::ReplyGetU8()
{
    if (readCursor < rxPacket.payload_len && readCursor < kPacketPayloadMax)
        return rxPacket.payload[readCursor++];
    underrunFlag = 1;
    return 0;
}

uint16_t FlashIo::ReplyGetU16()
{
    uint16_t low = ReplyGetU8();
    uint16_t high = ReplyGetU8();
    return static_cast<uint16_t>(low + 256 * high);
}

int32_t FlashIo::ReplyCheckEnd()
{
    if (readCursor < rxPacket.payload_len) {
        LogMsg(LOG_ERROR, L"ERROR: too long\n");
        return -5;
    }
    if (underrunFlag) {
        LogMsg(LOG_ERROR, L"ERROR: too short!\n");
        return -4;
    }
    return 0;
}
