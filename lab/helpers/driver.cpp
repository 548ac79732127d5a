// Starts a program with an exact process command line and reports how it ended.
//   VUQ_DRIVER_APP          application path handed to CreateProcessW
//   VUQ_DRIVER_CMDLINE_HEX  the exact command line, as hex of UTF-16LE units
//   VUQ_DRIVER_CWD          current directory for the program (optional)
//   VUQ_DRIVER_HIDDEN       when set, starts the program on a desktop of a window station of
//                           its own, which has no visible display, as a service's has
//   VUQ_DRIVER_UNPRIVILEGED when set, starts the program with the Administrators group denied
//                           to it (a restricted token), as a user who is no administrator
//   VUQ_DRIVER_TRAP_BOXES   when set, runs the program under this debugger and answers each
//                           MessageBoxW call itself, printing its arguments whole (a relay
//                           trace cuts long texts)
//   VUQ_DRIVER_WATCH        when set, traps boxes as above and watches the payload from outside:
//                           at the program's CreateProcessW call it prints what the payload is
//                           given; where the call returns it holds the program until the
//                           payload has ended, then prints the uninstall entry as the payload
//                           left it (64-bit view)
//   VUQ_DRIVER_LIMIT_MS     with VUQ_DRIVER_WATCH: how long the run may take; then the payload,
//                           or the program while no payload runs, is ended; after its
//                           payload, the program gets 30 s more
// Prints "started qpc=N", then one "messagebox ..." line per trapped box, then "ended qpc=N
// exit=N"; "error ..." and status 2 when the program could not be run. Watching, also "payload
// qpc=N application=HEX cmdline=HEX" at the call, "payloadlimit qpc=N" when the limit ended the
// payload, "payloadend qpc=N exit=N" and "entry ..." lines (as regtool dump prints them) once it
// ended, "limit qpc=N" when the limit ended the program itself.

#include "debugger.h"
#include "helper_util.h"

static wchar_t commandLine[40000];

// What the driver's breakpoints stand on.
enum { kMessageBox, kPayloadCall, kPayloadReturn };

static int Fail(const char* what) {
    printf("error %s %lu\n", what, GetLastError());
    return 2;
}

static void PrintRemoteText(HANDLE process, DWORD address) {
    static wchar_t text[70000];
    PrintHexUnits(stdout, text, ReadRemoteText(process, address, text, 70000));
}

// How long the program may take after its payload has ended, once a limit is set.
const long long kAfterPayloadSeconds = 30;

static long long DeadlineAfterMs(long long ms) {
    return ReadPerformanceCounter() + ms * CounterFrequency() / 1000;
}

static DWORD RemainingMs(long long deadline) {
    if (deadline == 0)
        return INFINITE;
    long long left = (deadline - ReadPerformanceCounter()) * 1000 / CounterFrequency();
    return left > 0 ? static_cast<DWORD>(left) : 0;
}

struct Session {
    int watches;
    DWORD information; // where the program's CreateProcessW writes the payload's ids
    long long deadline;
    int ended;
};

// At the program's CreateProcessW call: what the payload is given; a breakpoint where it returns.
static void OnPayloadCall(Debuggee* debuggee, Session* session, const CONTEXT* registers) {
    DWORD frame[11] = {0};
    ReadRemote(debuggee->process, registers->Esp, frame, sizeof(frame));
    printf("payload qpc=%lld application=", ReadPerformanceCounter());
    PrintRemoteText(debuggee->process, frame[1]);
    printf(" cmdline=");
    PrintRemoteText(debuggee->process, frame[2]);
    printf("\n");
    fflush(stdout);
    session->information = frame[10];
    AddAddressBreakpoint(debuggee, frame[0], kPayloadReturn, 0);
}

// Where CreateProcessW returns, the program stands still until the payload has ended, so that
// the entry is read as the payload left it, before the program cleans it.
static void OnPayloadReturn(Debuggee* debuggee, Session* session, const CONTEXT* registers) {
    PROCESS_INFORMATION information;
    HANDLE payload = nullptr;
    if (registers->Eax != 0 &&
        ReadRemote(debuggee->process, session->information, &information, sizeof(information)))
        payload = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                              information.dwProcessId);
    if (payload == nullptr)
        return;
    if (WaitForSingleObject(payload, RemainingMs(session->deadline)) == WAIT_TIMEOUT) {
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
    if (session->deadline != 0)
        session->deadline = DeadlineAfterMs(kAfterPayloadSeconds * 1000);
}

