// Library-specific settings and the NAME:VALUE protocol settings file.
#include "api/ToolContext.h"

#include "flash/KIRO_FlashTool.h"
#include "io/FlashIo.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

struct SettingKey {
    const char* key;
    uint32_t id;
    uint32_t type;   // 0 number, 1 string
};

constexpr uint32_t kNumber = 0;
constexpr uint32_t kString = 1;

const SettingKey DllSettingKeys[] = {
    {"PELLARO_dbgflags", 0x10000, kNumber},
    {"PELLARO_dbgflags_L", 0x10001, kNumber},
    {"PELLARO_dbgflags_M", 0x10002, kNumber},
    {"PELLARO_dbgflags_H", 0x10003, kNumber},
    {"PELLARO_Timeout_ICD_mSecs", 0x10010, kNumber},
    {"PELLARO_Timeout_Reply_mSecs", 0x10011, kNumber},
    {"PELLARO_Timeout_MenuCmd_mSecs", 0x10012, kNumber},
    {"PELLARO_Timeout_ProtoCmd_mSecs", 0x10013, kNumber},
    {"PELLARO_CableDelay_RS232_mSecs", 0x10020, kNumber},
    {"PELLARO_CableDelay_USB_mSecs", 0x10021, kNumber},
    {"PELLARO_RESET_Timeout_mSecs", 0x10030, kNumber},
    {"PELLARO_RETRY_max", 0x10031, kNumber},
    {"PELLARO_ssBTLMAX_payload_size", 0x10040, kNumber},
    {"PELLARO_ssBTLTOC_timeout_icd", 0x10041, kNumber},
    {"PELLARO_ssBTLTOR_timeout_reply", 0x10042, kNumber},
    {"PELLARO_ssBTLRTY_retry_max", 0x10043, kNumber},
    {"PELLARO_USB_FullReportWait", 0x10050, kNumber},
    {"PELLARO_Record_File", CFS_PELLARO_RECORD_FILE, kString},
    {"PELLARO_Pause_Packet_mSecs", CFS_PELLARO_PAUSE_PACKET, kNumber},
    {"PELLARO_Pause_Receive_mSecs", CFS_PELLARO_PAUSE_RECEIVE, kNumber},
    {"PELLARO_Pause_EmptyPoll_mSecs", CFS_PELLARO_PAUSE_EMPTY_POLL, kNumber},
    {"PELLARO_Pause_FailedTry_mSecs", CFS_PELLARO_PAUSE_FAILED_TRY, kNumber},
    {"PELLARO_Restart_FirstLook_mSecs", CFS_PELLARO_RESTART_FIRST_LOOK, kNumber},
    {"PELLARO_Restart_LookInterval_mSecs", CFS_PELLARO_RESTART_LOOK_INTERVAL, kNumber},
    {"PELLARO_Readiness_Pause_mSecs", CFS_PELLARO_READINESS_PAUSE, kNumber},
    {"PELLARO_Fast", CFS_PELLARO_FAST, kNumber},
    {nullptr, 0xFFFFFFFF, 0xFFFFFFFF},
};

const SettingKey ToolSettingKeys[] = {
    {"init-string", CFS_INITSTRING, kString},
    {"test-number", CFS_TEST_NUMBER, kNumber},
    {"test-string", CFS_TEST_STRING, kString},
    {nullptr, 0xFFFFFFFF, 0xFFFFFFFF},
};

