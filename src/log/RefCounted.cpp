#include "log/RefCounted.h"

#include "platform/Platform.h"

#include <cstdio>

[[noreturn]] static void BadRefCount(const RefCounted* object)
{
    char text[100];
    snprintf(text, sizeof text, "BAD REF COUNT: %d for %s", static_cast<int32_t>(object->refCount),
             object->name ? object->name : "");
    platform::FatalTrap(text);
}

uint32_t ReleaseRef(RefCounted* object)
{
    if (static_cast<int32_t>(object->refCount) < 1)
        BadRefCount(object);
    return --object->refCount;
}

void CheckRefZero(const RefCounted* object)
{
    if (object->refCount != 0)
        BadRefCount(object);
}