// Prints the box's arguments, then returns IDOK from MessageBoxW as if the user clicked OK.
static void AnswerMessageBox(HANDLE process, CONTEXT* registers) {
    DWORD frame[5] = {0};
    ReadRemote(process, registers->Esp, frame, sizeof(frame));
    printf("messagebox owner=%lx style=%lx text=", frame[1], frame[4]);
    PrintRemoteText(process, frame[2]);
    printf(" caption=");
    PrintRemoteText(process, frame[3]);
    printf("\n");
    fflush(stdout);
    registers->Eax = IDOK;
    registers->Eip = frame[0];
    registers->Esp += sizeof(frame);
}

static int OnBreakpoint(void* context, Debuggee* debuggee, int index, CONTEXT* registers) {
    Session* session = static_cast<Session*>(context);
    switch (debuggee->breakpoints[index].tag) {
    case kMessageBox:
        AnswerMessageBox(debuggee->process, registers);
        return kThreadMoved;
    case kPayloadCall:
        OnPayloadCall(debuggee, session, registers);
        return kRunFunction;
    default:
        OnPayloadReturn(debuggee, session, registers);
        return kRunFunction;
    }
}

static void OnIdle(void* context, Debuggee* debuggee) {
    Session* session = static_cast<Session*>(context);
    if (session->watches && !session->ended && RemainingMs(session->deadline) == 0) {
        printf("limit qpc=%lld\n", ReadPerformanceCounter());
        TerminateProcess(debuggee->process, 1);
        session->ended = 1;
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

// This process's token with the Administrators group for deny only, and no privileges.
static HANDLE MakeUnprivilegedToken() {
    HANDLE own = nullptr, restricted = nullptr;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own) ||
        !AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return nullptr;
    SID_AND_ATTRIBUTES denied = {administrators, 0};
    if (!CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, 1, &denied, 0, nullptr, 0, nullptr,
                               &restricted))
        restricted = nullptr;
    FreeSid(administrators);
    CloseHandle(own);
    return restricted;
}

int wmain() {
    const wchar_t* application = ReadEnvironment(L"VUQ_DRIVER_APP", 0);
    const wchar_t* hex = ReadEnvironment(L"VUQ_DRIVER_CMDLINE_HEX", 1);
    const wchar_t* directory = ReadEnvironment(L"VUQ_DRIVER_CWD", 2);
    int trapBoxes = ReadEnvironment(L"VUQ_DRIVER_TRAP_BOXES", 3) != nullptr;
    int hidden = ReadEnvironment(L"VUQ_DRIVER_HIDDEN", 4) != nullptr;
    static Session session;
    session.watches = GetEnvironmentVariableW(L"VUQ_DRIVER_WATCH", nullptr, 0) != 0;
    trapBoxes = trapBoxes || session.watches;
    static Debuggee debuggee;
    ZeroMemory(&debuggee, sizeof(debuggee));
    AddFunctionBreakpoint(&debuggee, L"user32.dll", "MessageBoxW", kMessageBox, 1);
    if (session.watches &&
        AddFunctionBreakpoint(&debuggee, L"kernel32.dll", "CreateProcessW", kPayloadCall, 0) < 0)
        return Fail("watch");
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
    HANDLE token = nullptr;
    if (GetEnvironmentVariableW(L"VUQ_DRIVER_UNPRIVILEGED", nullptr, 0) != 0 &&
        (token = MakeUnprivilegedToken()) == nullptr)
        return Fail("token");
    PROCESS_INFORMATION started;
    DWORD flags = trapBoxes ? DEBUG_ONLY_THIS_PROCESS : 0;
    // The limit counts from the start the driver reports, not from before its set-up.
    wchar_t limit[32];
    if (GetEnvironmentVariableW(L"VUQ_DRIVER_LIMIT_MS", limit, 32) != 0)
        session.deadline = DeadlineAfterMs(static_cast<long long>(wcstoul(limit, nullptr, 10)));
    long long before = ReadPerformanceCounter();
    printf("started qpc=%lld\n", before);
    fflush(stdout);
    if (token != nullptr
            ? !CreateProcessAsUserW(token, application, commandLine, nullptr, nullptr, FALSE, flags,
                                    nullptr, directory, &startup, &started)
            : !CreateProcessW(application, commandLine, nullptr, nullptr, FALSE, flags, nullptr,
                              directory, &startup, &started))
        return Fail("createprocess");
    DWORD exitCode = 0;
    if (trapBoxes) {
        DebugHooks hooks = {&session, nullptr, OnBreakpoint, OnIdle};
        exitCode = DebugUntilExit(&debuggee, started.hProcess, &hooks);
    } else {
        WaitForSingleObject(started.hProcess, INFINITE);
        GetExitCodeProcess(started.hProcess, &exitCode);
    }
    printf("ended qpc=%lld exit=%lu pid=%lu frequency=%lld\n", ReadPerformanceCounter(), exitCode,
           started.dwProcessId, CounterFrequency());
    return 0;
}
