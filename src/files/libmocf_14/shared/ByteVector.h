// The growable byte buffer of the container classes: begin, end, capacity.
// It grows by half its capacity (at least to the size needed), reports
// "vector<T> too long" as std::length_error when the size would overflow and
// lets std::bad_alloc through when memory runs out; callers at the library's
// edge turn both into result codes.
#pragma once

#include <cstddef>
#include <cstdint>

class ByteVector {
public:
    ByteVector() = default;
    ~ByteVector();
    ByteVector(const ByteVector&) = delete;
    ByteVector& operator=(const ByteVector&) = delete;

    uint8_t* Data() { return m_Begin; }
    const uint8_t* Data() const { return m_Begin; }
    size_t Size() const { return size_t(m_End - m_Begin); }
    size_t Capacity() const { return size_t(m_Capacity - m_Begin); }

    void Clear() { m_End = m_Begin; }   // keeps the storage
    void Release();                     // frees the storage
    void Reserve(size_t capacity);
    // data must not point into this vector.
    void Append(const void* data, size_t length);
    void PushBack(uint8_t byte) { Append(&byte, 1); }
    // Appends zero bytes.
    void AppendZeros(size_t length);

private:
    void Grow(size_t needed);
    // Makes room for length more bytes and returns where they go.
    uint8_t* Extend(size_t length);

    uint8_t* m_Begin = nullptr;
    uint8_t* m_End = nullptr;
    uint8_t* m_Capacity = nullptr;
};
