// tambrix-fw: looks into firmware files and makes them.
//
//   tambrix-fw info [--json] FILE
//   tambrix-fw build -o OUT [options]
//
// Files are read by the library's own file classes, so what info reports is
// what a flash would see; build writes through the container creator and
// checks its output with the same parser before it is left on disk.
#include "api/ToolContext.h"
#include "files/FirmwareBuilder.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/MocfParser.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "flash/KiroAppTool.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

enum ExitCode {
    kOk = 0,
    kInvalid = 1,      // the file is refused or is not valid firmware
    kUsage = 64,
    kNoInput = 66,     // an input file cannot be opened or read
    kCantCreate = 73,  // the output file cannot be written
};

const char kExitCodes[] =
    "Exit codes: 0 ok; 1 file refused or not valid; 64 bad usage; 66 an input file cannot be read;\n"
    "73 the output cannot be written.\n";

// ---- library messages ---------------------------------------------------------

// A Log that keeps what the file classes say, so the reason for a refusal
// can be shown as the library words it.
struct MessageLog {
    MessageLog()
    {
        log = Retain(new Log());
        log->flags = LOG_ERROR;
        log->output = Collect;
        log->outputContext = this;
    }
    ~MessageLog()
    {
        log->output = nullptr;
        Release(log);
    }
    static void Collect(void* context, const wchar_t* format, va_list args)
    {
        static_cast<MessageLog*>(context)->text += platform::FormatV(format, args);
    }
    // All collected lines on one line.
    std::string OneLine() const
    {
        std::string line;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            std::string part = text.substr(start, end - start);
            if (!part.empty())
                line += (line.empty() ? "" : "; ") + part;
            start = end + 1;
        }
        return line;
    }
    Log* log = nullptr;
    std::string text;
};

void ErrorLine(const std::string& file, const std::string& reason)
{
    // Most library messages name the file already.
    if (reason.find(file) != std::string::npos)
        std::fprintf(stderr, "tambrix-fw: %s\n", reason.c_str());
    else
        std::fprintf(stderr, "tambrix-fw: %s: %s\n", file.c_str(), reason.c_str());
}

void Quiet(const char*) {}

// ---- text helpers ---------------------------------------------------------------

std::string Trim(const char* text)
{
    std::string s = text;
    size_t begin = s.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return "";
    size_t end = s.find_last_not_of(" \t\r\n");
    return s.substr(begin, end - begin + 1);
}

std::string Json(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// Header texts may hold any byte; show them printable.
std::string Shown(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02x", c);
            out += escape;
        }
    }
    return out;
}

std::string Hex(uint64_t id)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%02llx", static_cast<unsigned long long>(id));
    return text;
}

std::vector<unsigned> IdList(const uint8_t* ids)
{
    std::vector<unsigned> list;
    for (int i = 0; i < 16 && ids[i]; ++i)
        list.push_back(ids[i]);
    return list;
}

std::string JoinIds(const std::vector<unsigned>& ids, bool json)
{
    std::string out = json ? "[" : "";
    // JSON has decimal numbers only; text shows ids as they are typed.
    for (size_t i = 0; i < ids.size(); ++i)
        out += (i ? (json ? ", " : ",") : "") + (json ? std::to_string(ids[i]) : Hex(ids[i]));
    if (json)
        return out + "]";
    return ids.empty() ? "-" : out;
}

// ---- info ---------------------------------------------------------------------------

struct RecordView {
    uint64_t offset;
    uint32_t type;
    uint32_t length;
    const char* role;
    bool inside;
};

struct ObjectView {
    int index;
    uint32_t type;
    uint64_t length;
    bool headerRead;
    kiro_header header;
};

struct FileView {
    std::string kind = "unknown";
    bool valid = false;
    std::string error;
    uint64_t size = 0;
    std::string digest = "absent";
    bool hasTable = false;
    std::vector<uint32_t> table;
    std::vector<RecordView> records;
    std::vector<ObjectView> objects;
};

const char* Role(uint32_t type)
{
    switch (type) {
    case MOCF_RECORD_HEADER: return "header";
    case MOCF_RECORD_DIGEST: return "digest";
    case MOCF_RECORD_TABLE: return "table";
    default: return IsMocfImageType(type) ? "image" : "object";
    }
}

