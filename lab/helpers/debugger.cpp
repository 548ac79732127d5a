#include "debugger.h"

#include <psapi.h>
#include <string.h>
#include <wchar.h>

// The exceptions a 32-bit debugger is told of in a 32-bit process on 64-bit Windows (WOW64), as
// well as the usual ones.
const DWORD kWow64Breakpoint = 0x4000001F;
const DWORD kWow64SingleStep = 0x4000001E;
const DWORD kTrapFlag = 0x100;

static LPCVOID AsRemote(DWORD address) {
    return reinterpret_cast<LPCVOID>(static_cast<ULONG_PTR>(address));
}

int ReadRemote(HANDLE process, DWORD address, void* buffer, SIZE_T size) {
    SIZE_T done = 0;
    return ReadProcessMemory(process, AsRemote(address), buffer, size, &done) && done == size;
}

// Read a page at a time: a text may end right before memory that cannot be read.
size_t ReadRemoteText(HANDLE process, DWORD address, wchar_t* text, size_t capacity) {
    const DWORD page = 4096;
    size_t length = 0;
    while (length + 1 < capacity) {
        DWORD at = address + static_cast<DWORD>(2 * length);
        size_t units = (page - at % page) / 2;
        if (units == 0)
            units = 1;
        if (units > capacity - 1 - length)
            units = capacity - 1 - length;
        if (!ReadRemote(process, at, &text[length], 2 * units))
            break;
        for (size_t i = 0; i < units; ++i) {
            if (text[length] == 0)
                return length;
            ++length;
        }
    }
    text[length] = 0;
    return length;
}

// The module at base in a process: its headers, and its name from its export directory.
static int ReadHeaders(HANDLE process, DWORD base, IMAGE_NT_HEADERS32* nt) {
    IMAGE_DOS_HEADER dos;
    return ReadRemote(process, base, &dos, sizeof(dos)) &&
           ReadRemote(process, base + static_cast<DWORD>(dos.e_lfanew), nt, sizeof(*nt));
}

static int ReadModuleName(HANDLE process, DWORD base, char* name, DWORD size) {
    IMAGE_NT_HEADERS32 nt;
    IMAGE_EXPORT_DIRECTORY directory;
    ZeroMemory(name, size);
    if (!ReadHeaders(process, base, &nt))
        return 0;
    DWORD exports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    return exports != 0 && ReadRemote(process, base + exports, &directory, sizeof(directory)) &&
           ReadRemote(process, base + directory.Name, name, size - 1);
}

static void WriteRemoteByte(HANDLE process, DWORD address, unsigned char value) {
    LPVOID target = reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(address));
    DWORD oldProtect;
    VirtualProtectEx(process, target, 1, PAGE_EXECUTE_READWRITE, &oldProtect);
    SIZE_T done = 0;
    WriteProcessMemory(process, target, &value, 1, &done);
    VirtualProtectEx(process, target, 1, oldProtect, &oldProtect);
    FlushInstructionCache(process, target, 1);
}

static void Plant(Debuggee* debuggee, Breakpoint* breakpoint) {
    if (!ReadRemote(debuggee->process, breakpoint->address, &breakpoint->original, 1))
        return;
    WriteRemoteByte(debuggee->process, breakpoint->address, 0xCC);
    breakpoint->planted = 1;
}

static void TakeAway(Debuggee* debuggee, Breakpoint* breakpoint) {
    WriteRemoteByte(debuggee->process, breakpoint->address, breakpoint->original);
    breakpoint->planted = 0;
}

void ClearDebuggee(Debuggee* debuggee) {
    ZeroMemory(debuggee, sizeof(*debuggee));
}

void StartDebuggee(Debuggee* debuggee, const PROCESS_INFORMATION& started) {
    debuggee->process = started.hProcess;
    debuggee->processId = started.dwProcessId;
}

// The module and offset of a function's code: the export of library may forward to another
// module, whose code the debugged process runs. Taken from this process, whose system DLLs are
// the same files; library is loaded from the system folder.
static int LocateFunction(const wchar_t* library, const char* function, Breakpoint* breakpoint) {
    wchar_t path[MAX_PATH + 64];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || wcslen(library) > 60)
        return 0;
    path[length] = L'\\';
    wcscpy(path + length + 1, library);
    HMODULE loaded = LoadLibraryW(path);
    FARPROC address = loaded != nullptr ? GetProcAddress(loaded, function) : nullptr;
    HMODULE holder = nullptr;
    if (address == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                  reinterpret_cast<LPCWSTR>(address), &holder))
        return 0;
    DWORD base = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(holder));
    breakpoint->offset = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(address)) - base;
    return ReadModuleName(GetCurrentProcess(), base, breakpoint->module, kModuleNameCapacity);
}

