#include "io/IoRecorder.h"

#include "files/libmocf_14/shared/sha1/sha1.h"
#include "io/Rs232.h"
#include "io/UsbHid.h"
#include "platform/Platform.h"

#include <cerrno>
#include <cstdio>
#include <cwctype>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#ifdef TAMBRIX_HAVE_ZLIB
#include <unistd.h>
#include <zlib.h>
#endif

namespace {

constexpr int kFormatVersion = 2;

// The transport's own slots, called by the recording ones in front of them.
struct Slots {
    void (*destroy)(FlashIoDevice*);
    void (*purge)(FlashIoDevice*);
    int32_t (*open)(FlashIoDevice*);
    int32_t (*close)(FlashIoDevice*);
    int32_t (*writeBytes)(FlashIoDevice*, const uint8_t*, uint32_t);
    int32_t (*readBytes)(FlashIoDevice*, uint8_t*, uint32_t, uint32_t);
};

// Whole reads in a row (the packet layer reads byte by byte) make one event.
struct ReadRun {
    uint32_t count = 0;        // reads in the run; 0: none pending
    uint32_t startTick = 0;    // when the first of them began
    uint32_t firstMs = 0;      // how long the first of them took
    uint32_t asked = 0;
    uint32_t timeoutMs = 0;
    std::string bytes;
};

// A run spans at most this long, so that its bytes are never sent much
// before the host read them.
constexpr uint32_t kReadRunMs = 10;

// A host that dies (a crash, a kill) loses at most what came since the last
// flush: lines are flushed this often, at every failure, and before any wait
// this long for the device.
constexpr uint32_t kFlushMs = 100;

} // namespace

struct IoRecorder {
    FILE* file = nullptr;
#ifdef TAMBRIX_HAVE_ZLIB
    gzFile gz = nullptr;   // a *.gz recording: written through zlib on a copy of file's descriptor
#endif
    uint32_t startTick = 0;
    uint32_t flushTick = 0;
    bool unflushed = false;
    // The file could not be written: the recording ends there, the
    // operation goes on.
    bool failed = false;
    IoRecorderReport report = nullptr;
    void* reportContext = nullptr;
    uint64_t events = 0;
    bool headerWritten = false;
    std::string settings;   // the host's settings as last recorded
    // A slot that calls another slot (an open that purges) is one event.
    int depth = 0;
    Slots inner{};
    ReadRun run;
    // Purges, and the empty reads that drain the line after them, are most
    // of a flash's events: they go into the next event's line as counts.
    uint32_t purges = 0, drains = 0;
    bool drainMayFollow = false;
};