// The record structure straight from the bytes, for valid and refused files
// alike; the walk is the parser's, so it never leaves the buffer.
void ReadStructure(const uint8_t* bytes, uint32_t size, FileView& view)
{
    view.size = size;
    if (size < 8)
        return;
    uint32_t tag = ReadLe32(bytes);
    if (IsMocfImageType(tag)) {
        view.kind = "single";
        view.records.push_back({0, tag, ReadLe32(bytes + 4), "image", uint64_t(ReadLe32(bytes + 4)) + 8 <= size});
        return;
    }
    if (tag != MOCF_TAG)
        return;
    view.kind = "container";
    CMocfParser parser(bytes, size);
    TlvObjectFind cursor;
    for (bool more = parser.FirstRecord(cursor); more; more = parser.NextRecord(cursor)) {
        uint32_t type = CTlvContainerParser::RecordType(cursor.pRecord);
        view.records.push_back({uint64_t(cursor.pRecord - bytes), type, CTlvContainerParser::RecordLength(cursor.pRecord),
                                Role(type), parser.PayloadInside(cursor.pRecord)});
    }

    const uint8_t* record = nullptr;
    uint32_t position = 0;
    if (parser.FindRecord(MOCF_RECORD_DIGEST, &record, &position)) {
        uint8_t digest[SHA1HashSize];
        bool good = CTlvContainerParser::RecordLength(record) == SHA1HashSize && parser.PayloadInside(record) &&
                    parser.ComputeDigest(digest) && memcmp(digest, record + 8, SHA1HashSize) == 0;
        view.digest = good ? "valid" : "invalid";
    }
    if (parser.FindRecord(MOCF_RECORD_TABLE, &record, &position)) {
        uint32_t length = CTlvContainerParser::RecordLength(record);
        if (length >= 4 && parser.PayloadInside(record)) {
            view.hasTable = true;
            uint64_t count = ReadLe32(record + 8);
            for (uint64_t i = 0; i < count && 4 * (i + 2) <= length; ++i)
                view.table.push_back(ReadLe32(record + 12 + 4 * i));
        }
    }
}

void ReadObjects(LibMOCF* mocf, KiroAppTool* appTool, FileView& view)
{
    // The enumeration of ObjectAt: the fixed slots that are present, then
    // the object chain. Walked directly, as ObjectAt from the start for
    // every index would be quadratic on a file of many records.
    int index = 0;
    for (MocfObject* slot : {mocf->container, mocf->header, mocf->digest, mocf->table})
        index += slot ? 1 : 0;
    for (MocfObject* node = mocf->objects; node; node = node->next, ++index) {
        if (!IsMocfImageType(uint32_t(node->type)))
            continue;
        ObjectView object{index, uint32_t(node->type), node->size - 8, false, {}};
        object.headerRead = appTool->UnpackObjectHeader(node, &object.header) == 0;
        view.objects.push_back(object);
    }
}

void PrintText(const std::string& file, const FileView& v)
{
    std::printf("%s: %s, %llu bytes, %s\n", file.c_str(), v.kind.c_str(), static_cast<unsigned long long>(v.size),
                v.valid ? "valid" : "NOT valid");
    if (v.kind == "unknown")
        return;
    std::printf("digest: %s\n", v.digest.c_str());
    std::printf("records:\n  %10s  %-10s  %10s  %s\n", "offset", "type", "length", "role");
    for (const RecordView& r : v.records)
        std::printf("  %10llu  0x%08X  %10u  %s%s\n", static_cast<unsigned long long>(r.offset), r.type, r.length, r.role,
                    r.inside ? "" : " (runs past the end)");
    if (v.kind == "container") {
        if (v.hasTable) {
            std::string ids;
            for (size_t i = 0; i < v.table.size(); ++i)
                ids += (i ? "," : "") + Hex(v.table[i]);
            std::printf("table: %zu ids: %s\n", v.table.size(), ids.empty() ? "-" : ids.c_str());
        } else {
            std::printf("table: none\n");
        }
    }
    if (!v.valid)
        return;
    std::printf("objects:\n");
    for (const ObjectView& o : v.objects) {
        std::printf("  [%d] type 0x%08X, length %llu\n", o.index, o.type, static_cast<unsigned long long>(o.length));
        if (!o.headerRead) {
            std::printf("      header: shorter than 256 bytes, not read\n");
            continue;
        }
        const kiro_header& h = o.header;
        std::printf("      header: type %s, sw_rev \"%s\", cc_date \"%s\", cc_time \"%s\", pname \"%s\"\n",
                    Shown(std::string(1, char(h.type))).c_str(), Shown(Trim(h.sw_rev)).c_str(),
                    Shown(Trim(h.cc_date)).c_str(), Shown(Trim(h.cc_time)).c_str(), Shown(Trim(h.pname)).c_str());
        std::printf("      compat %s, incompat %s\n", JoinIds(IdList(h.c_array), false).c_str(),
                    JoinIds(IdList(h.ic_array), false).c_str());
    }
}

