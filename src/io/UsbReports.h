// The scanner's 64-byte HID reports. Host to scanner: report id 0xFD, the
// payload length (1 to 62), the payload, zeros. Scanner to host: report id
// 2, the payload length (0 to 56), "]X0", the payload.
#pragma once

#include <cstdint>

constexpr uint32_t kUsbReportSize = 64;
constexpr uint8_t kUsbOutputReportId = 0xFD;
constexpr uint8_t kUsbInputReportId = 2;
constexpr uint32_t kUsbMaxOutputPayload = 62;
constexpr uint32_t kUsbMaxInputPayload = 56;
constexpr uint32_t kUsbInputHeaderSize = 5;

// Builds the output report for the first bytes of data: the number of bytes
// it carries (at most 62).
uint32_t UsbFillOutputReport(uint8_t (&report)[kUsbReportSize], const uint8_t* data, uint32_t length);

// The payload of an input report of which `received` bytes arrived, or false
// for a report that is not one of the scanner's data reports (another id, no
// "]X0", a length above 56 or past the bytes received).
bool UsbInputPayload(const uint8_t* report, uint32_t received, const uint8_t** payload, uint32_t* length);