namespace {

IoRecorder* RecorderOf(FlashIoDevice* io)
{
    return io ? io->recorder : nullptr;
}

void Fail(IoRecorder* recorder, const char* what)
{
    if (recorder->failed)
        return;
    recorder->failed = true;
    if (recorder->report) {
        std::string text = std::string(what) + ": (" + std::to_string(errno) + ") " + std::strerror(errno) +
                           "; the recording ends here";
        recorder->report(recorder->reportContext, text.c_str());
    }
}

bool WriteOut(IoRecorder* recorder, const std::string& text)
{
#ifdef TAMBRIX_HAVE_ZLIB
    if (recorder->gz)
        return gzwrite(recorder->gz, text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
#endif
    return fwrite(text.data(), 1, text.size(), recorder->file) == text.size();
}

// A compressed recording is flushed to a point where it can be read back
// up to there: a killed host leaves a readable stream.
bool FlushOut(IoRecorder* recorder)
{
#ifdef TAMBRIX_HAVE_ZLIB
    if (recorder->gz)
        return gzflush(recorder->gz, Z_SYNC_FLUSH) == Z_OK;
#endif
    return fflush(recorder->file) == 0;
}

bool CloseOut(IoRecorder* recorder)
{
    bool ok = true;
#ifdef TAMBRIX_HAVE_ZLIB
    if (recorder->gz)
        ok = gzclose(recorder->gz) == Z_OK;
#endif
    return fclose(recorder->file) == 0 && ok;
}

void Flush(IoRecorder* recorder)
{
    if (recorder->failed || !recorder->unflushed)
        return;
    recorder->unflushed = false;
    recorder->flushTick = platform::TickCount();
    if (!FlushOut(recorder))
        Fail(recorder, "cannot write the recording");
}

void WriteLine(IoRecorder* recorder, const std::string& line)
{
    if (recorder->failed)
        return;
    std::string text = line + "\n";
    if (!WriteOut(recorder, text)) {
        Fail(recorder, "cannot write the recording");
        return;
    }
    recorder->unflushed = true;
    if (platform::TickCount() - recorder->flushTick >= kFlushMs)
        Flush(recorder);
}

JsonLine EventAt(IoRecorder* recorder, const char* kind, uint32_t tick)
{
    JsonLine line;
    line.Number("n", static_cast<int64_t>(++recorder->events));
    line.Number("t", static_cast<int64_t>(tick - recorder->startTick));
    line.Text("ev", kind);
    if (recorder->purges)
        line.Number("purges", recorder->purges);
    if (recorder->drains)
        line.Number("drains", recorder->drains);
    recorder->purges = recorder->drains = 0;
    recorder->drainMayFollow = false;
    return line;
}

// A purge's empty read with a short timeout (the host draining the line)
// is counted, not written.
bool CountDrain(IoRecorder* recorder, uint32_t timeoutMs, int32_t result)
{
    bool drain = recorder->drainMayFollow && (result == 0 || result == -6) && timeoutMs < kFlushMs;
    recorder->drainMayFollow = false;
    if (drain)
        ++recorder->drains;
    return drain;
}

// Purges still counted when the recording ends: a purge event carries them.
void WritePendingPurges(IoRecorder* recorder);

void FlushReadRun(IoRecorder* recorder)
{
    ReadRun& run = recorder->run;
    if (run.count == 0)
        return;
    JsonLine line = EventAt(recorder, "read", run.startTick);
    line.Number("ask", run.asked).Number("timeout", run.timeoutMs).Number("ms", run.firstMs);
    line.Number("result", run.asked);
    if (run.count > 1)
        line.Number("reads", run.count);
    line.Hex("hex", reinterpret_cast<const uint8_t*>(run.bytes.data()), run.bytes.size());
    WriteLine(recorder, line.Close());
    run.count = 0;
    run.bytes.clear();
}

// An event line: its number and time, then the event's own fields. A read
// run before it is written first.
JsonLine Event(IoRecorder* recorder, const char* kind)
{
    FlushReadRun(recorder);
    return EventAt(recorder, kind, platform::TickCount());
}

void Emit(IoRecorder* recorder, const JsonLine& line)
{
    WriteLine(recorder, line.Close());
}

// A failure is what a recording is kept for: it reaches the disk at once.
void EmitResult(IoRecorder* recorder, const JsonLine& line, int32_t result)
{
    Emit(recorder, line);
    if (result < 0)
        Flush(recorder);
}

// A read that returned all it asked for joins the run of such reads.
bool JoinReadRun(IoRecorder* recorder, const uint8_t* buffer, uint32_t length, uint32_t timeoutMs, int32_t result,
                 uint32_t startTick)
{
    if (result <= 0 || static_cast<uint32_t>(result) != length || !buffer)
        return false;
    ReadRun& run = recorder->run;
    if (run.count && (run.asked != length || run.timeoutMs != timeoutMs || startTick - run.startTick > kReadRunMs))
        FlushReadRun(recorder);
    if (run.count == 0) {
        run.startTick = startTick;
        run.firstMs = platform::TickCount() - startTick;
        run.asked = length;
        run.timeoutMs = timeoutMs;
    }
    ++run.count;
    run.bytes.append(reinterpret_cast<const char*>(buffer), length);
    return true;
}

// Runs a slot of the transport, recording it only at the outermost level.
struct Outermost {
    explicit Outermost(IoRecorder* r) : recorder(r), record(r->depth == 0) { ++r->depth; }
    ~Outermost() { --recorder->depth; }
    IoRecorder* recorder;
    bool record;
};

void RecDestroy(FlashIoDevice* io)
{
    IoRecorder* recorder = RecorderOf(io);
    if (recorder && recorder->inner.destroy)
        recorder->inner.destroy(io);
}

void RecPurge(FlashIoDevice* io)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder || !recorder->inner.purge)
        return;
    Outermost scope(recorder);
    recorder->inner.purge(io);
    if (scope.record) {
        FlushReadRun(recorder);
        ++recorder->purges;
        recorder->drainMayFollow = true;
    }
}