void PrintJson(const std::string& file, const FileView& v)
{
    std::string out = "{\"event\": \"info\", \"file\": " + Json(file) + ", \"kind\": " + Json(v.kind) +
                      ", \"valid\": " + (v.valid ? "true" : "false") + ", \"size\": " + std::to_string(v.size);
    if (!v.valid)
        out += ", \"error\": " + Json(v.error);
    out += ", \"digest\": " + Json(v.digest) + ", \"table\": ";
    if (v.hasTable) {
        out += "[";
        for (size_t i = 0; i < v.table.size(); ++i)
            out += (i ? ", " : "") + std::to_string(v.table[i]);
        out += "]";
    } else {
        out += "null";
    }
    out += ", \"records\": [";
    for (size_t i = 0; i < v.records.size(); ++i) {
        const RecordView& r = v.records[i];
        out += std::string(i ? ", " : "") + "{\"offset\": " + std::to_string(r.offset) +
               ", \"type\": " + std::to_string(r.type) + ", \"length\": " + std::to_string(r.length) +
               ", \"role\": " + Json(r.role) + ", \"inside\": " + (r.inside ? "true" : "false") + "}";
    }
    out += "], \"objects\": [";
    for (size_t i = 0; i < v.objects.size(); ++i) {
        const ObjectView& o = v.objects[i];
        out += std::string(i ? ", " : "") + "{\"index\": " + std::to_string(o.index) +
               ", \"type\": " + std::to_string(o.type) + ", \"length\": " + std::to_string(o.length) + ", \"header\": ";
        if (!o.headerRead) {
            out += "null}";
            continue;
        }
        const kiro_header& h = o.header;
        out += "{\"type\": " + Json(std::string(1, char(h.type))) + ", \"sw_rev\": " + Json(Trim(h.sw_rev)) +
               ", \"cc_date\": " + Json(Trim(h.cc_date)) + ", \"cc_time\": " + Json(Trim(h.cc_time)) +
               ", \"pname\": " + Json(Trim(h.pname)) + ", \"compat\": " + JoinIds(IdList(h.c_array), true) +
               ", \"incompat\": " + JoinIds(IdList(h.ic_array), true) + "}}";
    }
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
}

int Info(const std::string& file, bool json)
{
    MessageLog messages;
    auto* mocf = Retain(new LibMOCF(nullptr, messages.log));
    auto* appTool = Retain(new KiroAppTool(nullptr, mocf, mocf->fileTool, messages.log));
    std::wstring name = platform::Utf8ToWide(file);

    FileView view;
    int32_t result = mocf->LoadFile(name.c_str());
    view.valid = mocf->kind != MOCF_KIND_NONE;
    int code = kOk;
    if (!view.valid) {
        view.error = messages.OneLine();
        code = result == 0 ? kNoInput : kInvalid;
    } else {
        ReadObjects(mocf, appTool, view);
    }

    // The raw structure, read once more for the record view.
    if (code != kNoInput) {
        MessageLog quiet;
        LibFileHelper reader(quiet.log);
        AddRef(&reader);
        if (FILE* in = reader.OpenFile(name.c_str())) {
            uint8_t* bytes = nullptr;
            uint32_t size = 0;
            if (reader.LoadBin(in, &bytes, &size) == 0)
                ReadStructure(bytes, size, view);
            free(bytes);
            fclose(in);
        }
        ReleaseRef(&reader);
    }

    if (json)
        PrintJson(file, view);
    else if (code != kNoInput)
        PrintText(file, view);
    if (code != kOk)
        ErrorLine(file, view.error.empty() ? "not loadable" : view.error);

    Release(appTool);
    Release(mocf);
    return code;
}

// ---- build ------------------------------------------------------------------------------

struct BuildOptions {
    std::string output;
    std::string bootFile, appFile;
    bool noBoot = false, noApp = false, noTable = false, noDigest = false;
    std::string single;
    firmware::ImageRecipe boot = firmware::DefaultBoot();
    firmware::ImageRecipe app = firmware::DefaultApp();
    bool tableGiven = false;
    std::vector<uint32_t> table;
    bool quiet = false;
};

