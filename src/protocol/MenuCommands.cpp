// Menu commands: SYN, command character, CR, name, value, terminator; the
// device answers with the echo of the name, a value, a status byte and the
// same terminator.
#include "io/FlashIo.h"

#include "log/Log.h"
#include "platform/Platform.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A cradle forwards a routed command over its radio link before the
// scanner's answer can come back.
constexpr uint32_t kRoutedCommandPauseMs = 2000;

// The command as a quoted C literal, so control bytes show in the trace.
std::string PrintableCommand(const char* text, uint64_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string out = "\"";
    for (uint64_t i = 0; i < length; ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default:
            if (c >= 0x21 && c <= 0x7E) {
                out += static_cast<char>(c);
            } else {
                out += "\\x";
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
    }
    out += '"';
    return out;
}

} // namespace

int32_t FlashIo::MNU_Command(uint32_t commandChar, const char* name, uint64_t nameLength, const char* value,
                             int32_t extraChar, uint32_t terminator)
{
    menuReplyLength = 0;
    menuValueLength = 0;
    if (!name || strlen(name) != nameLength) {
        LogMsg(LOG_ERROR, L"CMD: %hs is not in %d bytes long\n", name, static_cast<int>(nameLength));
        return -1;
    }
    if (!value)
        value = "";
    if (terminator == 0) {
        LogMsg(LOG_ERROR, L"Invalid Terminator 2 (null) for cmd: %hs\n", name);
        return -1;
    }
    uint64_t valueLength = strlen(value);
    uint64_t length = 3 + nameLength + valueLength + (extraChar ? 1 : 0) + 1;
    if (length + 1 > kMenuBufferSize) {
        LogMsg(LOG_ERROR, L"CMD: %hs%hs does not fit the %d-byte command buffer\n", name, value,
               static_cast<int>(kMenuBufferSize));
        return -1;
    }
    char* p = menuCommand;
    *p++ = ASCII_SYN;
    *p++ = static_cast<char>(commandChar);
    *p++ = '\r';
    memcpy(p, name, nameLength);
    p += nameLength;
    memcpy(p, value, valueLength);
    p += valueLength;
    if (extraChar)
        *p++ = static_cast<char>(extraChar);
    *p++ = static_cast<char>(terminator);
    *p = 0;
    menuCommandLength = length;

    LogMsg(LOG_INFO, L"TX MNU COMMAND: %hs, Timeout value set as: %d mSecs\n",
           PrintableCommand(menuCommand, menuCommandLength).c_str(), static_cast<int>(menuCommandTimeoutMs));
    if (io)
        io->txCount = 0;
    FlushRx(0);
    WriteBytes(reinterpret_cast<const uint8_t*>(menuCommand), menuCommandLength);
    FlushTx();

    // A routing prefix (":*:" or ":#address:") is for the cradle; the scanner
    // behind it echoes only the name after it.
    const char* echo = name;
    uint64_t echoLength = nameLength;
    if (const char* first = strchr(name, ':')) {
        const char* second = strchr(first + 1, ':');
        if (!second) {
            LogMsg(LOG_ERROR, L"invalid menu command %hs without ending : character.\n", name);
            return -1;
        }
        echo = second + 1;
        echoLength = nameLength - static_cast<uint64_t>(echo - name);
        platform::SleepMs(kRoutedCommandPauseMs);
    }

    int32_t result = MenuReadReply(terminator, echoLength);
    if (result != 0)
        return result;

    LogMsg(LOG_INFO, L"RX MNU TXT CMD:\n");
    LogHexDump(log, LOG_INFO, menuReply, menuReplyLength);

    for (uint64_t i = 0; i < echoLength; ++i) {
        if (tolower(static_cast<unsigned char>(echo[i])) != tolower(static_cast<unsigned char>(menuReply[i]))) {
            LogMsg(LOG_ERROR, L"Invalid reply sent name=%hs, value='%hs', fail at %d\n", name, value,
                   static_cast<int>(i + 1));
            LogHexDump(log, LOG_ERROR, menuCommand, menuCommandLength);
            FlushRx(1);
            return -1;
        }
    }

    // The status byte stands just before the terminator.
    uint64_t textLength = strnlen(menuReply, menuReplyLength);
    int status = textLength >= 2 ? static_cast<unsigned char>(menuReply[textLength - 2]) : -1;
    if (status == ASCII_ACK) {
        uint64_t valueEnd = textLength - 2;
        uint64_t length = valueEnd > echoLength ? valueEnd - echoLength : 0;
        memset(menuValue, 0, sizeof menuValue);
        memcpy(menuValue, menuReply + echoLength, length);
        menuValueLength = length;
        return 0;
    }
    if (status == ASCII_ENQ) {
        LogMsg(LOG_ERROR, L"Error, Get ASCII_ENQ here.\n");
        return -2;
    }
    if (status == ASCII_NAK) {
        LogMsg(LOG_ERROR, L"Error, Get ASCII_NAK here.\n");
        return -1;
    }
    LogMsg(LOG_ERROR, L"CMD: %hs Reply error unknown ACK/NAK/ENQ byte\n", name);
    FlushRx(1);
    return -1;
}