int AddFunctionBreakpoint(Debuggee* debuggee, const wchar_t* library, const char* function, int tag,
                          int keep) {
    if (debuggee->breakpointCount == kBreakpointCapacity)
        return -1;
    Breakpoint* breakpoint = &debuggee->breakpoints[debuggee->breakpointCount];
    ZeroMemory(breakpoint, sizeof(*breakpoint));
    if (!LocateFunction(library, function, breakpoint))
        return -1;
    breakpoint->tag = tag;
    breakpoint->keep = keep;
    return debuggee->breakpointCount++;
}

int AddAddressBreakpoint(Debuggee* debuggee, DWORD address, int tag, int keep) {
    if (debuggee->breakpointCount == kBreakpointCapacity)
        return -1;
    Breakpoint* breakpoint = &debuggee->breakpoints[debuggee->breakpointCount];
    ZeroMemory(breakpoint, sizeof(*breakpoint));
    breakpoint->address = address;
    breakpoint->moduleBase = address;
    breakpoint->tag = tag;
    breakpoint->keep = keep;
    Plant(debuggee, breakpoint);
    return debuggee->breakpointCount++;
}

static void PlantInModule(Debuggee* debuggee, DWORD base) {
    char name[kModuleNameCapacity];
    if (!ReadModuleName(debuggee->process, base, name, sizeof(name)))
        return;
    for (int i = 0; i < debuggee->breakpointCount; ++i) {
        Breakpoint* breakpoint = &debuggee->breakpoints[i];
        if (breakpoint->moduleBase != 0 || _stricmp(breakpoint->module, name) != 0)
            continue;
        breakpoint->moduleBase = base;
        breakpoint->address = base + breakpoint->offset;
        Plant(debuggee, breakpoint);
    }
}

// A module unloaded takes its breakpoints with it; they are planted again if it comes back.
static void ForgetModule(Debuggee* debuggee, DWORD base) {
    for (int i = 0; i < debuggee->breakpointCount; ++i) {
        Breakpoint* breakpoint = &debuggee->breakpoints[i];
        if (breakpoint->moduleBase == base && breakpoint->module[0] != 0) {
            breakpoint->moduleBase = 0;
            breakpoint->planted = 0;
        }
    }
}

// A path as the object manager names it (\??\C:\..., \Device\HarddiskVolume3\...) with its
// drive letter.
static int ToDrivePath(const wchar_t* path, wchar_t* out, size_t capacity) {
    if (wcsncmp(path, L"\\??\\", 4) == 0) {
        wcsncpy(out, path + 4, capacity - 1);
        out[capacity - 1] = 0;
        return 1;
    }
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        wchar_t drive[3] = {letter, L':', 0}, device[kLoadedPathCapacity];
        if (QueryDosDeviceW(drive, device, kLoadedPathCapacity) == 0)
            continue;
        size_t length = wcslen(device);
        if (wcsncmp(path, device, length) == 0 && path[length] == L'\\') {
            _snwprintf(out, capacity, L"%ls%ls", drive, path + length);
            out[capacity - 1] = 0;
            return 1;
        }
    }
    return 0;
}

// Where a DLL was loaded from: the name the loader gives the debugger, else the name of the
// file mapped there. (The file handle of the event is no help under Wine: it names Wine's own
// copy of a system DLL, outside the system folder.)
static void ReadLoadedPath(HANDLE process, const LOAD_DLL_DEBUG_INFO& info, wchar_t* path) {
    path[0] = 0;
    DWORD pointer = 0;
    DWORD name = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info.lpImageName));
    if (name != 0 && ReadRemote(process, name, &pointer, sizeof(pointer)) && pointer != 0) {
        if (info.fUnicode) {
            ReadRemoteText(process, pointer, path, kLoadedPathCapacity);
        } else {
            char narrow[kLoadedPathCapacity] = {0};
            for (int i = 0; i + 1 < kLoadedPathCapacity &&
                            ReadRemote(process, pointer + static_cast<DWORD>(i), &narrow[i], 1) &&
                            narrow[i] != 0;
                 ++i) {
            }
            MultiByteToWideChar(CP_ACP, 0, narrow, -1, path, kLoadedPathCapacity);
        }
    }
    wchar_t mapped[kLoadedPathCapacity];
    if (path[0] == 0 &&
        GetMappedFileNameW(process, info.lpBaseOfDll, mapped, kLoadedPathCapacity) != 0)
        ToDrivePath(mapped, path, kLoadedPathCapacity);
}

// The breakpoint at address: planted (1), or once planted there and taken away meanwhile (0).
static int FindBreakpoint(const Debuggee* debuggee, DWORD address, int planted) {
    for (int i = 0; i < debuggee->breakpointCount; ++i) {
        const Breakpoint& breakpoint = debuggee->breakpoints[i];
        if (breakpoint.moduleBase != 0 && breakpoint.address == address &&
            breakpoint.planted == planted)
            return i;
    }
    return -1;
}

