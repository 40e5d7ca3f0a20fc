// Firmware files from anywhere: the in-memory import of LibMOCF, the walk
// over its objects with their application headers, and the container
// parser and record reader on the raw bytes.
#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/MocfParser.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "flash/KiroAppTool.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cstdint>
#include <cstring>

namespace {

void Quiet(const char*) {}

// Formats every message, as a real log would, and drops it.
void Discard(void*, const wchar_t* format, va_list args)
{
    (void)platform::FormatV(format, args);
}

struct Tools {
    Tools()
    {
        SetMocfConsoleWriter(Quiet);
        log = Retain(new Log());
        log->flags = 0xFFFFFFFF;
        log->output = Discard;
        mocf = Retain(new LibMOCF(nullptr, log));
        appTool = Retain(new KiroAppTool(nullptr, mocf, nullptr, log));
    }
    Log* log;
    LibMOCF* mocf;
    KiroAppTool* appTool;
};

// Reads every byte handed out, so a pointer past the input shows at once.
volatile uint8_t g_sink;
void Touch(const uint8_t* data, uint64_t size)
{
    uint8_t x = 0;
    for (uint64_t i = 0; i < size; ++i)
        x ^= data[i];
    g_sink = x;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Tools* tools = new Tools();
    if (size == 0 || size > 0x1000040)
        return 0;

    LibMOCF* mocf = tools->mocf;
    mocf->ParseImage(data, uint32_t(size));
    int32_t count = mocf->ObjectCount();
    for (int32_t i = 0; i < count; ++i) {
        MocfObject* node = mocf->ObjectAt(i);
        if (!node)
            __builtin_trap();   // the count and the enumeration disagree
        Touch(node->data, node->size);
        kiro_header header;
        if (tools->appTool->UnpackObjectHeader(node, &header) == 0 && memchr(header.sw_rev, 0, 17) == nullptr)
            __builtin_trap();   // an unpacked text without its end
    }
    if (mocf->ObjectAt(count) != nullptr)
        __builtin_trap();
    mocf->Clear();

    CMocfParser parser(data, uint32_t(size));
    uint8_t digest[SHA1HashSize];
    parser.IsValid();
    parser.ComputeDigest(digest);

    MocfReader reader;
    reader.Init(data, uint32_t(size));
    uint32_t type = 0, length = 0;
    const uint8_t* payload = nullptr;
    for (uint32_t index = 0; index < 4096 && reader.GetObjectRecord(index, &type, &length, &payload) == 0; ++index)
        Touch(payload, length);
    return 0;
}