bool ParseNumber(const char* text, uint64_t limit, uint64_t& value)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text, &end, 0);
    if (errno || *end || text[0] == '-' || parsed > limit)
        return false;
    value = parsed;
    return true;
}

bool ParseIds(const char* text, uint64_t limit, std::vector<uint64_t>& ids)
{
    ids.clear();
    if (!text)
        return false;
    std::string list = text;
    if (list.empty() || list == "-" || list == "none")
        return true;
    size_t start = 0;
    for (;;) {
        size_t comma = list.find(',', start);
        std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        uint64_t id = 0;
        if (!ParseNumber(item.c_str(), limit, id) || id == 0)
            return false;
        ids.push_back(id);
        if (comma == std::string::npos)
            return true;
        start = comma + 1;
    }
}

// Reads a single-image file through the library: it must load as one image.
int LoadImageFile(const std::string& file, std::vector<uint8_t>& image)
{
    MessageLog messages;
    auto* mocf = Retain(new LibMOCF(nullptr, messages.log));
    std::wstring name = platform::Utf8ToWide(file);
    int32_t result = mocf->LoadFile(name.c_str());
    int code = kOk;
    if (mocf->kind == MOCF_KIND_NONE) {
        ErrorLine(file, messages.OneLine());
        code = result == 0 ? kNoInput : kInvalid;
    } else if (mocf->kind != MOCF_KIND_SINGLE) {
        ErrorLine(file, "not a single-image file");
        code = kInvalid;
    } else {
        MocfObject* node = mocf->ObjectAt(0);
        image.assign(node->data, node->data + node->size);
    }
    Release(mocf);
    return code;
}

// The values CLI11 hands over as typed; numbers and id lists are read
// here as strtoull reads them (0x.. hex, 0.. octal, else decimal).
struct BuildTexts {
    std::string compat, incompat, table, bootSize, appSize, bootType, appType;
    std::string date, time, pname;
};

bool ConvertBuild(const BuildTexts& t, BuildOptions& o, std::string& problem)
{
    std::vector<uint64_t> ids;
    uint64_t n = 0;
    auto bad = [&](const char* option) {
        problem = std::string("bad value for ") + option;
        return false;
    };
    for (const auto& [text, option, compat] :
         {std::tuple{&t.compat, "--compat", true}, std::tuple{&t.incompat, "--incompat", false}}) {
        if (text->empty())
            continue;
        if (!ParseIds(text->c_str(), 255, ids) || ids.size() > 16)
            return bad(option);
        std::vector<uint8_t> bytes(ids.begin(), ids.end());
        (compat ? o.boot.compat : o.boot.incompat) = bytes;
        (compat ? o.app.compat : o.app.incompat) = bytes;
    }
    if (!t.table.empty()) {
        if (!ParseIds(t.table.c_str(), 0xFFFFFFFF, ids) || ids.size() > 100)
            return bad("--table");
        o.table.assign(ids.begin(), ids.end());
        o.tableGiven = true;
    }
    for (const auto& [text, option, recipe] :
         {std::tuple{&t.bootSize, "--boot-size", &o.boot}, std::tuple{&t.appSize, "--app-size", &o.app}}) {
        if (text->empty())
            continue;
        if (!ParseNumber(text->c_str(), MOCF_MAX_FILE, n) || n < firmware::kImageHeaderSize)
            return bad(option);
        recipe->size = uint32_t(n);
    }
    for (const auto& [text, option, recipe] :
         {std::tuple{&t.bootType, "--boot-type", &o.boot}, std::tuple{&t.appType, "--app-type", &o.app}}) {
        if (text->empty())
            continue;
        if (!ParseNumber(text->c_str(), 0xFFFFFFFF, n) || !IsMocfImageType(uint32_t(n)))
            return bad(option);
        recipe->objectType = uint32_t(n);
    }
    if (!t.date.empty())
        o.boot.ccDate = o.app.ccDate = t.date;
    if (!t.time.empty())
        o.boot.ccTime = o.app.ccTime = t.time;
    if (!t.pname.empty())
        o.boot.pname = o.app.pname = t.pname;
    if ((o.single == "boot" && o.noBoot) || (o.single == "app" && o.noApp)) {
        problem = "--single names an image that is left out";
        return false;
    }
    return true;
}