int32_t RecOpen(FlashIoDevice* io)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder || !recorder->inner.open)
        return -1;
    Outermost scope(recorder);
    int32_t result = recorder->inner.open(io);
    if (scope.record)
        EmitResult(recorder, Event(recorder, "open").Number("result", result), result);
    return result;
}

int32_t RecClose(FlashIoDevice* io)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder || !recorder->inner.close)
        return -1;
    Outermost scope(recorder);
    int32_t result = recorder->inner.close(io);
    if (scope.record) {
        Emit(recorder, Event(recorder, "close").Number("result", result));
        Flush(recorder);
    }
    return result;
}

int32_t RecWrite(FlashIoDevice* io, const uint8_t* data, uint32_t length)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder || !recorder->inner.writeBytes)
        return -1;
    Outermost scope(recorder);
    int32_t result = recorder->inner.writeBytes(io, data, length);
    if (scope.record)
        EmitResult(recorder, Event(recorder, "write").Hex("hex", data, length).Number("result", result),
                   result < 0 || static_cast<uint32_t>(result) < length ? -1 : 0);
    return result;
}

int32_t RecRead(FlashIoDevice* io, uint8_t* buffer, uint32_t length, uint32_t timeoutMs)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder || !recorder->inner.readBytes)
        return -1;
    Outermost scope(recorder);
    if (scope.record && timeoutMs >= kFlushMs)
        Flush(recorder);
    uint32_t start = platform::TickCount();
    int32_t result = recorder->inner.readBytes(io, buffer, length, timeoutMs);
    if (scope.record && CountDrain(recorder, timeoutMs, result))
        return result;
    if (scope.record && !JoinReadRun(recorder, buffer, length, timeoutMs, result, start)) {
        FlushReadRun(recorder);
        JsonLine line = EventAt(recorder, "read", start);
        line.Number("ask", length).Number("timeout", timeoutMs).Number("ms", platform::TickCount() - start);
        line.Number("result", result);
        if (result > 0 && buffer)
            line.Hex("hex", buffer, static_cast<uint32_t>(result) < length ? static_cast<uint32_t>(result) : length);
        // A serial read that timed out with nothing is a failure too: the
        // device fell silent.
        EmitResult(recorder, line, result > 0 ? 0 : -1);
    }
    return result;
}

// Puts the recording slots in front of the transport's; a slot the
// transport leaves null stays null.
void Wrap(IoRecorder* recorder, FlashIoDevice* io)
{
    if (io->open == RecOpen || io->readBytes == RecRead)
        return;
    recorder->inner = Slots{io->destroy, io->purge, io->open, io->close, io->writeBytes, io->readBytes};
    if (io->destroy)
        io->destroy = RecDestroy;
    if (io->purge)
        io->purge = RecPurge;
    if (io->open)
        io->open = RecOpen;
    if (io->close)
        io->close = RecClose;
    if (io->writeBytes)
        io->writeBytes = RecWrite;
    if (io->readBytes)
        io->readBytes = RecRead;
}

template <typename Slot>
void Restore(Slot& slot, Slot wrapper, Slot own)
{
    if (slot == wrapper)
        slot = own;
}

void Unwrap(IoRecorder* recorder, FlashIoDevice* io)
{
    const Slots& own = recorder->inner;
    Restore(io->destroy, &RecDestroy, own.destroy);
    Restore(io->purge, &RecPurge, own.purge);
    Restore(io->open, &RecOpen, own.open);
    Restore(io->close, &RecClose, own.close);
    Restore(io->writeBytes, &RecWrite, own.writeBytes);
    Restore(io->readBytes, &RecRead, own.readBytes);
}

void WritePendingPurges(IoRecorder* recorder)
{
    if (recorder->purges == 0)
        return;
    // The event is one purge itself; its count holds the others.
    --recorder->purges;
    Emit(recorder, EventAt(recorder, "purge", platform::TickCount()));
}