// Reads the echo and status in one request, then byte by byte up to the
// terminator, so nothing after the reply is taken from the line.
int32_t FlashIo::MenuReadReply(uint32_t terminator, uint64_t echoLength)
{
    memset(menuReply, '?', sizeof menuReply);
    menuReply[kMenuBufferSize - 1] = 0;
    menuReplyLength = 0;
    uint64_t wanted = echoLength + 2;
    for (;;) {
        // Ask only for what is still missing of the first part, and never
        // for more than the buffer has room for.
        uint64_t ask = wanted > menuReplyLength ? wanted - menuReplyLength : 1;
        uint64_t room = kMenuBufferSize - menuReplyLength;
        if (ask > room)
            ask = room;
        int32_t count = ReadDevice(reinterpret_cast<uint8_t*>(menuReply) + menuReplyLength,
                                   static_cast<uint32_t>(ask), menuCommandTimeoutMs);
        if (count < 0) {
            LogMsg(LOG_ERROR, L"ReadBytes retrun value < 0, pretend the scanner responded OK!\n");
            return count;
        }
        if (count == 0) {
            if (menuReplyLength == 0) {
                LogMsg(LOG_ERROR, L"MNU CMD Timeout\n");
                return -6;
            }
            LogMsg(LOG_ERROR, L"timeout! with data!\n");
            return 0;
        }
        menuReplyLength += static_cast<uint64_t>(count) < ask ? static_cast<uint64_t>(count) : ask;
        if (menuReplyLength >= kMenuBufferSize) {
            menuReplyLength = kMenuBufferSize - 1;
            menuReply[kMenuBufferSize - 1] = 0;
            LogMsg(LOG_ERROR, L"Reply is too big(HUGE)\n");
            LogHexDump(log, LOG_ERROR, menuReply, kMenuBufferSize);
            FlushRx(1);
            return -1;
        }
        menuReply[menuReplyLength] = 0;
        if (wanted > 1 && menuReplyLength < wanted) {
            LogMsg(LOG_ERROR, L"We really need more as expected = %d.\n", static_cast<int>(wanted));
            continue;
        }
        if (static_cast<unsigned char>(menuReply[menuReplyLength - 1]) == (terminator & 0xFF))
            return 0;
        wanted = 1;
    }
}

int32_t FlashIo::MNU_Query(uint32_t commandChar, const char* name, uint64_t nameLength, const char* value,
                           uint8_t* out, uint64_t outSize)
{
    if (!value)
        value = "";
    int32_t result = MNU_Command(commandChar, name, nameLength, value, 0, '.');
    if (result != 0)
        return result;
    if (out && menuValueLength < outSize) {
        memcpy(out, menuValue, menuValueLength + 1);
        return static_cast<int32_t>(menuValueLength);
    }
    LogMsg(LOG_ERROR, L"Unexpected reply to cmd: %hs%hs%c. payload.len = %d, replylen = %d\n", name, value, '.',
           static_cast<int>(menuValueLength), static_cast<int>(outSize));
    LogHexDump(log, LOG_ERROR, menuReply, menuReplyLength);
    return -1;
}

int32_t FlashIo::MNU_GetDecimal(const char* name, int32_t* out)
{
    int32_t result = MNU_Command('Y', name, 6, "", '?', '.');
    if (result != 0)
        return result;
    if (menuValueLength == 0) {
        LogMsg(LOG_ERROR, L"CMD: %c %hs no reply!\n", 'Y', name);
        return -1;
    }
    errno = 0;
    char* end = nullptr;
    long long number = strtoll(menuValue, &end, 10);
    // A number that does not fit the value is as useless as no number.
    if (end == menuValue || *end != 0 || errno == ERANGE || number < INT32_MIN || number > INT32_MAX) {
        LogMsg(LOG_ERROR, L"CMD: %c %hs invalid reply (not number)\n", 'Y', name);
        LogHexDump(log, LOG_ERROR, menuValue, menuValueLength);
        return -1;
    }
    if (out)
        *out = static_cast<int32_t>(number);
    return 0;
}

int32_t FlashIo::MNU_SetDecimal(uint32_t commandChar, const char* name, int32_t value, uint32_t terminator)
{
    char text[30];
    snprintf(text, sizeof text, "%d", static_cast<int>(value));
    int32_t result = MNU_Command(commandChar, name, 6, text, 0, terminator);
    if (result != 0)
        return result;
    size_t length = strlen(text);
    if (menuValueLength == length && memcmp(menuValue, text, length) == 0)
        return 0;
    LogMsg(LOG_ERROR, L"%hs: %hs to %hs invalid response\n", "FlashIo::MNU_SetDecimal", name, text);
    return -1;
}
