// Starts a program with an exact process command line and reports how it ended.
//   VUQ_DRIVER_APP          application path handed to CreateProcessW
//   VUQ_DRIVER_CMDLINE_HEX  the exact command line, as hex of UTF-16LE units
//   VUQ_DRIVER_CWD          current directory for the program (optional)
//   VUQ_DRIVER_HIDDEN       when set, starts the program on a desktop of a window station of
//                           its own, which has no visible display, as a service's has
//   VUQ_DRIVER_TRAP_BOXES   when set, runs the program under this debugger and answers each
//                           MessageBoxW call itself, printing its arguments whole (a relay
//                           trace cuts long texts)
//   VUQ_DRIVER_HOLD         a file this driver keeps open for writing while the program runs
//   VUQ_DRIVER_ATTACK       a file to attack while the program hashes: at its first
//                           CryptHashData call, this driver (trapping boxes as above) tries to
//                           open that file for writing, delete, rename and overwrite it
//   VUQ_DRIVER_PAUSE        a file to make at the program's first CryptHashData call: this
//                           driver (trapping boxes) holds the program there until the file is
//                           gone again, at most 60 s, so that the harness can act meanwhile
//   VUQ_DRIVER_WATCH        when set, traps boxes as above and watches the payload from outside:
//                           at the program's CreateProcessW call it prints what the payload is
//                           given; where the call returns it holds the program until the
//                           payload has ended, then prints the uninstall entry as the payload
//                           left it (64-bit view)
//   VUQ_DRIVER_LIMIT_MS     with VUQ_DRIVER_WATCH: how long the run may take; then the payload,
//                           or the program while no payload runs, is ended; after its
//                           payload, the program gets 30 s more
// Prints "started qpc=N", then one "messagebox ..." line per trapped box and the "attack ..."
// line with each attempt's error (0: it worked), then "ended qpc=N exit=N"; "error ..." and
// status 2 when the program could not be run. Watching, also "payload qpc=N application=HEX
// cmdline=HEX" at the call, "payloadlimit qpc=N" when the limit ended the payload,
// "payloadend qpc=N exit=N" and "entry ..." lines (as regtool dump prints them) once it ended,
// "limit qpc=N" when the limit ended the program itself.

#include "helper_util.h"

static wchar_t commandLine[40000];

static int Fail(const char* what) {
    printf("error %s %lu\n", what, GetLastError());
    return 2;
}

static int ReadRemote(HANDLE process, DWORD address, void* buffer, SIZE_T size) {
    SIZE_T done = 0;
    return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<ULONG_PTR>(address)),
                             buffer, size, &done) &&
           done == size;
}

static void PrintRemoteText(HANDLE process, DWORD address) {
    static wchar_t text[70000];
    size_t length = 0;
    while (length < 69999 &&
           ReadRemote(process, address + 2 * static_cast<DWORD>(length), &text[length],
                      sizeof(wchar_t)) &&
           text[length] != 0)
        ++length;
    PrintHexUnits(stdout, text, length);
}

// Name of the module at base in a process, from its export directory.
static int ReadModuleName(HANDLE process, DWORD base, char* name, DWORD size) {
    IMAGE_DOS_HEADER dos;
    IMAGE_NT_HEADERS32 nt;
    if (!ReadRemote(process, base, &dos, sizeof(dos)) ||
        !ReadRemote(process, base + static_cast<DWORD>(dos.e_lfanew), &nt, sizeof(nt)))
        return 0;
    DWORD exports = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress;
    IMAGE_EXPORT_DIRECTORY directory;
    ZeroMemory(name, size);
    return exports != 0 && ReadRemote(process, base + exports, &directory, sizeof(directory)) &&
           ReadRemote(process, base + directory.Name, name, size - 1);
}

static int IsRemoteModule(HANDLE process, DWORD base, const char* wanted) {
    char name[32];
    return ReadModuleName(process, base, name, sizeof(name)) && _stricmp(name, wanted) == 0;
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

// A breakpoint at address in the other process; *original receives the byte it replaced.
static DWORD PlantAt(HANDLE process, DWORD address, unsigned char* original) {
    ReadRemote(process, address, original, 1);
    WriteRemoteByte(process, address, 0xCC);
    return address;
}

// A breakpoint on the entry of function in the other process's copy of library at remoteBase;
// *original receives the byte it replaced.
static DWORD PlantBreakpoint(HANDLE process, DWORD remoteBase, const wchar_t* library,
                             const char* function, unsigned char* original) {
    HMODULE local = LoadLibraryW(library);
    DWORD offset = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(GetProcAddress(local, function)) -
                                      reinterpret_cast<ULONG_PTR>(local));
    return PlantAt(process, remoteBase + offset, original);
}

