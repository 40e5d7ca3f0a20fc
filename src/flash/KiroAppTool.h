// The application tool: reads the kiro application header of firmware
// images.
#pragma once

#include "log/RefCounted.h"

#include <cstdint>

class Log;
class LibElf;
class LibMOCF;
class LibFileHelper;
struct MocfObject;

class KiroAppTool : public RefCounted {
public:
    KiroAppTool(LibElf* elf, LibMOCF* mocf, LibFileHelper* fileTool, Log* log);
    ~KiroAppTool();
    KiroAppTool(const KiroAppTool&) = delete;
    KiroAppTool& operator=(const KiroAppTool&) = delete;

    const wchar_t* appName = L"app-name-here";
    MocfObject* objectList = nullptr;
    LibElf* elf = nullptr;
    LibMOCF* mocf = nullptr;
    LibFileHelper* fileTool = nullptr;
    Log* log = nullptr;
};