int MakeOneImage(const std::string& file, const firmware::ImageRecipe& recipe, const char* what,
                 std::vector<uint8_t>& image)
{
    if (!file.empty())
        return LoadImageFile(file, image);
    std::string error;
    if (!firmware::BuildImage(recipe, image, &error)) {
        std::fprintf(stderr, "tambrix-fw: %s image: %s\n", what, error.c_str());
        return kUsage;
    }
    return kOk;
}

// One line on what was written, for the user to check before using it.
void PrintWritten(const BuildOptions& o, bool wantBoot, bool wantApp, size_t size)
{
    auto image = [&](const char* name, const std::string& file, const firmware::ImageRecipe& r) {
        return std::string(name) + (file.empty() ? " " + r.swRev + " (" + std::to_string(r.size) + " bytes)"
                                                 : " from " + file);
    };
    std::vector<unsigned> compat(o.app.compat.begin(), o.app.compat.end());
    std::string what = o.single.empty() ? "MOCF container" : "single-image file";
    std::string parts;
    if (wantBoot)
        parts += image("bootloader", o.bootFile, o.boot);
    if (wantApp)
        parts += (parts.empty() ? "" : ", ") + image("application", o.appFile, o.app);
    std::printf("tambrix-fw: wrote %s: %s of %zu bytes: %s", o.output.c_str(), what.c_str(), size, parts.c_str());
    // Ids of images taken from files are in their own headers.
    if ((wantBoot && o.bootFile.empty()) || (wantApp && o.appFile.empty()))
        std::printf("; compat %s", JoinIds(compat, false).c_str());
    if (o.single.empty()) {
        std::vector<uint32_t> table = o.tableGiven ? o.table : std::vector<uint32_t>(compat.begin(), compat.end());
        std::string ids;
        for (size_t i = 0; i < table.size(); ++i)
            ids += (i ? "," : "") + Hex(table[i]);
        std::printf("; object table %s; digest %s", o.noTable ? "none" : ids.empty() ? "-" : ids.c_str(),
                    o.noDigest ? "none" : "SHA-1");
    }
    std::printf("\n");
}

