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

struct Directive {
    bool left = false;
    bool zero = false;
    std::string flags;
    int width = -1;
    int precision = -1;
    enum Length { None, Char, Short, Long, LongLong, Size, Max, Ptrdiff, LongDouble, Int64, Int32 } length = None;
};

void Pad(std::string& out, const Directive& directive, const std::string& body, size_t chars)
{
    size_t width = directive.width > 0 ? static_cast<size_t>(directive.width) : 0;
    std::string padding(width > chars ? width - chars : 0, ' ');
    if (directive.left)
        out += body + padding;
    else
        out += padding + body;
}

void FormatString(std::string& out, const Directive& directive, bool wide, va_list& args)
{
    std::string body;
    size_t chars = 0;
    size_t limit = directive.precision >= 0 ? static_cast<size_t>(directive.precision) : SIZE_MAX;
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
    Pad(out, directive, body, chars);
}

void FormatInteger(std::string& out, const Directive& directive, wchar_t conv, va_list& args)
{
    bool isSigned = conv == L'd' || conv == L'i';
    unsigned long long value = 0;
    long long signedValue = 0;
    switch (directive.length) {
    case Directive::Char:
        if (isSigned) signedValue = static_cast<signed char>(va_arg(args, int));
        else value = static_cast<unsigned char>(va_arg(args, unsigned));
        break;
    case Directive::Short:
        if (isSigned) signedValue = static_cast<short>(va_arg(args, int));
        else value = static_cast<unsigned short>(va_arg(args, unsigned));
        break;
    case Directive::Long:
        if (isSigned) signedValue = va_arg(args, long);
        else value = va_arg(args, unsigned long);
        break;
    case Directive::LongLong:
    case Directive::Int64:
    case Directive::Max:
        if (isSigned) signedValue = va_arg(args, long long);
        else value = va_arg(args, unsigned long long);
        break;
    case Directive::Size:
    case Directive::Ptrdiff:
        if (isSigned) signedValue = static_cast<long long>(va_arg(args, ptrdiff_t));
        else value = va_arg(args, size_t);
        break;
    default:
        if (isSigned) signedValue = va_arg(args, int);
        else value = va_arg(args, unsigned);
        break;
    }
    std::string fmt = "%" + directive.flags;
    if (directive.width >= 0) fmt += std::to_string(directive.width);
    if (directive.precision >= 0) fmt += "." + std::to_string(directive.precision);
    fmt += "ll";
    fmt += static_cast<char>(conv);
    char buffer[128];
    int n = isSigned ? snprintf(buffer, sizeof buffer, fmt.c_str(), signedValue)
                     : snprintf(buffer, sizeof buffer, fmt.c_str(), value);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

void FormatFloat(std::string& out, const Directive& directive, wchar_t conv, va_list& args)
{
    std::string fmt = "%" + directive.flags;
    if (directive.width >= 0) fmt += std::to_string(directive.width);
    if (directive.precision >= 0) fmt += "." + std::to_string(directive.precision);
    fmt += static_cast<char>(conv);
    double value = directive.length == Directive::LongDouble ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
    char buffer[512];
    int n = snprintf(buffer, sizeof buffer, fmt.c_str(), value);
    if (n > 0)
        out.append(buffer, static_cast<size_t>(n) < sizeof buffer ? static_cast<size_t>(n) : sizeof buffer - 1);
}

// Reads flags, width, precision and length; p ends on the conversion.
Directive ParseDirective(const wchar_t*& p, va_list& args)
{
    Directive directive;
    for (;; ++p) {
        if (*p == L'-') directive.left = true;
        else if (*p == L'0') directive.zero = true;
        else if (*p != L'+' && *p != L' ' && *p != L'#') break;
        directive.flags += static_cast<char>(*p);
    }
    if (*p == L'*') {
        directive.width = va_arg(args, int);
        if (directive.width < 0) {
            directive.left = true;
            directive.flags += '-';
            directive.width = -directive.width;
        }
        ++p;
    } else {
        for (directive.width = *p >= L'0' && *p <= L'9' ? 0 : -1; *p >= L'0' && *p <= L'9'; ++p)
            directive.width = directive.width < 100000 ? directive.width * 10 + (*p - L'0') : directive.width;
    }
    if (*p == L'.') {
        ++p;
        if (*p == L'*') {
            directive.precision = va_arg(args, int);
            ++p;
        } else {
            for (directive.precision = 0; *p >= L'0' && *p <= L'9'; ++p)
                directive.precision = directive.precision < 100000 ? directive.precision * 10 + (*p - L'0') : directive.precision;
        }
    }
    if (p[0] == L'h' && p[1] == L'h') { directive.length = Directive::Char; p += 2; }
    else if (p[0] == L'h') { directive.length = Directive::Short; ++p; }
    else if (p[0] == L'l' && p[1] == L'l') { directive.length = Directive::LongLong; p += 2; }
    else if (p[0] == L'l' || p[0] == L'w') { directive.length = Directive::Long; ++p; }
    else if (p[0] == L'L') { directive.length = Directive::LongDouble; ++p; }
    else if (p[0] == L'q' || p[0] == L'j') { directive.length = Directive::Max; ++p; }
    else if (p[0] == L'z') { directive.length = Directive::Size; ++p; }
    else if (p[0] == L't') { directive.length = Directive::Ptrdiff; ++p; }
    else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') { directive.length = Directive::Int64; p += 3; }
    else if (p[0] == L'I' && p[1] == L'3' && p[2] == L'2') { directive.length = Directive::Int32; p += 3; }
    else if (p[0] == L'I') { directive.length = Directive::Size; ++p; }
    return directive;
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
        Directive directive = ParseDirective(p, args);
        wchar_t conv = *p;
        if (conv == 0)
            break;
        ++p;
        switch (conv) {
        case L's':
            FormatString(out, directive, directive.length != Directive::Short, args);
            break;
        case L'S':
            FormatString(out, directive, directive.length == Directive::Long, args);
            break;
        case L'c':
        case L'C': {
            std::string body;
            unsigned code = va_arg(args, unsigned);
            bool narrow = directive.length == Directive::Short || (conv == L'C' && directive.length != Directive::Long);
            AppendCodePoint(body, narrow ? (code & 0xFF) : (sizeof(wchar_t) == 2 ? code & 0xFFFF : code));
            Pad(out, directive, body, 1);
            break;
        }
        case L'd': case L'i': case L'u': case L'o': case L'x': case L'X':
            FormatInteger(out, directive, conv, args);
            break;
        case L'e': case L'E': case L'f': case L'F': case L'g': case L'G': case L'a': case L'A':
            FormatFloat(out, directive, conv, args);
            break;
        case L'p': {
            char buffer[32];
            snprintf(buffer, sizeof buffer, "%p", va_arg(args, void*));
            Pad(out, directive, buffer, strlen(buffer));
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
