// tambrix-fw: looks into firmware files and makes them.
//
//   tambrix-fw info [--json] FILE
//   tambrix-fw build -o OUT [options]
//
// Files are read by the library's own file classes, so what info reports is
// what a flash would see; build writes through the container creator and
// checks its output with the same parser before it is left on disk.
#include "files/FirmwareBuilder.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "files/libmocf_14/shared/MocfParser.h"
#include "files/libmocf_14/shared/MocfReader.h"
#include "flash/KiroAppTool.h"
#include "log/Log.h"
#include "platform/Platform.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

enum ExitCode {
    kOk = 0,
    kInvalid = 1,      // the file is refused or is not valid firmware
    kUsage = 64,
    kNoInput = 66,     // an input file cannot be opened or read
    kCantCreate = 73,  // the output file cannot be written
};

void Usage(FILE* out)
{
    std::fputs(
        "usage: tambrix-fw info [--json] FILE\n"
        "       tambrix-fw build -o OUT [options]\n"
        "\n"
        "info: the file's kind, records, digest, object table and the application\n"
        "header of every image object. --json prints one JSON object.\n"
        "\n"
        "build: writes an MOCF container (header record, SHA-1 digest record,\n"
        "object table, boot and application image) and checks it. Images come\n"
        "from single-image files or are generated from the options below.\n"
        "  -o, --output FILE       file to write\n"
        "  --boot FILE, --app FILE use this single-image file as the boot or\n"
        "                          application image\n"
        "  --no-boot, --no-app     leave the image out\n"
        "  --single boot|app       write that one image as a single-image file\n"
        "  --boot-version TEXT     sw_rev of the generated boot image (1.0.0)\n"
        "  --app-version TEXT      sw_rev of the generated application image (1.0.0)\n"
        "  --date TEXT             cc_date, e.g. \"Aug 22 2016\" (Jan 01 2024)\n"
        "  --time TEXT             cc_time, e.g. 13:45:07 (12:00:00)\n"
        "  --pname TEXT            product name (TAMBRIX01)\n"
        "  --compat IDS            compat ids of generated images, e.g. 1,2 (1)\n"
        "  --incompat IDS          incompat ids of generated images (none)\n"
        "  --table IDS             ids of the object table (the compat ids)\n"
        "  --no-table, --no-digest leave that record out\n"
        "  --boot-size N, --app-size N\n"
        "                          bytes of a generated image, header included (1024)\n"
        "  --boot-type N, --app-type N\n"
        "                          object types (0x0A000000, 0x0A000004)\n"
        "\n"
        "exit codes: 0 ok; 1 file refused or not valid; 64 bad usage;\n"
        "66 an input file cannot be read; 73 the output cannot be written\n",
        out);
}

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
    for (size_t i = 0; i < ids.size(); ++i)
        out += (i ? (json ? ", " : ",") : "") + std::to_string(ids[i]);
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
                ids += (i ? "," : "") + std::to_string(v.table[i]);
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
    std::string out = "{\"file\": " + Json(file) + ", \"kind\": " + Json(v.kind) +
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

bool ParseBuild(int argc, char** argv, BuildOptions& o, std::string& problem)
{
    std::vector<uint64_t> ids;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
        auto take = [&]() {
            ++i;
            return v;
        };
        uint64_t n = 0;
        bool ok = true;
        if (arg == "-o" || arg == "--output") ok = v && !(o.output = take()).empty();
        else if (arg == "--boot") ok = v && !(o.bootFile = take()).empty();
        else if (arg == "--app") ok = v && !(o.appFile = take()).empty();
        else if (arg == "--no-boot") o.noBoot = true;
        else if (arg == "--no-app") o.noApp = true;
        else if (arg == "--no-table") o.noTable = true;
        else if (arg == "--no-digest") o.noDigest = true;
        else if (arg == "--single") ok = v && ((o.single = take()) == "boot" || o.single == "app");
        else if (arg == "--boot-version") ok = v && (o.boot.swRev = take(), true);
        else if (arg == "--app-version") ok = v && (o.app.swRev = take(), true);
        else if (arg == "--date") ok = v && (o.boot.ccDate = o.app.ccDate = take(), true);
        else if (arg == "--time") ok = v && (o.boot.ccTime = o.app.ccTime = take(), true);
        else if (arg == "--pname") ok = v && (o.boot.pname = o.app.pname = take(), true);
        else if (arg == "--compat" || arg == "--incompat") {
            ok = ParseIds(take(), 255, ids) && ids.size() <= 16;
            std::vector<uint8_t> bytes(ids.begin(), ids.end());
            (arg == "--compat" ? o.boot.compat : o.boot.incompat) = bytes;
            (arg == "--compat" ? o.app.compat : o.app.incompat) = bytes;
        } else if (arg == "--table") {
            ok = ParseIds(take(), 0xFFFFFFFF, ids) && ids.size() <= 100;
            o.table.assign(ids.begin(), ids.end());
            o.tableGiven = true;
        } else if (arg == "--boot-size" || arg == "--app-size") {
            ok = ParseNumber(take(), MOCF_MAX_FILE, n) && n >= firmware::kImageHeaderSize;
            (arg == "--boot-size" ? o.boot : o.app).size = uint32_t(n);
        } else if (arg == "--boot-type" || arg == "--app-type") {
            ok = ParseNumber(take(), 0xFFFFFFFF, n) && IsMocfImageType(uint32_t(n));
            (arg == "--boot-type" ? o.boot : o.app).objectType = uint32_t(n);
        } else {
            problem = "unknown option " + arg;
            return false;
        }
        if (!ok) {
            problem = "bad or missing value for " + arg;
            return false;
        }
    }
    if (o.output.empty()) {
        problem = "no output file (-o)";
        return false;
    }
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

int Build(int argc, char** argv)
{
    BuildOptions o;
    std::string problem;
    if (!ParseBuild(argc, argv, o, problem)) {
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
    return kOk;
}

} // namespace

int main(int argc, char** argv)
{
    SetMocfConsoleWriter(Quiet);
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "--help" || command == "-h" || command == "help") {
        Usage(stdout);
        return kOk;
    }
    if (command == "info") {
        bool json = false;
        std::string file;
        for (int i = 2; i < argc; ++i) {
            std::string arg = argv[i];
            if (arg == "--json") {
                json = true;
            } else if (file.empty() && (arg.empty() || arg[0] != '-')) {
                file = arg;
            } else {
                Usage(stderr);
                return kUsage;
            }
        }
        if (file.empty()) {
            Usage(stderr);
            return kUsage;
        }
        return Info(file, json);
    }
    if (command == "build")
        return Build(argc, argv);
    Usage(stderr);
    return kUsage;
}
