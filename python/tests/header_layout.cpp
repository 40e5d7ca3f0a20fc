// Prints the public header's record layouts as the compiler sees them, for
// the Python package's test to compare with its ctypes records:
//   size RECORD BYTES
//   field RECORD.MEMBER OFFSET BYTES
//   bits DCB.MEMBER MASK      (the member's bits in the flags word)
#include "tambrix01/FlashTool.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#define SIZE(T) std::printf("size %s %zu\n", #T, sizeof(T))
#define FIELD(T, m) std::printf("field %s.%s %zu %zu\n", #T, #m, offsetof(T, m), sizeof(T::m))
#define BITS(m) std::printf("bits DCB.%s %u\n", #m, BitMask([](DCB& d) { d.m = 1; }, [](const DCB& d) { return uint32_t{d.m}; }))

namespace {

constexpr size_t kFlagsOffset = offsetof(DCB, BaudRate) + sizeof(uint32_t);

uint32_t FlagsWord(const DCB& d)
{
    uint32_t word;
    std::memcpy(&word, reinterpret_cast<const char*>(&d) + kFlagsOffset, sizeof word);
    return word;
}

// The member's lowest bit from setting it to 1, its width from reading it
// back out of a record of all ones.
template <typename Set, typename Get>
uint32_t BitMask(Set set, Get get)
{
    DCB d;
    std::memset(&d, 0, sizeof d);
    set(d);
    uint32_t low = FlagsWord(d);
    std::memset(&d, 0xFF, sizeof d);
    return get(d) * low;
}

} // namespace

int main()
{
    SIZE(DCB);
    FIELD(DCB, DCBlength);
    FIELD(DCB, BaudRate);
    BITS(fBinary);
    BITS(fParity);
    BITS(fOutxCtsFlow);
    BITS(fOutxDsrFlow);
    BITS(fDtrControl);
    BITS(fDsrSensitivity);
    BITS(fTXContinueOnXoff);
    BITS(fOutX);
    BITS(fInX);
    BITS(fErrorChar);
    BITS(fNull);
    BITS(fRtsControl);
    BITS(fAbortOnError);
    BITS(fDummy2);
    FIELD(DCB, wReserved);
    FIELD(DCB, XonLim);
    FIELD(DCB, XoffLim);
    FIELD(DCB, ByteSize);
    FIELD(DCB, Parity);
    FIELD(DCB, StopBits);
    FIELD(DCB, XonChar);
    FIELD(DCB, XoffChar);
    FIELD(DCB, ErrorChar);
    FIELD(DCB, EofChar);
    FIELD(DCB, EvtChar);
    FIELD(DCB, wReserved1);

    SIZE(COMMTIMEOUTS);
    FIELD(COMMTIMEOUTS, ReadIntervalTimeout);
    FIELD(COMMTIMEOUTS, ReadTotalTimeoutMultiplier);
    FIELD(COMMTIMEOUTS, ReadTotalTimeoutConstant);
    FIELD(COMMTIMEOUTS, WriteTotalTimeoutMultiplier);
    FIELD(COMMTIMEOUTS, WriteTotalTimeoutConstant);

    SIZE(WIN32_232_SETTINGS);
    FIELD(WIN32_232_SETTINGS, dcb);
    FIELD(WIN32_232_SETTINGS, timeouts);
    FIELD(WIN32_232_SETTINGS, dwInQueue);
    FIELD(WIN32_232_SETTINGS, dwOutQueue);

    SIZE(LogFileSettings);
    FIELD(LogFileSettings, outputKind);
    FIELD(LogFileSettings, fileName);
    FIELD(LogFileSettings, flagPreset);

    SIZE(StatusReportSettings);
    FIELD(StatusReportSettings, callback);
    FIELD(StatusReportSettings, context);

    SIZE(DllAssistSettings);
    FIELD(DllAssistSettings, callback);
    FIELD(DllAssistSettings, context);
    FIELD(DllAssistSettings, id);

    SIZE(FileVersionInfo);
    FIELD(FileVersionInfo, appVersion);
    FIELD(FileVersionInfo, appBuildTime);
    FIELD(FileVersionInfo, bootVersion);
    FIELD(FileVersionInfo, bootBuildTime);

    std::printf("size wchar_t %zu\n", sizeof(wchar_t));
    return 0;
}
