// The basic types of the Windows API, with Windows' sizes: DWORD is 32 bits,
// the *_PTR types are as wide as a pointer.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int BOOL;
typedef char CHAR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef size_t SIZE_T;
typedef void* LPVOID;
typedef void* HANDLE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef UINT* LPUINT;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

struct HWND__;
typedef HWND__* HWND;
