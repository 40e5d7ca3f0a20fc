#include "files/libmocf_14/shared/ByteVector.h"

#include "platform/Platform.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {
// Sizes are kept well inside what a signed pointer difference can hold.
constexpr size_t kMaxSize = size_t(PTRDIFF_MAX) / 2;
} // namespace

ByteVector::~ByteVector()
{
    Release();
}

void ByteVector::Release()
{
    free(m_Begin);
    m_Begin = m_End = m_Capacity = nullptr;
}

void ByteVector::Reserve(size_t capacity)
{
    if (capacity > Capacity())
        Grow(capacity);
}

void ByteVector::Grow(size_t needed)
{
    if (needed > kMaxSize)
        throw std::length_error("vector<T> too long");
    size_t capacity = Capacity();
    size_t grown = capacity > kMaxSize - capacity / 2 ? needed : capacity + capacity / 2;
    if (grown < needed)
        grown = needed;
    // A container copy is megabytes: large pages make filling it cheap.
    auto* fresh = static_cast<uint8_t*>(platform::AllocateLarge(grown));
    if (!fresh)
        throw std::bad_alloc();
    size_t size = Size();
    if (size)
        memcpy(fresh, m_Begin, size);
    free(m_Begin);
    m_Begin = fresh;
    m_End = fresh + size;
    m_Capacity = fresh + grown;
}

uint8_t* ByteVector::Extend(size_t length)
{
    if (length > kMaxSize - Size())
        throw std::length_error("vector<T> too long");
    if (length > size_t(m_Capacity - m_End))
        Grow(Size() + length);
    uint8_t* at = m_End;
    m_End += length;
    return at;
}

void ByteVector::Append(const void* data, size_t length)
{
    if (length)
        memcpy(Extend(length), data, length);
}

void ByteVector::AppendZeros(size_t length)
{
    if (length)
        memset(Extend(length), 0, length);
}
