// The parsed P_INFO report of a device.
#pragma once

#include <cstdint>

constexpr int kPinfoMaxItems = 100;
constexpr int kPinfoTagSize = 30;
constexpr int kPinfoValueSize = 100;
constexpr int kPinfoListSize = 32;

struct PinfoItem {
    char tag[kPinfoTagSize];
    char value[kPinfoValueSize];
};

struct Pinfo {
    int32_t scannerstate;            // 'A' application, 'B' bootloader, 'X' other, '?' unknown
    int32_t physical_cable_type;     // 'R' serial, 'U' USB, 'I', 'K', '?'
    uint32_t Compatable[kPinfoListSize];
    uint32_t inCompatable[kPinfoListSize];
    int32_t flash;
    int32_t physical_device_type;    // 2: charge cradle
    int32_t hub_connections;         // -1 not reported
    int32_t bt_mode;                 // 0 not reported, 1 server, 2 client
    int32_t scanner_in_cradle_state;
    int32_t hw_rev;
    int32_t pair_mode;               // 'A', 'B' or 'D'
    char scanner_bt_address[16];
    char pair_address[16];
    char boot_m_name[64];
    int32_t itemCount;
    PinfoItem items[kPinfoMaxItems];
};

// Splits report lines ("tag: value" and a line end) into items, after the
// ones already stored; stops at 100 items. 0, or -1 for a malformed line or
// a text that does not end in exactly one empty line. Tags and values longer
// than their fields are cut to fit.
int32_t ParsePinfoItems(Pinfo& pinfo, const char* text);
// The value of the first item with exactly this tag, or null.
const char* FindPinfoItem(const Pinfo& pinfo, const char* tag);
