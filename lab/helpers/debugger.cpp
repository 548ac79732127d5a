#include "debugger.h"

#include <psapi.h>
#include <string.h>
#include <wchar.h>

// Besides the usual ones, what a debugger is told of in a 32-bit process on 64-bit Windows (WOW64).
const DWORD kWow64Breakpoint = 0x4000001F;
const DWORD kWow64SingleStep = 0x4000001E;
const DWORD kTrapFlag = 0x100;
const DWORD kPageSize = 4096;
const DWORD kIdleMs = 50;
const int kLoadedPathCapacity = 1024;

// ReadProcessMemory fails when any of the range cannot be read (Microsoft's documentation of it).
int ReadRemote(HANDLE process, DWORD address, void* buffer, SIZE_T size) {
    return ReadProcessMemory(process, UlongToPtr(address), buffer, size, nullptr) != 0;
}

// Read a page at a time: a text may end right before memory that cannot be read.
size_t ReadRemoteText(HANDLE process, DWORD address, wchar_t* text, size_t capacity) {
    size_t length = 0;
    while (length + 1 < capacity) {
        DWORD at = address + static_cast<DWORD>(2 * length);
        size_t units = (kPageSize - at % kPageSize + 1) / 2; // a unit across the end read whole
        if (units > capacity - 1 - length)
            units = capacity - 1 - length;
        if (!ReadRemote(process, at, &text[length], 2 * units))
            break;
        for (size_t i = 0; i < units; ++i, ++length)
            if (text[length] == 0)
                return length;
    }
    text[length] = 0;
    return length;
}

// The module at base: its end (base when unread) and the name in its export directory (or empty).
static DWORD ReadModule(HANDLE process, DWORD base, char* name) {
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS32 nt;
    IMAGE_EXPORT_DIRECTORY directory;
    ZeroMemory(name, kModuleNameCapacity);
    if (!ReadRemote(process, base, &dos, sizeof(dos)) ||
        !ReadRemote(process, base + static_cast<DWORD>(dos.e_lfanew), &nt, sizeof(nt)))
        return base;
    DWORD exports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    if (exports != 0 && ReadRemote(process, base + exports, &directory, sizeof(directory)))
        ReadRemote(process, base + directory.Name, name, kModuleNameCapacity - 1);
    return base + nt.OptionalHeader.SizeOfImage;
}

// Writes an int3 over the breakpoint's first byte (planted 1), or puts that byte back (0). Not at
// address 0, its module not loaded: an address space's first 64 KB are never readable.
static void SetPlanted(HANDLE process, Breakpoint* breakpoint, int planted) {
    if (planted && !ReadRemote(process, breakpoint->address, &breakpoint->original, 1))
        return;
    unsigned char value = planted ? 0xCC : breakpoint->original;
    LPVOID target = UlongToPtr(breakpoint->address);
    DWORD oldProtect;
    VirtualProtectEx(process, target, 1, PAGE_EXECUTE_READWRITE, &oldProtect);
    WriteProcessMemory(process, target, &value, 1, nullptr);
    VirtualProtectEx(process, target, 1, oldProtect, &oldProtect);
    FlushInstructionCache(process, target, 1);
    breakpoint->planted = planted;
}

int AddAddressBreakpoint(Debuggee* debuggee, DWORD address, int tag, int keep) {
    if (debuggee->breakpointCount == kBreakpointCapacity)
        return -1;
    Breakpoint* breakpoint = &debuggee->breakpoints[debuggee->breakpointCount];
    breakpoint->address = address;
    breakpoint->tag = tag;
    breakpoint->keep = keep;
    SetPlanted(debuggee->process, breakpoint, 1);
    return debuggee->breakpointCount++;
}

// The function's module and offset are read in this process, whose system DLLs are the same
// files; its loaded library is the one used (Microsoft's "Dynamic-link library search order").
int AddFunctionBreakpoint(Debuggee* debuggee, const wchar_t* library, const char* function, int tag,
                          int keep) {
    HMODULE loaded = LoadLibraryW(library);
    FARPROC code = loaded != nullptr ? GetProcAddress(loaded, function) : nullptr;
    HMODULE holder = nullptr;
    char module[kModuleNameCapacity] = {0};
    if (code != nullptr && GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                  GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                              reinterpret_cast<LPCWSTR>(code), &holder))
        ReadModule(GetCurrentProcess(), PtrToUlong(holder), module);
    int index = module[0] != 0 ? AddAddressBreakpoint(debuggee, 0, tag, keep) : -1;
    if (index >= 0) {
        strcpy(debuggee->breakpoints[index].module, module);
        debuggee->breakpoints[index].offset = PtrToUlong(code) - PtrToUlong(holder);
    }
    return index;
}

// At a module's first load: the lab's breakpoints lie in system DLLs, which a program keeps.
static void PlantInModule(Debuggee* debuggee, DWORD base) {
    char name[kModuleNameCapacity];
    ReadModule(debuggee->process, base, name);
    for (int i = 0; i < debuggee->breakpointCount; ++i) {
        Breakpoint* breakpoint = &debuggee->breakpoints[i];
        if (breakpoint->address == 0 && _stricmp(breakpoint->module, name) == 0) {
            breakpoint->address = base + breakpoint->offset;
            SetPlanted(debuggee->process, breakpoint, 1);
        }
    }
}

