// Device paths of HID interfaces and what the USB transport reads from them.
// Windows paths look like
//   \\?\hid#vid_f0f0&pid_0b01&mi_00#7&2a5c3d1&0&0000#{4d1e55b2-...}
// and the Linux backend describes each hidraw node in the same shape, so the
// matching and the per-device mutex name are one piece of code:
//   hidraw#vid_f0f0&pid_0b01&mi_00#<USB interface>#/dev/hidraw0
#pragma once

#include <cstdint>
#include <string>

// "vid_%04x&pid_%04x&mi_%02x", or without the "&mi_" part.
std::wstring UsbMatchPattern(int32_t vendorId, int32_t productId, int32_t interfaceNumber);
std::wstring UsbMatchPattern(int32_t vendorId, int32_t productId);

// Lower-cases an ASCII path in place.
void UsbLowerCase(wchar_t* path);

// "Global\ZOT_TAMBRIX01_" and the path from after its first "#"; false for
// a path without one.
bool UsbDeviceMutexName(const wchar_t* path, std::wstring& name);

// The Linux identity text of a hidraw node.
std::wstring UsbHidrawPath(uint32_t vendorId, uint32_t productId, uint32_t interfaceNumber,
                           const std::string& usbInterface, const std::string& node);
// The node a path names: the part after its last "#", or the whole path.
std::string UsbHidrawNode(const wchar_t* path);
// The interface number a path names ("mi_%02x"), 0 for a path without one.
int32_t UsbPathInterfaceNumber(const wchar_t* path);
