// Reference counting shared by every long-lived object of the library.
// Such an object begins with its identity text and its count; a holder
// increments the count when it keeps the pointer and releases it when done.
// Counting errors are programming errors and end the process.
#pragma once

#include <cstdint>

struct RefCounted {
    const char* name;
    uint32_t refCount = 0;

    explicit RefCounted(const char* identity) : name(identity) {}
};

inline void AddRef(RefCounted* object) { ++object->refCount; }

// Decrements and returns the new count; traps when nothing was held.
uint32_t ReleaseRef(RefCounted* object);

// Traps when the count is not zero; every such destructor ends with it.
void CheckRefZero(const RefCounted* object);

// Takes a reference and returns the pointer, for member initialisation.
template <typename T>
T* Retain(T* object)
{
    AddRef(object);
    return object;
}

// Releases the reference and destroys the object when it was the last one.
template <typename T>
void Release(T*& object)
{
    if (object && ReleaseRef(object) == 0)
        delete object;
    object = nullptr;
}
