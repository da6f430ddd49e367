// The few Win32 names cfgrestore uses, for Linux hosts. The program includes
// <windows.h> on every platform; on Linux this file stands in for it and
// copy_file.cpp stands in for kernel32.
#pragma once

using BOOL = int;
using LPCSTR = const char *;

#define TRUE 1
#define FALSE 0

// Copies existing_name to new_name. Returns TRUE on success, FALSE with errno
// set on failure; an existing new_name is kept (EEXIST) when fail_if_exists.
extern "C" BOOL CopyFileA(LPCSTR existing_name, LPCSTR new_name, BOOL fail_if_exists);
