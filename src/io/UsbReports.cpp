#include "io/UsbReports.h"

#include <algorithm>
#include <cstring>

uint32_t UsbFillOutputReport(uint8_t (&report)[kUsbReportSize], const uint8_t* data, uint32_t length)
{
    uint32_t n = std::min(length, kUsbMaxOutputPayload);
    memset(report, 0, sizeof report);
    report[0] = kUsbOutputReportId;
    report[1] = static_cast<uint8_t>(n);
    if (n > 0)
        memcpy(report + 2, data, n);
    return n;
}

bool UsbInputPayload(const uint8_t* report, uint32_t received, const uint8_t** payload, uint32_t* length)
{
    if (received < kUsbInputHeaderSize || report[0] != kUsbInputReportId)
        return false;
    uint32_t n = report[1];
    if (n > kUsbMaxInputPayload || kUsbInputHeaderSize + n > received)
        return false;
    if (report[2] != ']' || report[3] != 'X' || report[4] != '0')
        return false;
    *payload = report + kUsbInputHeaderSize;
    *length = n;
    return true;
}

uint32_t UsbDescribedReportLength(const uint8_t* descriptor, uint32_t size, uint8_t reportId, UsbReportKind kind)
{
    // Only what sizes a report: the global report size, count and id (with
    // push and pop) and the main input and output items.
    struct Globals {
        uint32_t reportSize = 0, reportCount = 0;
        uint8_t reportId = 0;
    };
    Globals globals;
    Globals stack[8];
    uint32_t depth = 0;
    uint64_t bits = 0;
    bool anyId = false;
    const uint8_t mainTag = kind == UsbReportKind::Input ? 0x8 : 0x9;
    for (uint32_t at = 0; at < size;) {
        uint8_t prefix = descriptor[at];
        if (prefix == 0xFE) {   // a long item: its data size follows
            if (at + 2 >= size)
                return 0;
            at += 3u + descriptor[at + 1];
            continue;
        }
        uint32_t dataSize = (prefix & 3) == 3 ? 4 : prefix & 3;
        if (at + 1 + dataSize > size)
            return 0;
        uint32_t value = 0;
        for (uint32_t i = 0; i < dataSize; ++i)
            value |= static_cast<uint32_t>(descriptor[at + 1 + i]) << (8 * i);
        uint8_t type = (prefix >> 2) & 3, tag = prefix >> 4;
        if (type == 1) {   // global
            if (tag == 0x7)
                globals.reportSize = value;
            else if (tag == 0x8) {
                globals.reportId = static_cast<uint8_t>(value);
                anyId = true;
            } else if (tag == 0x9)
                globals.reportCount = value;
            else if (tag == 0xA && depth < 8)
                stack[depth++] = globals;
            else if (tag == 0xB && depth > 0)
                globals = stack[--depth];
        } else if (type == 0 && tag == mainTag && globals.reportId == reportId) {
            bits += static_cast<uint64_t>(globals.reportSize) * globals.reportCount;
        }
        at += 1 + dataSize;
    }
    if (bits == 0)
        return 0;
    uint64_t bytes = (bits + 7) / 8 + (anyId ? 1 : 0);
    return bytes > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bytes);
}

bool UsbLengthsCarryFraming(uint32_t outputLength, uint32_t inputLength)
{
    return outputLength >= kUsbReportSize && outputLength <= kUsbMaxReportLength &&
           inputLength >= kUsbInputHeaderSize + kUsbMaxInputPayload && inputLength <= kUsbMaxReportLength;
}
