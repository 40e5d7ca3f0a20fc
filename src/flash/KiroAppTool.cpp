#include "flash/KiroAppTool.h"

#include "files/LibElf.h"
#include "files/LibFileHelper.h"
#include "files/LibMOCF.h"
#include "log/Log.h"

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
    // objectList holds no nodes until the file code fills it.
    Release(elf);
    Release(log);
    Release(fileTool);
    Release(mocf);
    CheckRefZero(this);
}
