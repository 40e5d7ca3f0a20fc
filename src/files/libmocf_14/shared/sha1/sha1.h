// SHA-1 with the context and result codes of the RFC 3174 reference
// implementation, behind the small hash interface the container parser uses.
#pragma once

#include <cstdint>

enum : int32_t {
    shaSuccess = 0,
    shaNull = 1,          // a null pointer was handed in
    shaInputTooLong = 2,  // more than 2^64 - 1 bits
    shaStateError = 3,    // Input after Result
};

enum : uint32_t { SHA1HashSize = 20 };

class CHash {
public:
    virtual int32_t Compute(const void* pBuffer, uint32_t length, uint8_t* pDigest) = 0;
    virtual int32_t Reset() = 0;
    virtual int32_t Input(const void* pBuffer, uint32_t length) = 0;
    virtual int32_t Result(uint8_t* pDigest) = 0;

protected:
    CHash() = default;
    ~CHash() = default;
};

struct SHA1Context {
    uint32_t Intermediate_Hash[SHA1HashSize / 4];
    uint32_t Length_Low;    // message length in bits
    uint32_t Length_High;
    int16_t Message_Block_Index;
    uint8_t Message_Block[64];
    int32_t Computed;
    int32_t Corrupted;
};

class CSha1 : public CHash {
public:
    CSha1();
    ~CSha1() = default;

    // Reset, Input and Result in one; returns Result's code.
    int32_t Compute(const void* pBuffer, uint32_t length, uint8_t* pDigest) override;
    int32_t Reset() override;
    int32_t Input(const void* pBuffer, uint32_t length) override;
    // Completes the message once; later calls give the same digest.
    int32_t Result(uint8_t* pDigest) override;

    SHA1Context m_Sha1Context;

private:
    void ProcessMessageBlock(const uint8_t* block);
    void PadMessage();
};
