// The application tool: reads the kiro application header of firmware
// images.
#pragma once

#include "log/RefCounted.h"

#include <cstddef>
#include <cstdint>

class Log;
class LibElf;
class LibMOCF;
class LibFileHelper;
struct MocfObject;

// The 256-byte application header at the start of every firmware image,
// unpacked. Texts are NUL-terminated by the byte after their stored width.
struct kiro_header {
    uint32_t tag;        // the record type
    uint32_t len;        // the record's payload length
    uint16_t crcimg;
    uint16_t spare;
    uint8_t type;        // 'A' application, 'B' bootloader
    uint8_t hver;
    uint8_t reserved14;
    uint8_t reserved15;
    char pname[17];
    char sw_rev[17];
    char cc_date[17];    // "Aug 22 2016"
    char cc_time[17];    // "13:45:07"
    char host[17];
    char svn[33];
    char eng[17];
    uint32_t faddr;
    uint32_t prun;
    uint32_t entry;
    uint32_t buildtime;
    uint8_t c_array[16];   // compat ids, ended by 0
    uint8_t ic_array[16];  // incompat ids, ended by 0
    uint8_t spare16[16];
    uint8_t spare32[16];
    uint8_t spare48[16];
    uint8_t spare64[16];
};

// How a stored field is read: 0, 2, 5, 8 one byte; 1, 4, 7 a 16-bit value;
// 3, 6, 13 a 32-bit value; 9, 10, 11 texts of 16, 32 and 4 characters
// (NUL bytes become blanks); 12, 14 sixteen raw bytes.
enum : uint32_t { KIRO_FIELD_END = 0xFFFFFFFF };

struct KiroHeaderField {
    uint32_t kind;
    const char* name;
    size_t member;       // offset of the member of kiro_header it fills
};

// The stored header, field by field, closed by KIRO_FIELD_END.
extern const KiroHeaderField kKiroHeaderFields[];

// Stored bytes a field of this kind takes; 0 for an unknown kind.
uint32_t KiroFieldSize(uint32_t kind);

// Unpacks stored bytes by a field table. Only storedSize bytes are read.
// 0 when the table consumed exactly 256 bytes; otherwise logs
// "Invalid r mocf transfer, len=<fields walked>" and gives -1.
int32_t UnpackKiroHeaderFields(Log* log, const KiroHeaderField* table, const uint8_t* stored, uint64_t storedSize,
                               kiro_header* out);

class KiroAppTool : public RefCounted {
public:
    KiroAppTool(LibElf* elf, LibMOCF* mocf, LibFileHelper* fileTool, Log* log);
    ~KiroAppTool();
    KiroAppTool(const KiroAppTool&) = delete;
    KiroAppTool& operator=(const KiroAppTool&) = delete;

    // Unpacks the header stored at the start of an image of storedSize
    // bytes (an image shorter than its header is refused). 0 or -1.
    int32_t UnpackKiroHeader(const uint8_t* stored, uint64_t storedSize, kiro_header* out);
    // The header of a loaded object: its data begins with the record's type
    // and payload length, which are the header's tag and len.
    int32_t UnpackObjectHeader(const MocfObject* object, kiro_header* out);

    const wchar_t* appName = L"app-name-here";
    MocfObject* objectList = nullptr;
    LibElf* elf = nullptr;
    LibMOCF* mocf = nullptr;
    LibFileHelper* fileTool = nullptr;
    Log* log = nullptr;
};