// Where a DLL was loaded from: the name the loader gives (in UTF-16 from Windows and Wine), else
// the mapped file's with its drive letter, named by device on Windows (\Device\HarddiskVolume3\),
// by drive under Wine (\??\C:\). The event's file handle is no help under Wine: it names Wine's
// own copy of a system DLL, outside the system folder.
static void ReadLoadedPath(HANDLE process, const LOAD_DLL_DEBUG_INFO& info, wchar_t* path) {
    DWORD name = 0;
    wchar_t mapped[kLoadedPathCapacity], device[kLoadedPathCapacity];
    path[0] = 0;
    if (info.fUnicode && ReadRemote(process, PtrToUlong(info.lpImageName), &name, sizeof(name)))
        ReadRemoteText(process, name, path, kLoadedPathCapacity);
    if (path[0] != 0 ||
        GetMappedFileNameW(process, info.lpBaseOfDll, mapped, kLoadedPathCapacity) == 0)
        return;
    if (wcsncmp(mapped, L"\\??\\", 4) == 0)
        wcscpy(path, mapped + 4);
    // A drive letter is shorter than the device it stands for: the path fits.
    for (wchar_t letter = L'A'; letter <= L'Z' && path[0] == 0; ++letter) {
        wchar_t drive[3] = {letter, L':', 0};
        size_t length = QueryDosDeviceW(drive, device, kLoadedPathCapacity) ? wcslen(device) : 0;
        if (length != 0 && wcsncmp(mapped, device, length) == 0 && mapped[length] == L'\\')
            _snwprintf(path, kLoadedPathCapacity, L"%ls%ls", drive, mapped + length);
    }
}

static DWORD OnBreakpoint(Debuggee* debuggee, const DebugHooks* hooks, const DEBUG_EVENT& event) {
    DWORD address = PtrToUlong(event.u.Exception.ExceptionRecord.ExceptionAddress);
    int index = debuggee->breakpointCount - 1;
    while (index >= 0 && debuggee->breakpoints[index].address != address)
        --index;
    if (index < 0)
        return DBG_CONTINUE; // the loader's own, as every debugged process starts
    Breakpoint* breakpoint = &debuggee->breakpoints[index];
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
    CONTEXT registers;
    registers.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    // A thread that cannot be moved back onto the instruction would run on from its middle.
    int known = thread != nullptr && GetThreadContext(thread, &registers);
    if (known) {
        // A breakpoint taken away: two threads met it at once and the first took it away; the
        // second runs the instruction it stood for.
        int outcome = kThreadMoved;
        registers.Eip = address;
        if (breakpoint->planted)
            outcome = hooks->onBreakpoint(hooks->context, debuggee, index, &registers);
        if (breakpoint->planted && (outcome == kRunFunction || !breakpoint->keep))
            SetPlanted(debuggee->process, breakpoint, 0);
        if (outcome == kRunFunction && breakpoint->keep) {
            registers.EFlags |= kTrapFlag;
            breakpoint->stepping = event.dwThreadId;
        }
        SetThreadContext(thread, &registers);
    }
    if (thread != nullptr)
        CloseHandle(thread);
    return known ? DBG_CONTINUE : DBG_EXCEPTION_NOT_HANDLED;
}

// Returns how the process goes on from the event.
static DWORD OnEvent(Debuggee* debuggee, const DebugHooks* hooks, const DEBUG_EVENT& event) {
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
        DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        int stepped = debuggee->breakpointCount - 1;
        while (stepped >= 0 && debuggee->breakpoints[stepped].stepping != event.dwThreadId)
            --stepped;
        if (code == EXCEPTION_BREAKPOINT || code == kWow64Breakpoint)
            return OnBreakpoint(debuggee, hooks, event);
        // The thread has stepped over a kept breakpoint, which is planted again.
        if ((code == EXCEPTION_SINGLE_STEP || code == kWow64SingleStep) && stepped >= 0) {
            debuggee->breakpoints[stepped].stepping = 0;
            SetPlanted(debuggee->process, &debuggee->breakpoints[stepped], 1);
            return DBG_CONTINUE;
        }
        if (!event.u.Exception.dwFirstChance)
            debuggee->crash = code;
        return DBG_EXCEPTION_NOT_HANDLED;
    }
    if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
        char name[kModuleNameCapacity];
        debuggee->imageBase = PtrToUlong(event.u.CreateProcessInfo.lpBaseOfImage);
        debuggee->imageEnd = ReadModule(debuggee->process, debuggee->imageBase, name);
        if (event.u.CreateProcessInfo.hFile != nullptr)
            CloseHandle(event.u.CreateProcessInfo.hFile);
    }
    if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
        const LOAD_DLL_DEBUG_INFO& info = event.u.LoadDll;
        static wchar_t path[kLoadedPathCapacity];
        PlantInModule(debuggee, PtrToUlong(info.lpBaseOfDll));
        if (hooks->onLoad != nullptr) {
            ReadLoadedPath(debuggee->process, info, path);
            hooks->onLoad(hooks->context, debuggee, PtrToUlong(info.lpBaseOfDll), path);
        }
        if (info.hFile != nullptr)
            CloseHandle(info.hFile);
    }
    return DBG_CONTINUE;
}

// With DEBUG_ONLY_THIS_PROCESS, the process's end is the only one the loop is told of.
DWORD DebugUntilExit(Debuggee* debuggee, HANDLE process, const DebugHooks* hooks) {
    debuggee->process = process;
    for (;;) {
        DEBUG_EVENT event;
        if (WaitForDebugEvent(&event, kIdleMs)) {
            DWORD status = OnEvent(debuggee, hooks, event);
            ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
            if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT)
                return event.u.ExitProcess.dwExitCode;
        } else if (GetLastError() != ERROR_SEM_TIMEOUT) {
            debuggee->loopError = GetLastError();
            return 0xDEADu;
        }
        hooks->onIdle(hooks->context, debuggee);
    }
}
