#pragma once

// The lab's debugger (the driver's and the runner's): it runs the debug loop of a process started
// with DEBUG_ONLY_THIS_PROCESS, plants breakpoints where functions' code really lies (an export
// may forward: kernel32 to kernelbase, advapi32's CryptoAPI to cryptsp), and calls its hooks.

#include <windows.h>

const int kBreakpointCapacity = 16;
const int kModuleNameCapacity = 64;

struct Breakpoint {
    char module[kModuleNameCapacity]; // holding the code, by its export name; empty at an address
    DWORD offset;                     // of the function's entry in module
    DWORD address;                    // 0 while module is not loaded
    unsigned char original;
    int planted;
    int tag;        // the caller's: which function this is
    int keep;       // 1: planted again after every hit; 0: taken away at its first
    DWORD stepping; // the thread stepping over it, to plant it again after; or 0
};

const int kRunFunction = 0;
const int kThreadMoved = 1;

struct Debuggee {
    HANDLE process;
    DWORD imageBase, imageEnd;
    Breakpoint breakpoints[kBreakpointCapacity];
    int breakpointCount;
    DWORD crash;     // an exception the process did not handle (it ended of it), or 0
    DWORD loopError; // the error that ended the loop before the process did, or 0
};

struct DebugHooks {
    void* context;
    // A DLL mapped at base was loaded from path (empty when that cannot be told). May be null.
    void (*onLoad)(void* context, Debuggee* debuggee, DWORD base, const wchar_t* path);
    // A thread stands on the breakpoint at index: returns kRunFunction to run the function from
    // its entry, or kThreadMoved when the hook moved it on (*registers is written back).
    int (*onBreakpoint)(void* context, Debuggee* debuggee, int index, CONTEXT* registers);
    // Every 50 ms without an event, and after each event.
    void (*onIdle)(void* context, Debuggee* debuggee);
};

int ReadRemote(HANDLE process, DWORD address, void* buffer, SIZE_T size);
// Up to capacity - 1 units of the NUL-terminated text at address; returns its length.
size_t ReadRemoteText(HANDLE process, DWORD address, wchar_t* text, size_t capacity);

// To a zeroed debuggee, before the process starts or while it runs, at function of library (one
// the program imports) where its code lies; its index, or -1 when this system lacks the function.
int AddFunctionBreakpoint(Debuggee* debuggee, const wchar_t* library, const char* function, int tag,
                          int keep);
// A breakpoint at an address of the running process, planted at once; its index, or -1.
int AddAddressBreakpoint(Debuggee* debuggee, DWORD address, int tag, int keep);
// Runs the debug loop on process until it has ended; returns its exit code.
DWORD DebugUntilExit(Debuggee* debuggee, HANDLE process, const DebugHooks* hooks);
