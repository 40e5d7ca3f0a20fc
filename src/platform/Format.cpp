// The log formatter. The C library's wide printf differs between platforms
// (%s is narrow on glibc and wide on Windows) and would give a shared stream
// a wide orientation, so the library formats its log text itself.
#include "platform/Platform.h"

#include <cstddef>
#include <cstring>
#include <cwchar>

namespace platform {

namespace {

void AppendCodePoint(std::string& out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Reads one code point from a wide text (UTF-16 or UTF-32 by the platform).
uint32_t NextWide(const wchar_t*& p, const wchar_t* end)
{
    uint32_t c = static_cast<uint32_t>(*p++);
    if constexpr (sizeof(wchar_t) == 2) {
        c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && p < end) {
            uint32_t low = static_cast<uint32_t>(*p) & 0xFFFF;
            if (low >= 0xDC00 && low <= 0xDFFF) {
                ++p;
                return 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            }
        }
    }
    return c;
}

// Length of a valid UTF-8 sequence at p, or 0.
size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* end)
{
    size_t n = *p < 0x80 ? 1 : (*p & 0xE0) == 0xC0 ? 2 : (*p & 0xF0) == 0xE0 ? 3 : (*p & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || static_cast<size_t>(end - p) < n)
        return 0;
    for (size_t i = 1; i < n; ++i)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    if (n == 2 && *p < 0xC2)
        return 0;
    return n;
}

// Narrow texts are 8-bit device or file text: valid UTF-8 passes through,
// any other byte is taken as Latin-1 so that the output stays valid UTF-8.
void AppendNarrow(std::string& out, const char* text, size_t length, size_t* chars)
{
    auto p = reinterpret_cast<const unsigned char*>(text);
    auto end = p + length;
    while (p < end) {
        size_t n = Utf8SequenceLength(p, end);
        if (n) {
            out.append(reinterpret_cast<const char*>(p), n);
            p += n;
        } else {
            AppendCodePoint(out, *p++);
        }
        ++*chars;
    }
}

struct Spec {
    bool left = false;
    bool zero = false;
    std::string flags;
    int width = -1;
    int precision = -1;
    enum Length { None, Char, Short, Long, LongLong, Size, Max, Ptrdiff, LongDouble, Int64, Int32 } length = None;
};

void Pad(std::string& out, const Spec& spec, const std::string& body, size_t chars)
{
    size_t width = spec.width > 0 ? static_cast<size_t>(spec.width) : 0;
    std::string padding(width > chars ? width - chars : 0, ' ');
    if (spec.left)
        out += body + padding;
    else
        out += padding + body;
}

void FormatString(std::string& out, const Spec& spec, bool wide, va_list& args)
{
    std::string body;
    size_t chars = 0;
    size_t limit = spec.precision >= 0 ? static_cast<size_t>(spec.precision) : SIZE_MAX;
    if (wide) {
        const wchar_t* text = va_arg(args, const wchar_t*);
        if (!text)
            text = L"(null)";
        const wchar_t* end = text;
        while (*end && static_cast<size_t>(end - text) < limit)
            ++end;
        for (const wchar_t* p = text; p < end;) {
            AppendCodePoint(body, NextWide(p, end));
            ++chars;
        }
    } else {
        const char* text = va_arg(args, const char*);
        if (!text)
            text = "(null)";
        size_t length = 0;
        while (length < limit && text[length])
            ++length;
        AppendNarrow(body, text, length, &chars);
    }
    Pad(out, spec, body, chars);
}

void FormatInteger(std::string& out, const Spec& spec, wchar_t conv, va_list& args)
{
    bool isSigned = conv == L'd' || conv == L'i';
    unsigned long long value = 0;
    long long signedValue = 0;
    switch (spec.length) {
    case Spec::Char:
        if (isSigned) signedValue = static_cast<signed char>(va_arg(args, int));
        else value = static_cast<unsigned char>(va_arg(args, unsigned));
        break;
    case Spec::Short:
        if (isSigned) signedValue = static_cast<short>(va_arg(args, int));
        else value = static_cast<unsigned short>(va_arg(args, unsigned));
        break;
    case Spec::Long:
        if (isSigned) signedValue = va_arg(args, long);
        else value = va_arg(args, unsigned long);
        break;
    case Spec::LongLong:
    case Spec::Int64:
    case Spec::Max:
        if (isSigned) signedValue = va_arg(args, long long);
        else value = va_arg(args, unsigned long long);
        break;
    case Spec::Size:
    case Spec::Ptrdiff:
        if (isSigned) signedValue = static_cast<long long>(va_arg(args, ptrdiff_t));
        else value = va_arg(args, size_t);
        break;
    default:
        if (isSigned) signedValue = va_arg(args, int);
        else value = va_arg(args, unsigned);
        break;
    }
    std::string fmt = "%" + spec.flags;
    if (spec.width >= 0) fmt += std::to_string(spec.width);
    if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
    fmt += "ll";
    fmt += static_cast<char>(conv);
    char buffer[128];
    int n = isSigned ? snprintf(buffer, sizeof buffer, fmt.c_str(), signedValue)
                     : snprintf(buffer, sizeof buffer, fmt.c_str(), value);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

void FormatFloat(std::string& out, const Spec& spec, wchar_t conv, va_list& args)
{
    std::string fmt = "%" + spec.flags;
    if (spec.width >= 0) fmt += std::to_string(spec.width);
    if (spec.precision >= 0) fmt += "." + std::to_string(spec.precision);
    fmt += static_cast<char>(conv);
    double value = spec.length == Spec::LongDouble ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
    char buffer[512];
    int n = snprintf(buffer, sizeof buffer, fmt.c_str(), value);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

// Reads flags, width, precision and length; p ends on the conversion.
Spec ParseSpec(const wchar_t*& p, va_list& args)
{
    Spec spec;
    for (;; ++p) {
        if (*p == L'-') spec.left = true;
        else if (*p == L'0') spec.zero = true;
        else if (*p != L'+' && *p != L' ' && *p != L'#') break;
        spec.flags += static_cast<char>(*p);
    }
    if (*p == L'*') {
        spec.width = va_arg(args, int);
        if (spec.width < 0) {
            spec.left = true;
            spec.flags += '-';
            spec.width = -spec.width;
        }
        ++p;
    } else {
        for (spec.width = *p >= L'0' && *p <= L'9' ? 0 : -1; *p >= L'0' && *p <= L'9'; ++p)
            spec.width = spec.width < 100000 ? spec.width * 10 + (*p - L'0') : spec.width;
    }
    if (*p == L'.') {
        ++p;
        if (*p == L'*') {
            spec.precision = va_arg(args, int);
            ++p;
        } else {
            for (spec.precision = 0; *p >= L'0' && *p <= L'9'; ++p)
                spec.precision = spec.precision < 100000 ? spec.precision * 10 + (*p - L'0') : spec.precision;
        }
    }
    if (p[0] == L'h' && p[1] == L'h') { spec.length = Spec::Char; p += 2; }
    else if (p[0] == L'h') { spec.length = Spec::Short; ++p; }
    else if (p[0] == L'l' && p[1] == L'l') { spec.length = Spec::LongLong; p += 2; }
    else if (p[0] == L'l' || p[0] == L'w') { spec.length = Spec::Long; ++p; }
    else if (p[0] == L'L') { spec.length = Spec::LongDouble; ++p; }
    else if (p[0] == L'q' || p[0] == L'j') { spec.length = Spec::Max; ++p; }
    else if (p[0] == L'z') { spec.length = Spec::Size; ++p; }
    else if (p[0] == L't') { spec.length = Spec::Ptrdiff; ++p; }
    else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { spec.length = Spec::Int64; p += 3; }
    else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') { spec.length = Spec::Int32; p += 3; }
    else if (p[0] == L'I') { spec.length = Spec::Size; ++p; }
    return spec;
}

} // namespace

std::string FormatV(const wchar_t* format, va_list argsIn)
{
    std::string out;
    if (!format)
        return out;
    va_list args;
    va_copy(args, argsIn);
    const wchar_t* end = format + wcslen(format);
    for (const wchar_t* p = format; p < end;) {
        if (*p != L'%') {
            AppendCodePoint(out, NextWide(p, end));
            continue;
        }
        ++p;
        if (*p == L'%') {
            out += '%';
            ++p;
            continue;
        }
        Spec spec = ParseSpec(p, args);
        wchar_t conv = *p;
        if (conv == 0)
            break;
        ++p;
        switch (conv) {
        case L's':
            FormatString(out, spec, spec.length != Spec::Short, args);
            break;
        case L'S':
            FormatString(out, spec, spec.length == Spec::Long, args);
            break;
        case L'c':
        case L'C': {
            std::string body;
            unsigned code = va_arg(args, unsigned);
            bool narrow = spec.length == Spec::Short || (conv == L'C' && spec.length != Spec::Long);
            AppendCodePoint(body, narrow ? (code & 0xFF) : (sizeof(wchar_t) == 2 ? code & 0xFFFF : code));
            Pad(out, spec, body, 1);
            break;
        }
        case L'd': case L'i': case L'u': case L'o': case L'x': case L'X':
            FormatInteger(out, spec, conv, args);
            break;
        case L'e': case L'E': case L'f': case L'F': case L'g': case L'G': case L'a': case L'A':
            FormatFloat(out, spec, conv, args);
            break;
        case L'p': {
            char buffer[32];
            snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            Pad(out, spec, buffer, strlen(buffer));
            break;
        }
        case L'n':
            // Writing through a log argument is never wanted: consume and ignore.
            (void)va_arg(args, void*);
            break;
        default:
            out += '%';
            AppendCodePoint(out, static_cast<uint32_t>(conv));
            break;
        }
    }
    va_end(args);
    return out;
}

std::string Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    std::string text = FormatV(format, args);
    va_end(args);
    return text;
}

std::string WideToUtf8(const wchar_t* text, size_t length)
{
    std::string out;
    if (!text)
        return out;
    const wchar_t* end = text + length;
    for (const wchar_t* p = text; p < end;)
        AppendCodePoint(out, NextWide(p, end));
    return out;
}

std::string WideToUtf8(const wchar_t* text)
{
    return text ? WideToUtf8(text, wcslen(text)) : std::string();
}

std::wstring Utf8ToWide(const std::string& text)
{
    std::wstring out;
    auto p = reinterpret_cast<const unsigned char*>(text.data());
    auto end = p + text.size();
    while (p < end) {
        size_t n = Utf8SequenceLength(p, end);
        uint32_t cp;
        if (n == 0) { cp = *p; n = 1; }
        else if (n == 1) cp = *p;
        else if (n == 2) cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        else if (n == 3) cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        else cp = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
        p += n;
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (cp >> 10));
            out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<wchar_t>(cp);
        }
    }
    return out;
}

} // namespace platform
