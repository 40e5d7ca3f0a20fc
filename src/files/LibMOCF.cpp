#include "files/LibMOCF.h"

#include "files/LibFileHelper.h"
#include "log/Log.h"

LibMOCF::LibMOCF(LibFileHelper* fileToolIn, Log* logIn) : RefCounted("LibMOCF::LibMOCF"), fileTool(nullptr), log(nullptr)
{
    log = Retain(logIn ? logIn : new Log());
    fileTool = Retain(fileToolIn ? fileToolIn : new LibFileHelper(log));
}

LibMOCF::~LibMOCF()
{
    Release(fileTool);
    Release(log);
    CheckRefZero(this);
}