const char kHexDigits[] = "0123456789abcdef";

} // namespace

// ---- JsonLine -----------------------------------------------------------------

void JsonLine::Key(const char* key)
{
    if (text_.size() > 1)
        text_ += ',';
    text_ += '"';
    text_ += key;
    text_ += "\":";
}

JsonLine& JsonLine::Number(const char* key, int64_t value)
{
    Key(key);
    text_ += std::to_string(value);
    return *this;
}

JsonLine& JsonLine::Text(const char* key, const std::string& utf8)
{
    Key(key);
    text_ += '"';
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            text_ += '\\';
            text_ += static_cast<char>(c);
        } else if (c < 0x20) {
            text_ += "\\u00";
            text_ += kHexDigits[c >> 4];
            text_ += kHexDigits[c & 15];
        } else {
            text_ += static_cast<char>(c);
        }
    }
    text_ += '"';
    return *this;
}

JsonLine& JsonLine::Text(const char* key, const wchar_t* text)
{
    if (text)
        return Text(key, platform::WideToUtf8(text));
    return Raw(key, "null");
}

JsonLine& JsonLine::Hex(const char* key, const uint8_t* data, uint64_t length)
{
    Key(key);
    size_t at = text_.size();
    text_.resize(at + 2 + 2 * length);
    text_[at++] = '"';
    for (uint64_t i = 0; i < length; ++i) {
        text_[at++] = kHexDigits[data[i] >> 4];
        text_[at++] = kHexDigits[data[i] & 15];
    }
    text_[at] = '"';
    return *this;
}

JsonLine& JsonLine::Raw(const char* key, const std::string& json)
{
    Key(key);
    text_ += json;
    return *this;
}

// ---- the recorder ---------------------------------------------------------------

bool IoRecorderNameCompressed(const wchar_t* fileName)
{
    size_t length = fileName ? wcslen(fileName) : 0;
    return length > 3 && fileName[length - 3] == L'.' && std::towlower(fileName[length - 2]) == L'g' &&
           std::towlower(fileName[length - 1]) == L'z';
}

bool IoRecorderCompresses()
{
#ifdef TAMBRIX_HAVE_ZLIB
    return true;
#else
    return false;
#endif
}

IoRecorder* IoRecorderCreate(const wchar_t* fileName, IoRecorderReport report, void* context)
{
    FILE* file = platform::OpenFileDenyWrite(fileName, "wb");
    if (!file)
        return nullptr;
    auto* recorder = new (std::nothrow) IoRecorder;
    if (!recorder) {
        fclose(file);
        return nullptr;
    }
    recorder->file = file;
#ifdef TAMBRIX_HAVE_ZLIB
    if (IoRecorderNameCompressed(fileName)) {
        int copy = dup(fileno(file));
        recorder->gz = copy >= 0 ? gzdopen(copy, "wb") : nullptr;
        if (!recorder->gz) {
            if (copy >= 0)
                close(copy);
            fclose(file);
            delete recorder;
            return nullptr;
        }
    }
#endif
    recorder->startTick = platform::TickCount();
    recorder->flushTick = recorder->startTick;
    recorder->report = report;
    recorder->reportContext = context;
    return recorder;
}

void IoRecorderDestroy(IoRecorder* recorder, FlashIoDevice* io)
{
    if (!recorder)
        return;
    if (io && io->recorder == recorder) {
        Unwrap(recorder, io);
        io->recorder = nullptr;
    }
    FlushReadRun(recorder);
    WritePendingPurges(recorder);
    if (!CloseOut(recorder) && !recorder->failed)
        Fail(recorder, "cannot write the recording");
    delete recorder;
}

void IoRecorderAttach(IoRecorder* recorder, FlashIoDevice* io)
{
    if (!recorder || !io)
        return;
    io->recorder = recorder;
    Wrap(recorder, io);
}

