#include "files/LibFileHelper.h"

#include "log/Log.h"

LibFileHelper::LibFileHelper(Log* logIn) : RefCounted("LibFileHelper::LibFileHelper"), log(Retain(logIn ? logIn : new Log()))
{
}

LibFileHelper::~LibFileHelper()
{
    Release(log);
    CheckRefZero(this);
}
