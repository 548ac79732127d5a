// Runs the end-to-end cases of VuqSetup.exe on the Windows it runs on (Wine is one), XP SP3 and
// later. Its options, output and exit status, and what it changes and puts back: docs/WINDOWS.md.

#include "runner.h"

static DataFile data;

static Setting setting;
static CaseState state;

static int Refuse(const wchar_t* why) {
    Print(L"refused: %ls\n", why);
    return 2;
}

static int FullPath(const wchar_t* given, wchar_t* out) {
    DWORD length = GetFullPathNameW(given, kPathCapacity, out, nullptr);
    return length != 0 && length < kPathCapacity;
}

static int ReadArguments(int argc, wchar_t** argv, wchar_t* cases, const wchar_t** only) {
    wchar_t drive[8] = L"C:";
    GetModuleFileNameW(nullptr, setting.self, kPathCapacity);
    wcscpy(setting.programs, setting.self);
    *wcsrchr(setting.programs, L'\\') = 0;
    _snwprintf(cases, kPathCapacity, L"%ls\\cases.txt", setting.programs);
    GetEnvironmentVariableW(L"SystemDrive", drive, 8);
    _snwprintf(setting.work, kPathCapacity, L"%ls\\vuq-e2e", drive);
    for (int i = 1; i < argc; ++i) {
        wchar_t* into = wcscmp(argv[i], L"--cases") == 0      ? cases
                        : wcscmp(argv[i], L"--programs") == 0 ? setting.programs
                        : wcscmp(argv[i], L"--work") == 0     ? setting.work
                                                              : nullptr;
        if (wcscmp(argv[i], L"--only") == 0 && i + 1 < argc)
            *only = argv[++i];
        else if (into == nullptr || i + 1 == argc || !FullPath(argv[++i], into))
            return 0;
    }
    size_t length = wcslen(setting.work);
    if (length > 3 && setting.work[length - 1] == L'\\')
        setting.work[length - 1] = 0;
    _snwprintf(setting.payloadLog, kPathCapacity, L"%ls\\payload.log", setting.work);
    _snwprintf(setting.installerRecord, kPathCapacity, L"%ls\\installer.txt", setting.work);
    return 1;
}

extern "C" LONG WINAPI RtlGetVersion(OSVERSIONINFOW* version);

static void DescribeSystem() {
    typedef const char*(CDECL * WineVersionFunction)();
    BOOL wow64 = FALSE;
    setting.is64 = IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
    WineVersionFunction wineVersion = reinterpret_cast<WineVersionFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version")));
    setting.onWine = wineVersion != nullptr;
    GetSystemDirectoryW(setting.system, kPathCapacity);
    UINT windows = GetSystemWindowsDirectoryW(setting.temp, kPathCapacity - 8);
    wcscpy(setting.temp + windows, L"\\Temp");
    if (!setting.is64 || GetSystemWow64DirectoryW(setting.wow64System, kPathCapacity) == 0)
        setting.wow64System[0] = 0;
    // GetVersionExW tells a program without a manifest that 10 and 11 are 8; ntdll's does not.
    OSVERSIONINFOW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    RtlGetVersion(&version);
    printf("e2e_runner: %d cases of %d declared, on Windows %lu.%lu.%lu, %s%s%s\n", data.caseCount,
           data.declared, version.dwMajorVersion, version.dwMinorVersion, version.dwBuildNumber,
           setting.is64 ? "64-bit" : "32-bit", setting.onWine ? ", Wine " : "",
           setting.onWine ? wineVersion() : "");
    fflush(stdout);
}