static DWORD OnBreakpoint(Debuggee* debuggee, const DebugHooks* hooks, DWORD threadId,
                          DWORD address) {
    int index = FindBreakpoint(debuggee, address, 1);
    if (index < 0 && FindBreakpoint(debuggee, address, 0) < 0)
        return DBG_CONTINUE; // the loader's own, as every debugged process starts
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, threadId);
    CONTEXT registers;
    registers.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    if (thread == nullptr || !GetThreadContext(thread, &registers)) {
        if (index >= 0)
            TakeAway(debuggee, &debuggee->breakpoints[index]);
    } else {
        // Without a planted breakpoint, two threads met it at once, and the first has taken it
        // away: the second runs the instruction it stood for.
        registers.Eip = address;
        Breakpoint* breakpoint = index >= 0 ? &debuggee->breakpoints[index] : nullptr;
        int outcome = breakpoint == nullptr ? kThreadMoved
                                            : hooks->onBreakpoint(hooks->context, debuggee, index,
                                                                  thread, &registers);
        if (breakpoint != nullptr && (outcome == kRunFunction || !breakpoint->keep))
            TakeAway(debuggee, breakpoint);
        if (breakpoint != nullptr && outcome == kRunFunction && breakpoint->keep) {
            registers.EFlags |= kTrapFlag;
            breakpoint->stepping = threadId;
        }
        SetThreadContext(thread, &registers);
    }
    if (thread != nullptr)
        CloseHandle(thread);
    return DBG_CONTINUE;
}

static DWORD OnSingleStep(Debuggee* debuggee, DWORD threadId) {
    for (int i = 0; i < debuggee->breakpointCount; ++i) {
        Breakpoint* breakpoint = &debuggee->breakpoints[i];
        if (breakpoint->stepping != threadId)
            continue;
        breakpoint->stepping = 0;
        if (breakpoint->moduleBase != 0)
            Plant(debuggee, breakpoint);
        return DBG_CONTINUE;
    }
    return DBG_EXCEPTION_NOT_HANDLED;
}

static DWORD OnException(Debuggee* debuggee, const DebugHooks* hooks, const DEBUG_EVENT& event) {
    const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
    DWORD address = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
    if (record.ExceptionCode == EXCEPTION_BREAKPOINT || record.ExceptionCode == kWow64Breakpoint)
        return OnBreakpoint(debuggee, hooks, event.dwThreadId, address);
    if (record.ExceptionCode == EXCEPTION_SINGLE_STEP || record.ExceptionCode == kWow64SingleStep) {
        DWORD status = OnSingleStep(debuggee, event.dwThreadId);
        if (status == DBG_CONTINUE)
            return status;
    }
    if (!event.u.Exception.dwFirstChance)
        debuggee->crash = record.ExceptionCode;
    return DBG_EXCEPTION_NOT_HANDLED;
}

DWORD DebugUntilExit(Debuggee* debuggee, const DebugHooks* hooks) {
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, kIdleMs)) {
            if (GetLastError() != ERROR_SEM_TIMEOUT) {
                debuggee->loopError = GetLastError();
                return 0xDEADu;
            }
            if (hooks->onIdle != nullptr)
                hooks->onIdle(hooks->context, debuggee);
            continue;
        }
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT: {
            const CREATE_PROCESS_DEBUG_INFO& info = event.u.CreateProcessInfo;
            IMAGE_NT_HEADERS32 nt;
            debuggee->imageBase =
                static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info.lpBaseOfImage));
            if (ReadHeaders(debuggee->process, debuggee->imageBase, &nt))
                debuggee->imageEnd = debuggee->imageBase + nt.OptionalHeader.SizeOfImage;
            if (info.hFile != nullptr)
                CloseHandle(info.hFile);
            break;
        }
        case LOAD_DLL_DEBUG_EVENT: {
            const LOAD_DLL_DEBUG_INFO& info = event.u.LoadDll;
            DWORD base = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll));
            PlantInModule(debuggee, base);
            if (hooks->onLoad != nullptr) {
                static wchar_t path[kLoadedPathCapacity];
                ReadLoadedPath(debuggee->process, info, path);
                hooks->onLoad(hooks->context, debuggee, base, path);
            }
            if (info.hFile != nullptr)
                CloseHandle(info.hFile);
            break;
        }
        case UNLOAD_DLL_DEBUG_EVENT:
            ForgetModule(debuggee, static_cast<DWORD>(
                                       reinterpret_cast<ULONG_PTR>(event.u.UnloadDll.lpBaseOfDll)));
            break;
        case EXCEPTION_DEBUG_EVENT:
            status = OnException(debuggee, hooks, event);
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            if (event.dwProcessId == debuggee->processId) {
                ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                return event.u.ExitProcess.dwExitCode;
            }
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        if (hooks->onIdle != nullptr)
            hooks->onIdle(hooks->context, debuggee);
    }
}
