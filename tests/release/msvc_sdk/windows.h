// The few declarations of the Windows SDK that the MSVC-ABI host uses, for a
// compiler that targets the MSVC ABI without the SDK's headers at hand. The
// records have the SDK's layout (the public header checks their sizes); the
// functions are bound by kernel32's import library.
#ifndef TAMBRIX01_MSVC_SDK_WINDOWS_H
#define TAMBRIX01_MSVC_SDK_WINDOWS_H

typedef int BOOL;
typedef unsigned int UINT;
typedef unsigned long DWORD;
typedef void* HANDLE;
typedef struct HINSTANCE__* HMODULE;
typedef long long(__stdcall* FARPROC)(void);

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define NOPARITY 0
#define ONESTOPBIT 0
#define DTR_CONTROL_ENABLE 1
#define RTS_CONTROL_ENABLE 1

typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    unsigned short wReserved;
    unsigned short XonLim;
    unsigned short XoffLim;
    unsigned char ByteSize;
    unsigned char Parity;
    unsigned char StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    unsigned short wReserved1;
} DCB;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS;

#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) HMODULE __stdcall LoadLibraryW(const wchar_t* name);
__declspec(dllimport) FARPROC __stdcall GetProcAddress(HMODULE module, const char* name);
__declspec(dllimport) BOOL __stdcall FreeLibrary(HMODULE module);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) BOOL __stdcall WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written,
                                               void* overlapped);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(UINT code);
__declspec(dllimport) DWORD __stdcall GetEnvironmentVariableW(const wchar_t* name, wchar_t* buffer, DWORD size);
#ifdef __cplusplus
}
#endif

#endif