// Takes a breakpoint away again and lets the thread run the instruction it stood on.
static void ResumeAt(HANDLE process, HANDLE thread, DWORD address, unsigned char original) {
    WriteRemoteByte(process, address, original);
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
    context.Eip = address;
    SetThreadContext(thread, &context);
}

// The payload as the program starts it: the code of CreateProcessW lies in the module that
// holds it, which a forwarded export makes another one than kernel32.
struct PayloadWatch {
    char module[32];
    DWORD offset;
    DWORD call, back;
    unsigned char callOriginal, backOriginal;
    DWORD information;
    long long deadline;
};

static int LocateCreateProcess(PayloadWatch* watch) {
    FARPROC address = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CreateProcessW");
    HMODULE holder = nullptr;
    if (address == nullptr || !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                                  reinterpret_cast<LPCWSTR>(address), &holder))
        return 0;
    DWORD base = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(holder));
    watch->offset = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(address)) - base;
    return ReadModuleName(GetCurrentProcess(), base, watch->module, sizeof(watch->module));
}

// How long the program may take after its payload has ended, once a limit is set.
const long long kAfterPayloadSeconds = 30;

static long long CounterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

static long long DeadlineAfterMs(long long ms) {
    return ReadPerformanceCounter() + ms * CounterFrequency() / 1000;
}