// The member a library-specific id names, or null.
uint64_t* DllSettingTarget(ToolContext* context, int32_t id)
{
    KIRO_FlashTool* engine = context->engine;
    switch (id) {
    case 0x10000: return &context->log->flags;
    case 0x10001: return &context->flagsPresetL;
    case 0x10002: return &context->flagsPresetM;
    case 0x10003: return &context->flagsPresetH;
    case 0x10010: return &engine->io->byteTimeoutMs;
    case 0x10011: return &engine->io->replyTimeoutMs;
    case 0x10012: return &engine->io->menuCommandTimeoutMs;
    case 0x10013: return &engine->io->receiveDeadlineMs;
    case 0x10020: return &engine->cableDelayRs232Ms;
    case 0x10021: return &engine->cableDelayUsbMs;
    case 0x10030: return &engine->resetTimeoutMs;
    case 0x10031: return &engine->retryMax;
    case 0x10040: return &engine->btlMaxPayload;
    case 0x10041: return &engine->btlTimeoutIcd;
    case 0x10042: return &engine->btlTimeoutReply;
    case 0x10043: return &engine->btlRetryMax;
    case 0x10050: return engine->io->io ? &engine->io->io->usbFullReportWait : nullptr;
    case CFS_PELLARO_PAUSE_PACKET: return &engine->io->pacing.packetPauseMs;
    case CFS_PELLARO_PAUSE_RECEIVE: return &engine->io->pacing.receivePauseMs;
    case CFS_PELLARO_PAUSE_EMPTY_POLL: return &engine->io->pacing.emptyPollPauseMs;
    case CFS_PELLARO_PAUSE_FAILED_TRY: return &engine->io->pacing.failedTryPauseMs;
    case CFS_PELLARO_RESTART_FIRST_LOOK: return &engine->io->pacing.firstLookMs;
    case CFS_PELLARO_RESTART_LOOK_INTERVAL: return &engine->io->pacing.lookIntervalMs;
    case CFS_PELLARO_READINESS_PAUSE: return &engine->io->pacing.readinessPauseMs;
    case CFS_PELLARO_FAST: return &engine->io->pacing.fast;
    default: return nullptr;
    }
}

