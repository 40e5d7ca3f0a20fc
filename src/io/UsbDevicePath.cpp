#include "io/UsbDevicePath.h"

#include "platform/Platform.h"

#include <cwchar>

namespace {

// As "%0*x" would print it.
std::wstring Hex(uint32_t value, int digits)
{
    std::wstring text;
    do {
        text.insert(text.begin(), L"0123456789abcdef"[value & 0xF]);
        value >>= 4;
    } while (value != 0);
    if (static_cast<int>(text.size()) < digits)
        text.insert(0, static_cast<size_t>(digits) - text.size(), L'0');
    return text;
}

} // namespace

std::wstring UsbMatchPattern(int32_t vendorId, int32_t productId, int32_t interfaceNumber)
{
    return UsbMatchPattern(vendorId, productId) + L"&mi_" + Hex(static_cast<uint32_t>(interfaceNumber), 2);
}

std::wstring UsbMatchPattern(int32_t vendorId, int32_t productId)
{
    return L"vid_" + Hex(static_cast<uint32_t>(vendorId), 4) + L"&pid_" + Hex(static_cast<uint32_t>(productId), 4);
}

void UsbLowerCase(wchar_t* path)
{
    for (; path && *path; ++path)
        if (*path >= L'A' && *path <= L'Z')
            *path = static_cast<wchar_t>(*path - L'A' + L'a');
}

bool UsbDeviceMutexName(const wchar_t* path, std::wstring& name)
{
    const wchar_t* hash = path ? wcschr(path, L'#') : nullptr;
    if (!hash)
        return false;
    std::wstring rest = hash + 1;
    UsbLowerCase(rest.data());
    name = L"Global\\ZOT_TAMBRIX01_" + rest;
    return true;
}

std::wstring UsbHidrawPath(uint32_t vendorId, uint32_t productId, uint32_t interfaceNumber,
                           const std::string& usbInterface, const std::string& node)
{
    std::wstring path = L"hidraw#" + UsbMatchPattern(static_cast<int32_t>(vendorId), static_cast<int32_t>(productId),
                                                     static_cast<int32_t>(interfaceNumber));
    return path + L"#" + platform::Utf8ToWide(usbInterface) + L"#" + platform::Utf8ToWide(node);
}

std::string UsbHidrawNode(const wchar_t* path)
{
    if (!path)
        return {};
    const wchar_t* hash = wcsrchr(path, L'#');
    return platform::WideToUtf8(hash ? hash + 1 : path);
}

int32_t UsbPathInterfaceNumber(const wchar_t* path)
{
    std::wstring lower = path ? path : L"";
    UsbLowerCase(lower.data());
    size_t at = lower.find(L"&mi_");
    if (at == std::wstring::npos)
        return 0;
    return static_cast<int32_t>(wcstol(lower.c_str() + at + 4, nullptr, 16));
}
