// Stand-in for the C library's <wchar.h>: the public header needs only
// wchar_t, which C++ has built in.
#ifndef TAMBRIX01_MSVC_SDK_WCHAR_H
#define TAMBRIX01_MSVC_SDK_WCHAR_H
#include <stddef.h>
#endif