// Runs case index, or tells why it is not here; returns 1 passed, 0 failed, -1 not here.
static int RunCase(int index) {
    const wchar_t* name = data.lines[data.caseLines[index]].text + 5;
    ZeroMemory(&state, sizeof(state));
    state.setting = &setting;
    state.data = &data;
    state.firstLine = data.caseLines[index] + 1;
    state.endLine = index + 1 < data.caseCount ? data.caseLines[index + 1] : data.lineCount;
    state.currentLine = data.caseLines[index];
    RunCaseLines(&state);
    RestoreAfterCase(0);
    // A case none of whose runs holds here is not here; one that says no reason, a fault.
    if (state.notHere || (state.reason[0] != 0 && state.runs == 0 && state.failuresLength == 0)) {
        Print(L"not-here %ls: %ls\n", name, state.reason);
        return -1;
    }
    if (state.runs == 0)
        AddFailure(&state, L"no run took place on this system");
    int passed = state.failuresLength == 0;
    Print(L"%ls%ls\n%ls", passed ? L"ok   " : L"FAIL ", name, state.failures);
    if (state.skippedLines > 0)
        Print(L"    %d line(s) passed by, as they hold on another system: %ls\n",
              state.skippedLines, state.reason);
    return passed;
}

// From Explorer the runner's console is its own, and would close before anyone read it.
static int KeepConsoleOpen(int status) {
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) {
        printf("Press Enter to close this window.\n");
        fflush(stdout);
        getchar();
    }
    return status;
}

static int RunAll(int argc, wchar_t** argv);

static int IsChosen(int index, const wchar_t* only) {
    return only == nullptr || wcsstr(data.lines[data.caseLines[index]].text + 5, only) != nullptr;
}

int wmain(int argc, wchar_t** argv) {
    return KeepConsoleOpen(RunAll(argc, argv));
}

static int RunAll(int argc, wchar_t** argv) {
    // Inherited by the wrapper and its payload: a crash shows no error-reporting dialog.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    static wchar_t cases[kPathCapacity], error[kTextCapacity];
    const wchar_t* only = nullptr;
    if (!ReadArguments(argc, argv, cases, &only))
        return Refuse(L"usage: e2e_runner.exe [--cases FILE] [--programs DIR] [--work DIR] "
                      L"[--only TEXT]");
    if (!ReadDataFile(cases, &data, error, kTextCapacity) ||
        !ValidateDataFile(&data, error, kTextCapacity))
        return Refuse(error);
    DescribeSystem();
    if (GetFileAttributesW(setting.programs) == INVALID_FILE_ATTRIBUTES)
        return Refuse(L"the programs' folder does not exist");
    if (!PrepareRun(setting.work, error, kTextCapacity))
        return Refuse(error);
    int chosen = 0;
    for (int i = 0; i < data.caseCount; ++i)
        chosen += IsChosen(i, only);
    if (only != nullptr && chosen == 0) {
        Say(error, kTextCapacity, L"no case's name holds \"%ls\" (--only)", only);
        return Refuse(error);
    }
    if (!BeginSafeRun(setting.work))
        return Refuse(L"cannot write the record of what to put back in the work folder");
    int passed = 0, failed = 0, notHere = 0;
    for (int i = 0; i < data.caseCount; ++i) {
        if (!IsChosen(i, only))
            continue;
        long long started = ReadPerformanceCounter();
        int outcome = RunCase(i);
        printf("    %.1f s\n", static_cast<double>(ReadPerformanceCounter() - started) /
                                   static_cast<double>(CounterFrequency()));
        passed += outcome == 1;
        failed += outcome == 0;
        notHere += outcome < 0;
    }
    RestoreAfterCase(1);
    int countsDiffer = data.caseCount != data.declared;
    if (countsDiffer)
        printf("the cases file declares %d cases and holds %d\n", data.declared, data.caseCount);
    SystemKind kind =
        static_cast<SystemKind>((setting.onWine ? kWine64 : kWindows64) + (setting.is64 ? 0 : 1));
    if (only == nullptr && data.notHere[kind] != notHere) {
        Print(L"the cases file says %d case(s) are not here on %ls; %d were\n", data.notHere[kind],
              kSystemKindNames[kind], notHere);
        countsDiffer = 1;
    }
    printf("%d passed, %d failed, %d not here\n", passed, failed, notHere);
    fflush(stdout);
    return failed > 0 || countsDiffer || (only == nullptr && chosen != data.declared) ? 1 : 0;
}