static DWORD RemainingMs(long long deadline) {
    if (deadline == 0)
        return INFINITE;
    long long left = (deadline - ReadPerformanceCounter()) * 1000 / CounterFrequency();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

// At the program's CreateProcessW call: what the payload is given; a breakpoint where it returns.
static void OnPayloadCall(HANDLE process, HANDLE thread, PayloadWatch* watch) {
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL;
    GetThreadContext(thread, &context);
    DWORD frame[11] = {0};
    ReadRemote(process, context.Esp, frame, sizeof(frame));
    printf("payload qpc=%lld application=", ReadPerformanceCounter());
    PrintRemoteText(process, frame[1]);
    printf(" cmdline=");
    PrintRemoteText(process, frame[2]);
    printf("\n");
    fflush(stdout);
    ResumeAt(process, thread, watch->call, watch->callOriginal);
    watch->information = frame[10];
    watch->back = PlantAt(process, frame[0], &watch->backOriginal);
}

// Where CreateProcessW returns, the program stands still until the payload has ended, so that
// the entry is read as the payload left it, before the program cleans it.
static void OnPayloadReturn(HANDLE process, HANDLE thread, PayloadWatch* watch) {
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    GetThreadContext(thread, &context);
    ResumeAt(process, thread, watch->back, watch->backOriginal);
    PROCESS_INFORMATION information;
    HANDLE payload = nullptr;
    if (context.Eax != 0 &&
        ReadRemote(process, watch->information, &information, sizeof(information)))
        payload = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                              information.dwProcessId);
    if (payload == nullptr)
        return;
    if (WaitForSingleObject(payload, RemainingMs(watch->deadline)) == WAIT_TIMEOUT) {
        printf("payloadlimit qpc=%lld\n", ReadPerformanceCounter());
        TerminateProcess(payload, 1);
        WaitForSingleObject(payload, 10000);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(payload, &exitCode);
    printf("payloadend qpc=%lld exit=%lu\n", ReadPerformanceCounter(), exitCode);
    CloseHandle(payload);
    PrintEntry(stdout, "entry ", L"64");
    // The program's own steps after its payload get time of their own, not what is left.
    if (watch->deadline != 0)
        watch->deadline = DeadlineAfterMs(kAfterPayloadSeconds * 1000);
}

static DWORD ErrorOf(BOOL worked) {
    return worked ? 0 : GetLastError();
}

// What another process may try while the wrapper holds its payload: each should fail.
static void AttackFile(const wchar_t* target) {
    HANDLE writer =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD write = ErrorOf(writer != INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    DWORD erase = ErrorOf(DeleteFileW(target));
    static wchar_t moved[2048], self[2048];
    wcsncpy(moved, target, 2000);
    wcscat(moved, L".moved");
    DWORD rename = ErrorOf(MoveFileW(target, moved));
    GetModuleFileNameW(nullptr, self, 2048);
    DWORD overwrite = ErrorOf(CopyFileW(self, target, FALSE));
    printf("attack write=%lu delete=%lu rename=%lu overwrite=%lu\n", write, erase, rename,
           overwrite);
    fflush(stdout);
}

static wchar_t pauseMarker[2048];

// Prints an attack line: paused=0 once the marker is gone, or the error that ended the pause.
static void PauseWhileMarked() {
    HANDLE marker = CreateFileW(pauseMarker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD error = ErrorOf(marker != INVALID_HANDLE_VALUE);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    for (int waited = 0; error == 0 && GetFileAttributesW(pauseMarker) != INVALID_FILE_ATTRIBUTES;
         waited += 50) {
        if (waited >= 60000)
            error = ERROR_TIMEOUT;
        Sleep(50);
    }
    printf("attack paused=%lu\n", error);
    fflush(stdout);
}

// Prints the box's arguments, then returns IDOK from MessageBoxW as if the user clicked OK.
static void AnswerMessageBox(HANDLE process, HANDLE thread) {
    CONTEXT context;
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    GetThreadContext(thread, &context);
    DWORD frame[5] = {0};
    ReadRemote(process, context.Esp, frame, sizeof(frame));
    printf("messagebox owner=%lx style=%lx text=", frame[1], frame[4]);
    PrintRemoteText(process, frame[2]);
    printf(" caption=");
    PrintRemoteText(process, frame[3]);
    printf("\n");
    fflush(stdout);
    context.Eax = IDOK;
    context.Eip = frame[0];
    context.Esp += sizeof(frame);
    SetThreadContext(thread, &context);
}

static DWORD DebugUntilExit(const PROCESS_INFORMATION& started, const wchar_t* attacked,
                            PayloadWatch* watch) {
    DWORD breakpoint = 0, hashBreakpoint = 0;
    unsigned char original = 0, hashOriginal = 0;
    HANDLE threads[64] = {0};
    int ended = 0;
    for (;;) {
        DEBUG_EVENT event;
        if (!WaitForDebugEvent(&event, watch != nullptr ? 250 : INFINITE)) {
            if (GetLastError() != ERROR_SEM_TIMEOUT)
                return 0xDEADu;
            if (!ended && RemainingMs(watch->deadline) == 0) {
                printf("limit qpc=%lld\n", ReadPerformanceCounter());
                TerminateProcess(started.hProcess, 1);
                ended = 1;
            }
            continue;
        }
        DWORD status = DBG_CONTINUE;
        DWORD tid = event.dwThreadId % 64;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            threads[tid] = event.u.CreateProcessInfo.hThread;
            if (event.u.CreateProcessInfo.hFile)
                CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case CREATE_THREAD_DEBUG_EVENT:
            threads[tid] = event.u.CreateThread.hThread;
            break;
        case LOAD_DLL_DEBUG_EVENT: {
            DWORD base =
                static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(event.u.LoadDll.lpBaseOfDll));
            if (breakpoint == 0 && IsRemoteModule(started.hProcess, base, "user32.dll"))
                breakpoint = PlantBreakpoint(started.hProcess, base, L"user32.dll", "MessageBoxW",
                                             &original);
            if (watch != nullptr && watch->call == 0 &&
                IsRemoteModule(started.hProcess, base, watch->module))
                watch->call = PlantAt(started.hProcess, base + watch->offset, &watch->callOriginal);
            if ((attacked != nullptr || pauseMarker[0] != 0) && hashBreakpoint == 0 &&
                IsRemoteModule(started.hProcess, base, "advapi32.dll"))
                hashBreakpoint = PlantBreakpoint(started.hProcess, base, L"advapi32.dll",
                                                 "CryptHashData", &hashOriginal);
            if (event.u.LoadDll.hFile)
                CloseHandle(event.u.LoadDll.hFile);
            break;
        }
        case EXCEPTION_DEBUG_EVENT: {
            const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
            DWORD at = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
            if (record.ExceptionCode == EXCEPTION_BREAKPOINT && breakpoint != 0 &&
                at == breakpoint) {
                AnswerMessageBox(started.hProcess, threads[tid]);
            } else if (watch != nullptr && record.ExceptionCode == EXCEPTION_BREAKPOINT &&
                       watch->call != 0 && at == watch->call) {
                OnPayloadCall(started.hProcess, threads[tid], watch);
            } else if (watch != nullptr && record.ExceptionCode == EXCEPTION_BREAKPOINT &&
                       watch->back != 0 && at == watch->back) {
                OnPayloadReturn(started.hProcess, threads[tid], watch);
                watch->back = 0;
            } else if (record.ExceptionCode == EXCEPTION_BREAKPOINT && at == hashBreakpoint &&
                       (attacked != nullptr || pauseMarker[0] != 0)) {
                // Mid-hash: the wrapper stands still while the file is attacked or the harness
                // acts, then goes on from the restored first instruction.
                if (attacked != nullptr)
                    AttackFile(attacked);
                else
                    PauseWhileMarked();
                ResumeAt(started.hProcess, threads[tid], hashBreakpoint, hashOriginal);
                attacked = nullptr;
                pauseMarker[0] = 0;
            } else if (record.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        }
        case EXIT_PROCESS_DEBUG_EVENT:
            if (event.dwProcessId == started.dwProcessId) {
                ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
                return event.u.ExitProcess.dwExitCode;
            }
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

// The station and its desktop stay open while the program runs; the station is made as the
// process's own for the moment the desktop is created in it.
static int MakeHiddenDesktop(STARTUPINFOW* startup) {
    static wchar_t name[] = L"VuqHidden\\Default";
    HWINSTA original = GetProcessWindowStation();
    HWINSTA hidden = CreateWindowStationW(L"VuqHidden", 0, WINSTA_ALL_ACCESS, nullptr);
    if (hidden == nullptr || !SetProcessWindowStation(hidden))
        return 0;
    HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(original);
    startup->lpDesktop = name;
    return desktop != nullptr;
}

int wmain() {
    const wchar_t* application = ReadEnvironment(L"VUQ_DRIVER_APP", 0);
    const wchar_t* hex = ReadEnvironment(L"VUQ_DRIVER_CMDLINE_HEX", 1);
    const wchar_t* directory = ReadEnvironment(L"VUQ_DRIVER_CWD", 2);
    int trapBoxes = ReadEnvironment(L"VUQ_DRIVER_TRAP_BOXES", 3) != nullptr;
    int hidden = ReadEnvironment(L"VUQ_DRIVER_HIDDEN", 4) != nullptr;
    static wchar_t attacked[2048], held[2048];
    int attacks = GetEnvironmentVariableW(L"VUQ_DRIVER_ATTACK", attacked, 2048) != 0;
    int pauses = GetEnvironmentVariableW(L"VUQ_DRIVER_PAUSE", pauseMarker, 2048) != 0;
    static PayloadWatch watch;
    int watches = GetEnvironmentVariableW(L"VUQ_DRIVER_WATCH", nullptr, 0) != 0;
    if (watches && !LocateCreateProcess(&watch))
        return Fail("watch");
    wchar_t limit[32];
    if (GetEnvironmentVariableW(L"VUQ_DRIVER_LIMIT_MS", limit, 32) != 0)
        watch.deadline = DeadlineAfterMs(static_cast<long long>(wcstoul(limit, nullptr, 10)));
    trapBoxes = trapBoxes || attacks || pauses || watches;
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (GetEnvironmentVariableW(L"VUQ_DRIVER_HOLD", held, 2048) != 0) {
        holder =
            CreateFileW(held, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (holder == INVALID_HANDLE_VALUE)
            return Fail("hold");
    }
    if (application == nullptr || hex == nullptr)
        return Fail("usage");
    long bytes = DecodeHex(hex, wcslen(hex), reinterpret_cast<unsigned char*>(commandLine),
                           sizeof(commandLine) - sizeof(wchar_t));
    if (bytes < 0)
        return Fail("hex");
    commandLine[bytes / 2] = 0;

    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    if (hidden && !MakeHiddenDesktop(&startup))
        return Fail("hiddendesktop");
    PROCESS_INFORMATION started;
    DWORD flags = trapBoxes ? DEBUG_ONLY_THIS_PROCESS : 0;
    long long before = ReadPerformanceCounter();
    printf("started qpc=%lld\n", before);
    fflush(stdout);
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                        directory, &startup, &started))
        return Fail("createprocess");
    DWORD exitCode = 0;
    if (trapBoxes) {
        exitCode =
            DebugUntilExit(started, attacks ? attacked : nullptr, watches ? &watch : nullptr);
    } else {
        WaitForSingleObject(started.hProcess, INFINITE);
        GetExitCodeProcess(started.hProcess, &exitCode);
    }
    if (holder != INVALID_HANDLE_VALUE)
        CloseHandle(holder);
    printf("ended qpc=%lld exit=%lu pid=%lu frequency=%lld\n", ReadPerformanceCounter(), exitCode,
           started.dwProcessId, CounterFrequency());
    return 0;
}
