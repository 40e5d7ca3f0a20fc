#include "flash/KiroAppTool.h"

#include "files/LibElf.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "log/Log.h"

#include <cstring>

#define KIRO_FIELD(kind, name, member) {kind, name, offsetof(kiro_header, member)}

const KiroHeaderField kKiroHeaderFields[] = {
    KIRO_FIELD(3, "tag", tag),
    KIRO_FIELD(3, "len", len),
    KIRO_FIELD(4, "crcimg", crcimg),
    KIRO_FIELD(1, "spare", spare),
    KIRO_FIELD(2, "type", type),
    KIRO_FIELD(8, "hver", hver),
    KIRO_FIELD(0, "", reserved14),
    KIRO_FIELD(0, "", reserved15),
    KIRO_FIELD(9, "pname", pname),
    KIRO_FIELD(9, "sw_rev", sw_rev),
    KIRO_FIELD(9, "cc_date", cc_date),
    KIRO_FIELD(9, "cc_time", cc_time),
    KIRO_FIELD(9, "host", host),
    KIRO_FIELD(10, "svn", svn),
    KIRO_FIELD(9, "eng", eng),
    KIRO_FIELD(3, "faddr", faddr),
    KIRO_FIELD(3, "prun", prun),
    KIRO_FIELD(3, "entry", entry),
    KIRO_FIELD(13, "buildtime", buildtime),
    KIRO_FIELD(12, "c_array", c_array),
    KIRO_FIELD(12, "ic_array", ic_array),
    KIRO_FIELD(14, "spare[16]", spare16),
    KIRO_FIELD(14, "spare[32]", spare32),
    KIRO_FIELD(14, "spare[48]", spare48),
    KIRO_FIELD(14, "spare[64]", spare64),
    {KIRO_FIELD_END, nullptr, 0},
};

#undef KIRO_FIELD

uint32_t KiroFieldSize(uint32_t kind)
{
    switch (kind) {
    case 0: case 2: case 5: case 8: return 1;
    case 1: case 4: case 7: return 2;
    case 3: case 6: case 13: return 4;
    case 9: return 16;
    case 10: return 32;
    case 11: return 4;
    case 12: case 14: return 16;
    default: return 0;
    }
}

namespace {

bool IsTextKind(uint32_t kind)
{
    return kind == 9 || kind == 10 || kind == 11;
}

void StoreField(const KiroHeaderField& field, const uint8_t* stored, uint32_t size, kiro_header* out)
{
    auto* member = reinterpret_cast<uint8_t*>(out) + field.member;
    if (size == 2) {
        uint16_t value = uint16_t(stored[0] | stored[1] << 8);
        memcpy(member, &value, sizeof value);
    } else if (size == 4 && !IsTextKind(field.kind)) {
        uint32_t value = uint32_t(stored[0]) | uint32_t(stored[1]) << 8 | uint32_t(stored[2]) << 16 |
                         uint32_t(stored[3]) << 24;
        memcpy(member, &value, sizeof value);
    } else {
        memcpy(member, stored, size);
        if (IsTextKind(field.kind))
            for (uint32_t i = 0; i < size; ++i)
                if (member[i] == 0)
                    member[i] = ' ';
    }
}

} // namespace

int32_t UnpackKiroHeaderFields(Log* log, const KiroHeaderField* table, const uint8_t* stored, uint64_t storedSize,
                               kiro_header* out)
{
    memset(out, 0, sizeof *out);
    uint64_t consumed = 0;
    int fields = 0;
    bool complete = table && stored;
    for (const KiroHeaderField* field = table; complete && field->kind != KIRO_FIELD_END; ++field) {
        uint32_t size = KiroFieldSize(field->kind);
        // A field past the stored bytes, or one that would not fit its
        // member, ends the walk short.
        if (size == 0 || consumed + size > storedSize ||
            field->member + size + (IsTextKind(field->kind) ? 1 : 0) > sizeof(kiro_header)) {
            complete = false;
            break;
        }
        StoreField(*field, stored + consumed, size, out);
        consumed += size;
        ++fields;
    }
    if (!complete || fields == 0 || consumed != 256) {
        LogPrint(log, LOG_ERROR, L"Invalid %c mocf transfer, len=%d\n", 'r', fields);
        return -1;
    }
    return 0;
}

KiroAppTool::KiroAppTool(LibElf* elfIn, LibMOCF* mocfIn, LibFileHelper* fileToolIn, Log* logIn)
    : RefCounted("KiroAppTool::KiroAppTool")
{
    // Missing companions are made here, each sharing the ones made before.
    log = Retain(logIn ? logIn : new Log());
    fileTool = Retain(fileToolIn ? fileToolIn : new LibFileHelper(log));
    elf = Retain(elfIn ? elfIn : new LibElf(fileTool, log));
    mocf = Retain(mocfIn ? mocfIn : new LibMOCF(fileTool, log));
}

KiroAppTool::~KiroAppTool()
{
    FreeMocfObject(objectList);
    objectList = nullptr;
    Release(elf);
    Release(log);
    Release(fileTool);
    Release(mocf);
    CheckRefZero(this);
}

int32_t KiroAppTool::UnpackKiroHeader(const uint8_t* stored, uint64_t storedSize, kiro_header* out)
{
    return UnpackKiroHeaderFields(log, kKiroHeaderFields, stored, storedSize, out);
}

int32_t KiroAppTool::UnpackObjectHeader(const MocfObject* object, kiro_header* out)
{
    if (!object)
        return UnpackKiroHeader(nullptr, 0, out);
    return UnpackKiroHeader(object->data, object->size, out);
}
