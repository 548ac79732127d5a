#pragma once

// What the Win32 files of the platform layer share.

#include <windows.h>

typedef void (*AnyFunction)();

// A function of kernel32, which is in every process already: null where this system lacks it.
AnyFunction FindKernelFunction(const char* name);
// Each of names (each ended by a NUL, the list by an empty name), in order, into functions, from
// library loaded by its full path in the system folder: nonzero when every one was found.
int FindSystemFunctions(const char* library, const char* names, AnyFunction* functions);