const SettingKey* FindKey(const char* key)
{
    for (const SettingKey* table : {DllSettingKeys, ToolSettingKeys})
        for (const SettingKey* entry = table; entry->key; ++entry)
            if (strcmp(entry->key, key) == 0)
                return entry;
    return nullptr;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsQuote(unsigned char c) { return c == 0x22 || c == 0x93 || c == 0x94; }

// Reads `digits` digits of the given base at p; -1 when one is missing.
long ReadDigits(const char* p, int digits, int base)
{
    long value = 0;
    for (int i = 0; i < digits; ++i) {
        int d = HexValue(p[i]);
        if (d < 0 || d >= base)
            return -1;
        value = value * base + d;
    }
    return value;
}

constexpr size_t kLineBuffer = 500;
constexpr size_t kLineMax = kLineBuffer - 2;

// Reads one line without its line feed. False at the end of the file.
// tooLong is set when more than kLineMax characters stand before the line end.
bool ReadLine(FILE* file, std::string& line, bool& tooLong)
{
    line.clear();
    tooLong = false;
    int c;
    bool any = false;
    while ((c = fgetc(file)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line += static_cast<char>(c);
    }
    if (!line.empty() && line.back() == '\r' && c == '\n')
        line.pop_back();
    tooLong = line.size() > kLineMax;
    return any;
}

class ProtocolFileLoader {
public:
    ProtocolFileLoader(ToolContext* context, const wchar_t* fileName) : context_(context), name_(fileName) {}

    uint32_t Load(FILE* file)
    {
        std::string line;
        bool tooLong;
        while (ReadLine(file, line, tooLong)) {
            ++lineNo_;
            if (tooLong) {
                Error(L"%s:%d: line too long\n", name_, lineNo_);
                break;
            }
            HandleLine(line);
        }
        context_->LogMsg(LOG_DETAIL, L"%s:%d: *END*OF*FILE*\n", name_, lineNo_);
        return errors_ ? CFS_RESULT_FAILED : CFS_RESULT_OK;
    }

private:
    template <typename... Args>
    void Error(const wchar_t* format, Args... args)
    {
        context_->LogMsg(LOG_ERROR, format, args...);
        ++errors_;
    }

    void HandleLine(std::string& line)
    {
        size_t cr = line.find('\r');
        if (cr != std::string::npos)
            line.resize(cr);
        context_->LogMsg(LOG_DETAIL, L"%s:%d: %hs\n", name_, lineNo_, line.c_str());
        if (!CheckBytes(line))
            return;
        std::vector<char> text(line.begin(), line.end());
        text.push_back(0);
        TrimSpaces(text.data());
        const char* p = text.data();
        if (!*p || *p == '#' || *p == ';' || (p[0] == '/' && p[1] == '/'))
            return;
        char* colon = strchr(text.data(), ':');
        if (!colon) {
            Error(L"%s:%d: Syntax Error, missing <colon>\n", name_, lineNo_);
            return;
        }
        *colon = 0;
        char* key = text.data();
        char* value = colon + 1;
        TrimSpaces(key);
        TrimSpaces(value);
        context_->LogMsg(LOG_DETAIL, L"%s:%d: NAME: '%hs', Value: '%hs'\n", name_, lineNo_, key, value);
        const SettingKey* entry = FindKey(key);
        if (!entry) {
            Error(L"%s:%d: ERROR: Setting '%hs' not found\n", name_, lineNo_, key);
            return;
        }
        if (entry->type == kString)
            ApplyString(entry->id, value);
        else
            ApplyNumber(entry->id, value);
    }

    // Typographic quotes become plain ones; any other control or non-ASCII
    // byte is reported and the line skipped.
    bool CheckBytes(std::string& line)
    {
        bool clean = true;
        for (size_t i = 0; i < line.size(); ++i) {
            auto byte = static_cast<unsigned char>(line[i]);
            if (byte == 0x93 || byte == 0x94) {
                line[i] = '"';
            } else if (byte < 0x20 || byte >= 0x7F) {
                Error(L"%s:%d: Syntax error - non-ascii byte: 0x%02x, column: %d\n", name_, lineNo_, byte,
                      static_cast<int>(i + 1));
                clean = false;
            }
        }
        return clean;
    }

    void ApplyString(uint32_t id, const char* value)
    {
        wchar_t buffer[kLineBuffer] = {};
        int32_t count = ParseStringValue(buffer, value);
        if (count < 0) {
            Error(L"%ls:%d: ERROR: String syntax error\n", name_, lineNo_);
            return;
        }
        // The cleared buffer supplies the closing NULs: a one-entry list.
        Set(id, buffer, StringValueSize(id, count));
    }

    // The init string's size is its list limit, two per character, so that
    // 150 characters fit the setting's 300 on every platform. The test
    // string's size is what its dump shows: the text's bytes, whatever the
    // width of a wide character.
    static uint64_t StringValueSize(uint32_t id, int32_t count)
    {
        uint64_t characters = static_cast<uint64_t>(count);
        if (id == CFS_PELLARO_RECORD_FILE)
            return characters;
        return id == CFS_TEST_STRING ? characters * sizeof(wchar_t) : 2 * characters;
    }

    void ApplyNumber(uint32_t id, const char* value)
    {
        char* end = nullptr;
        errno = 0;
        long long number = strtoll(value, &end, 0);
        if (!*value || *end || errno == ERANGE) {
            Error(L"%ls:%d: ERROR: Not a number\n", name_, lineNo_);
            return;
        }
        uint64_t wide = static_cast<uint64_t>(number);
        Set(id, &wide, sizeof wide);
    }

    void Set(uint32_t id, void* value, uint64_t size)
    {
        if (context_->owner->SetSetting(static_cast<int32_t>(id), value, size) != CFS_RESULT_OK)
            Error(L"%ls:%d: Cannot set value\n", name_, lineNo_);
    }

    ToolContext* context_;
    const wchar_t* name_;
    int lineNo_ = 0;
    int errors_ = 0;
};

bool HasTxtExtension(const wchar_t* fileName)
{
    const wchar_t* dot = wcsrchr(fileName, L'.');
    if (!dot || wcslen(dot) != 4)
        return false;
    const wchar_t* expected = L".txt";
    for (int i = 0; i < 4; ++i)
        if (towlower(static_cast<wint_t>(dot[i])) != static_cast<wint_t>(expected[i]))
            return false;
    return true;
}

} // namespace

void ForEachDllNumber(const std::function<void(const char* name, int32_t id)>& visit)
{
    for (const SettingKey* entry = DllSettingKeys; entry->key; ++entry)
        if (entry->type == kNumber)
            visit(entry->key, static_cast<int32_t>(entry->id));
}

uint32_t SetDllSpecific(bool set, ToolContext* context, int32_t id, void* value, uint64_t size)
{
    if (!value)
        return CFS_RESULT_REFUSED;
    if (id == CFS_PELLARO_RECORD_FILE)
        return RecordingSetting(set, context, value, size);
    uint64_t* target = DllSettingTarget(context, id);
    if (!target)
        return CFS_RESULT_UNKNOWN_ID;
    if (size != sizeof(uint64_t))
        return CFS_RESULT_REFUSED;
    if (set)
        memcpy(target, value, sizeof(uint64_t));
    else
        memcpy(value, target, sizeof(uint64_t));
    return CFS_RESULT_OK;
}

uint32_t LoadProtocolFile(ToolContext* context, const wchar_t* fileName)
{
    context->LogMsg(LOG_INFO, L"LOAD protocal file: %s\n", fileName);
    if (!HasTxtExtension(fileName)) {
        context->LogMsg(LOG_ERROR, L"Wrong protocal file with invalid extension: %s. Expected extension: txt.\n",
                        fileName);
        return CFS_RESULT_REFUSED;
    }
    FILE* file = platform::OpenFileRead(fileName, "r");
    if (!file) {
        context->log->PrintCwd(LOG_ERROR);
        context->LogMsg(LOG_ERROR, L"LOAD: %s - FAILS\n", fileName);
        return CFS_RESULT_FAILED;
    }
    uint32_t result = ProtocolFileLoader(context, fileName).Load(file);
    fclose(file);
    return result;
}

void TrimSpaces(char* text)
{
    size_t length = strlen(text);
    while (length > 0 && isspace(static_cast<unsigned char>(text[length - 1])))
        text[--length] = 0;
    size_t start = 0;
    while (start < length && isspace(static_cast<unsigned char>(text[start])))
        ++start;
    memmove(text, text + start, length - start + 1);
}

int32_t ParseStringValue(wchar_t* out, const char* value)
{
    auto p = reinterpret_cast<const unsigned char*>(value);
    bool quoted = IsQuote(*p);
    if (quoted)
        ++p;
    int32_t count = 0;
    for (; *p; ++p) {
        if (quoted && IsQuote(*p))
            return p[1] ? -1 : (out[count] = 0, count);
        wchar_t c = *p;
        if (*p == '\\') {
            unsigned char e = *++p;
            if (e < 0x22 || e > 'x')
                return -1;
            long v;
            switch (e) {
            case '"': v = '"'; break;
            case '\\': v = '\\'; break;
            case 'n': v = 10; break;
            case 'r': v = 13; break;
            case 't': v = 9; break;
            case '0': case '1': case '2': case '3':
                v = ReadDigits(reinterpret_cast<const char*>(p), 3, 8);
                p += 2;
                break;
            case 'x':
                v = ReadDigits(reinterpret_cast<const char*>(p + 1), 2, 16);
                p += 2;
                break;
            case 'u':
                v = ReadDigits(reinterpret_cast<const char*>(p + 1), 4, 16);
                p += 4;
                break;
            default:
                return -1;
            }
            if (v < 0)
                return -1;
            c = static_cast<wchar_t>(v);
        }
        out[count++] = c;
    }
    out[count] = 0;
    return count;
}