namespace {

// The firmware by name, size and digest: a path may tell whose machine it
// was, and the digest says which file it was wherever it lies now.
void FirmwareFields(JsonLine& line, const wchar_t* fileName)
{
    if (!fileName) {
        line.Text("file", fileName);
        return;
    }
    std::wstring name = fileName;
    size_t slash = name.find_last_of(L"/\\:");
    line.Text("file", name.substr(slash == std::wstring::npos ? 0 : slash + 1).c_str());
    FILE* file = platform::OpenFileRead(fileName, "rb");
    if (!file)
        return;
    CSha1 sha1;
    uint8_t chunk[16384];
    uint64_t size = 0;
    for (size_t got; (got = fread(chunk, 1, sizeof chunk, file)) > 0; size += got)
        sha1.Input(chunk, static_cast<uint32_t>(got));
    bool complete = !ferror(file);
    fclose(file);
    uint8_t digest[20];
    if (!complete || sha1.Result(digest) != 0)
        return;
    line.Number("size", static_cast<int64_t>(size)).Hex("sha1", digest, sizeof digest);
}

} // namespace

void IoRecordBegin(IoRecorder* recorder, const JsonLine& header, const char* operation, const wchar_t* fileName)
{
    if (!recorder)
        return;
    std::string fields = header.Close();
    if (!recorder->headerWritten) {
        recorder->headerWritten = true;
        JsonLine first;
        first.Text("format", "tambrix01-recording").Number("formatVersion", kFormatVersion);
        // The caller's fields follow the format's own in the one object.
        std::string line = first.Close();
        line.pop_back();
        if (fields.size() > 2)
            line += "," + fields.substr(1);
        else
            line += "}";
        WriteLine(recorder, line);
    } else if (fields != recorder->settings) {
        // Set again between operations: the replay sets them up as well.
        JsonLine line = Event(recorder, "settings");
        if (fields.size() > 2)
            line.Raw("host", fields);
        Emit(recorder, line);
    }
    recorder->settings = fields;
    JsonLine begin = Event(recorder, "begin");
    begin.Text("operation", operation);
    FirmwareFields(begin, fileName);
    Emit(recorder, begin);
}

void IoRecordEnd(IoRecorder* recorder, const char* operation, uint32_t result)
{
    if (!recorder)
        return;
    Emit(recorder, Event(recorder, "end").Text("operation", operation).Number("result", result));
    Flush(recorder);
}

std::string SerialSettingsJson(const WIN32_232_SETTINGS& settings)
{
    const DCB& dcb = settings.dcb;
    JsonLine line;
    line.Number("baud", dcb.BaudRate).Number("dataBits", dcb.ByteSize);
    line.Text("parity", std::string(1, Rs232ParityLetter(dcb.Parity))).Text("stopBits", Rs232StopBitsText(dcb.StopBits));
    // The whole record, so that a replay sets exactly what the host set.
    line.Hex("record", reinterpret_cast<const uint8_t*>(&settings), sizeof settings);
    return line.Close();
}

void IoRecordSerialSetup(FlashIoDevice* io, const wchar_t* portName, const WIN32_232_SETTINGS* settings,
                         int32_t result)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder)
        return;
    JsonLine line = Event(recorder, "setup");
    line.Text("interface", "serial").Text("port", portName);
    if (settings)
        line.Raw("serial", SerialSettingsJson(*settings));
    Emit(recorder, line.Number("result", result));
    Flush(recorder);
    if (result == 0)
        Wrap(recorder, io);
}

void IoRecordUsbSetup(FlashIoDevice* io, const UsbIdentity& wanted, int32_t result)
{
    IoRecorder* recorder = RecorderOf(io);
    if (!recorder)
        return;
    JsonLine line = Event(recorder, "search");
    line.Number("vid", wanted.vendorId).Number("pid", wanted.productId).Number("mi", wanted.interfaceNumber);
    line.Text("path", wanted.devicePath);
    // Only the USB transport knows which device its search opened.
    const wchar_t* found = nullptr;
    if (result == 0 && io->open == my_usb_open && io->cookie)
        found = static_cast<UsbCookie*>(io->cookie)->identity.preservedPath;
    line.Text("found", found);
    Emit(recorder, line.Number("result", result));
    Flush(recorder);
    if (result == 0)
        Wrap(recorder, io);
}
