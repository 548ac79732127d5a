#pragma once

// What the Win32 files of the platform layer share.

#include <windows.h>

typedef void (*AnyFunction)();

// A function of kernel32, which is in every process already: null where this system lacks it.
AnyFunction FindKernelFunction(const char* name);