int Build(BuildOptions& o, const BuildTexts& texts)
{
    std::string problem;
    if (!ConvertBuild(texts, o, problem)) {
        std::fprintf(stderr, "tambrix-fw: build: %s\n", problem.c_str());
        return kUsage;
    }

    std::vector<uint8_t> boot, app;
    bool wantBoot = o.single.empty() ? !o.noBoot : o.single == "boot";
    bool wantApp = o.single.empty() ? !o.noApp : o.single == "app";
    int code;
    if (wantBoot && (code = MakeOneImage(o.bootFile, o.boot, "boot", boot)) != kOk)
        return code;
    if (wantApp && (code = MakeOneImage(o.appFile, o.app, "application", app)) != kOk)
        return code;

    std::vector<uint8_t> bytes;
    if (!o.single.empty()) {
        bytes = wantBoot ? boot : app;
    } else {
        firmware::ContainerRecipe recipe;
        recipe.digest = !o.noDigest;
        recipe.table = !o.noTable;
        if (o.tableGiven)
            recipe.tableIds = o.table;
        else
            recipe.tableIds.assign(o.app.compat.begin(), o.app.compat.end());
        if (wantBoot)
            recipe.images.push_back(boot);
        if (wantApp)
            recipe.images.push_back(app);
        std::string error;
        if (!firmware::BuildContainer(recipe, bytes, &error)) {
            std::fprintf(stderr, "tambrix-fw: %s: %s\n", o.output.c_str(), error.c_str());
            return kInvalid;
        }
    }

    // What is written must load: check it with the library before it is kept.
    {
        MessageLog messages;
        auto* mocf = Retain(new LibMOCF(nullptr, messages.log));
        mocf->fileName = platform::Utf8ToWide(o.output);
        bool loads = bytes.size() <= MOCF_MAX_FILE && mocf->ParseImage(bytes.data(), uint32_t(bytes.size())) == 0;
        std::string reason = bytes.size() > MOCF_MAX_FILE ? "larger than 16 MiB" : messages.OneLine();
        Release(mocf);
        if (!loads) {
            ErrorLine(o.output, "would not load: " + reason);
            return kInvalid;
        }
    }

    FILE* out = std::fopen(o.output.c_str(), "wb");
    if (!out) {
        ErrorLine(o.output, std::strerror(errno));
        return kCantCreate;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    written = std::fclose(out) == 0 && written;
    if (!written) {
        ErrorLine(o.output, "write failed");
        std::remove(o.output.c_str());
        return kCantCreate;
    }
    if (!o.quiet)
        PrintWritten(o, wantBoot, wantApp, bytes.size());
    return kOk;
}

void AddBuildOptions(CLI::App& build, BuildOptions& o, BuildTexts& t)
{
    build.add_option("-o,--output", o.output, "file to write")->required()->type_name("FILE");
    build.add_option("--boot", o.bootFile, "use this single-image file as the boot image")->type_name("FILE");
    build.add_option("--app", o.appFile, "use this single-image file as the application image")->type_name("FILE");
    build.add_flag("--no-boot", o.noBoot, "leave the boot image out");
    build.add_flag("--no-app", o.noApp, "leave the application image out");
    build.add_option("--single", o.single, "write that one image as a single-image file")
        ->check(CLI::IsMember({"boot", "app"}));
    build.add_option("--boot-version", o.boot.swRev, "sw_rev of the generated boot image (1.0.0)")
        ->type_name("TEXT");
    build.add_option("--app-version", o.app.swRev, "sw_rev of the generated application image (1.0.0)")
        ->type_name("TEXT");
    build.add_option("--date", t.date, "cc_date, e.g. \"Aug 22 2016\" (Jan 01 2024)")->type_name("TEXT");
    build.add_option("--time", t.time, "cc_time, e.g. 13:45:07 (12:00:00)")->type_name("TEXT");
    build.add_option("--pname", t.pname, "product name (TAMBRIX01)")->type_name("TEXT");
    build.add_option("--compat", t.compat, "compat ids of generated images, e.g. 0x41,0x42 (1); hex, octal or decimal")
        ->type_name("IDS");
    build.add_option("--incompat", t.incompat, "incompat ids of generated images (none)")->type_name("IDS");
    build.add_option("--table", t.table, "ids of the object table (the compat ids)")->type_name("IDS");
    build.add_flag("--no-table", o.noTable, "leave the object table out");
    build.add_flag("--no-digest", o.noDigest, "leave the SHA-1 digest record out");
    build.add_option("--boot-size", t.bootSize, "bytes of the generated boot image, header included (1024)")
        ->type_name("N");
    build.add_option("--app-size", t.appSize, "bytes of the generated application image, header included (1024)")
        ->type_name("N");
    build.add_option("--boot-type", t.bootType, "object type of the boot image (0x0A000000)")->type_name("N");
    build.add_option("--app-type", t.appType, "object type of the application image (0x0A000004)")->type_name("N");
    build.add_flag("-q,--quiet", o.quiet, "say nothing on success");
    build.footer(std::string("Writes an MOCF container (header record, SHA-1 digest record, object table, boot and\n"
                             "application image) and checks it with the library before keeping it; images come from\n"
                             "single-image files or are generated from the options. Says what it wrote.\n") +
                 kExitCodes);
}

} // namespace

int main(int argc, char** argv)
{
    SetMocfConsoleWriter(Quiet);
    CLI::App app{"tambrix-fw: looks into firmware files (MOCF containers, single images) and makes them",
                 "tambrix-fw"};
    // Options are spelt --name on every platform: a path such as /tmp/fw.mocf
    // is an argument, not a Windows-style option.
    app.allow_windows_style_options(false);
    app.require_subcommand(1);
    // The library's classes are linked into this program, not loaded.
    app.set_version_flag("--version",
                         std::string("tambrix-fw ") + TAMBRIX_TOOL_VERSION + "\nlibrary: " +
                             platform::WideToUtf8(VersionText) + "\nlibrary file: linked into this program",
                         "show this program's version and the library's, and exit");
    app.footer(std::string("tambrix-fw COMMAND --help describes a command.\n") + kExitCodes);

    bool json = false;
    std::string file;
    CLI::App* info = app.add_subcommand("info", "the file's kind, records, digest, object table and image headers");
    info->add_option("FILE", file, "firmware file")->required();
    info->add_flag("--json", json, "print one JSON object (ids as decimal numbers)");
    info->footer(std::string("Reads the file with the library's own file classes: what it shows is what a flash\n"
                             "would see. Ids are shown in hex.\n") +
                 kExitCodes);

    BuildOptions build;
    BuildTexts texts;
    CLI::App* make = app.add_subcommand("build", "write an MOCF container or a single-image file");
    AddBuildOptions(*make, build, texts);

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "tambrix-fw: %s (see --help)\n", e.what());
        return kUsage;
    }
    if (*info)
        return Info(file, json);
    return Build(build, texts);
}
