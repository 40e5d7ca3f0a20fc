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
