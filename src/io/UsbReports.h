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
// The largest report the transport reads or writes (its block's buffers).
constexpr uint32_t kUsbMaxReportLength = 256;

enum class UsbReportKind { Input, Output };

// The length in bytes, report id included, of the report with this id and
// kind that a HID report descriptor declares; 0 when it declares none (or
// the descriptor ends inside an item).
uint32_t UsbDescribedReportLength(const uint8_t* descriptor, uint32_t size, uint8_t reportId, UsbReportKind kind);

// Whether reports of these lengths (report id included, as HidP_GetCaps
// gives them) carry the scanner's framing: an output report of 64 bytes or
// more, an input report long enough for its header and 56 bytes, neither
// past kUsbMaxReportLength.
bool UsbLengthsCarryFraming(uint32_t outputLength, uint32_t inputLength);

// Builds the output report for the first bytes of data: the number of bytes
// it carries (at most 62).
uint32_t UsbFillOutputReport(uint8_t (&report)[kUsbReportSize], const uint8_t* data, uint32_t length);

// The payload of an input report of which `received` bytes arrived, or false
// for a report that is not one of the scanner's data reports (another id, no
// "]X0", a length above 56 or past the bytes received).
bool UsbInputPayload(const uint8_t* report, uint32_t received, const uint8_t** payload, uint32_t* length);
