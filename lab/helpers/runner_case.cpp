// A case's lines: what they lay out, and the runs of the wrapper under the runner's debugger.

#include "runner.h"

// Options after the command's first word: key=VALUE filled in, a flag "1"; 0 for an unknown one.
static int ReadOptions(CaseState* state, const Word* words, int count, const wchar_t* const* keys,
                       int keyCount, wchar_t (*values)[kPathCapacity]) {
    for (int i = 2; i < count; ++i) {
        int known = 0;
        for (int k = 0; k < keyCount && !known; ++k) {
            size_t length = wcslen(keys[k]);
            Word value = {words[i].start + length + 1, words[i].length - length - 1,
                          words[i].barred};
            if (WordIs(words[i], keys[k])) {
                wcscpy(values[k], L"1");
                known = 1;
            } else if (words[i].length > length && words[i].start[length] == L'=' &&
                       wcsncmp(words[i].start, keys[k], length) == 0)
                known = ExpandWord(state, value, values[k], kPathCapacity) ? 1 : -1;
        }
        if (known != 1) {
            AddFailure(state,
                       L"an option this command does not take, or that cannot be filled "
                       L"in: %.*ls",
                       static_cast<int>(words[i].length), words[i].start);
            return 0;
        }
    }
    return 1;
}

static void DoLayout(CaseState* state, const Word* words, int count) {
    enum { kName, kWrapper, kPayload, kPayloads };
    static const wchar_t* const keys[] = {L"name", L"wrapper", L"payload", L"payloads"};
    static wchar_t options[4][kPathCapacity];
    wchar_t folder[kPathCapacity], payloadFolder[kPathCapacity], from[kPathCapacity];
    wchar_t to[kPathCapacity];
    wcscpy(options[kName], L"VuqSetup.exe");
    wcscpy(options[kWrapper], L"VuqSetup");
    options[kPayload][0] = options[kPayloads][0] = 0;
    if (!ExpandWorkPath(state, words, 1, folder) ||
        !ReadOptions(state, words, count, keys, 4, options))
        return;
    int none = wcscmp(options[kPayloads], L"none") == 0;
    wcscpy(payloadFolder, folder);
    if (options[kPayloads][0] != 0 && !none &&
        !MakeWorkPath(state, options[kPayloads], payloadFolder)) {
        AddFailure(state, L"not a path inside the work folder: %ls", options[kPayloads]);
        return;
    }
    if (!RemovePath(folder) || !MakeFolders(state, folder) || !MakeFolders(state, payloadFolder)) {
        AddFailure(state, L"cannot make the folder %ls anew (error %lu)", folder, GetLastError());
        return;
    }
    _snwprintf(state->folder, kPathCapacity, L"%ls", PlainOf(folder));
    _snwprintf(state->exe, kPathCapacity, L"%ls\\%ls", PlainOf(folder), options[kName]);
    // Then two payloads that differ, as real builds do: a pinned build tells them apart.
    int own = options[kPayload][0] != 0;
    const wchar_t* programs[3] = {options[kWrapper], own ? options[kPayload] : L"fake_payload",
                                  own ? options[kPayload] : L"fake_payload64"};
    const wchar_t* names[3] = {options[kName], L"VuqSetup.wzq", L"VuqSetup64.wzq"};
    for (int i = 0; i < (none ? 1 : 3); ++i) {
        _snwprintf(from, kPathCapacity, L"%ls\\%ls.exe", state->setting->programs, programs[i]);
        _snwprintf(to, kPathCapacity, L"%ls\\%ls", i == 0 ? folder : payloadFolder, names[i]);
        if (wcspbrk(programs[i], L"\\/:") != nullptr || !CopyFileW(from, to, FALSE)) {
            AddFailure(state, L"cannot copy the program %ls to %ls (error %lu)", from, to,
                       GetLastError());
            return;
        }
    }
}

static void DoCopySystemDlls(CaseState* state, const Word* words, int count) {
    wchar_t folder[kPathCapacity], name[64], from[kPathCapacity], to[kPathCapacity];
    if (!ExpandWorkPath(state, words, 1, folder))
        return;
    for (int i = 2; i < count && Expand(state, words, i, name, 64); ++i) {
        _snwprintf(from, kPathCapacity, L"%ls\\%ls.dll", state->setting->system, name);
        _snwprintf(to, kPathCapacity, L"%ls\\%ls.dll", folder, name);
        if (GetFileAttributesW(from) != INVALID_FILE_ATTRIBUTES && !CopyFileW(from, to, FALSE))
            AddFailure(state, L"copying %ls failed (error %lu)", from, GetLastError());
    }
}

// folder, delete, copy, link, write, change: a work path first (copy's after its source).
static void DoFile(CaseState* state, const Word* words, int) {
    wchar_t path[kPathCapacity], other[kPathCapacity];
    static wchar_t text[kTextCapacity];
    static char bytes[kTextCapacity * 3];
    int copy = WordIs(words[0], L"copy"), worked = 1;
    if (!ExpandWorkPath(state, words, 1 + copy, path))
        return;
    long size = WordIs(words[0], L"change") ? ReadWholeFile(path, fileBuffer) : 0;
    if (WordIs(words[0], L"folder") || WordIs(words[0], L"delete"))
        worked = RemovePath(path) && (WordIs(words[0], L"delete") || MakeFolders(state, path));
    else if (copy || WordIs(words[0], L"link"))
        worked = ExpandWorkPath(state, words, 2 - copy, other) &&
                 (copy ? CopyFileW(other, path, FALSE) : MakeLink(path, other));
    else if (WordIs(words[0], L"write"))
        worked = Expand(state, words, 2, text, kTextCapacity) &&
                 (size = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr,
                                             nullptr)) > 0 &&
                 WriteWholeFile(path, bytes, static_cast<DWORD>(size - 1));
    else if (size < 1)
        worked = 0;
    else if (WordIs(words[2], L"flip-middle-byte"))
        fileBuffer[size / 2] ^= 1;
    else if (WordIs(words[2], L"drop-last-byte"))
        --size;
    else
        fileBuffer[size++] = 0;
    if (size > 0 && WordIs(words[0], L"change"))
        worked = worked && WriteWholeFile(path, fileBuffer, static_cast<DWORD>(size));
    if (!worked)
        AddFailure(state, L"%.*ls %ls failed (error %lu)", static_cast<int>(words[0].length),
                   words[0].start, path, GetLastError());
}

// "view,name,type,hex;" as the stand-in payload and ApplyRegistryValues take them.
static int AppendRegistryValue(CaseState* state, const Word* words, int count, wchar_t* out,
                               size_t capacity) {
    wchar_t name[kTextCapacity];
    static unsigned char data[kValueDataCapacity];
    DWORD type = 0;
    long size = ReadValueData(state, words + 3, count - 3, &type, data, sizeof(data));
    size_t length = wcslen(out);
    int valid = Expand(state, words, 2, name, kTextCapacity) && size >= 0 &&
                (WordIs(words[1], L"64") || WordIs(words[1], L"32"));
    int written = valid ? _snwprintf(out + length, capacity - length, L"%.*ls,%ls,%lu,",
                                     static_cast<int>(words[1].length), words[1].start, name, type)
                        : -1;
    if (written < 0 ||
        length + static_cast<size_t>(written) + 2 * static_cast<size_t>(size) + 2 >= capacity) {
        out[length] = 0;
        AddFailure(state, L"not a value (view 64 or 32, name, type, data), or too long");
        return 0;
    }
    length += static_cast<size_t>(written);
    for (long i = 0; i < size; ++i)
        length += static_cast<size_t>(_snwprintf(out + length, 3, L"%02x", data[i]));
    wcscpy(out + length, L";");
    return 1;
}

static void DoSetUserValue(CaseState* state, const Word* words, int count) {
    wchar_t key[kPathCapacity], name[kPathCapacity];
    static unsigned char data[kValueDataCapacity];
    DWORD type = 0;
    long size = ReadValueData(state, words + 3, count - 3, &type, data, sizeof(data));
    if (!Expand(state, words, 1, key, kPathCapacity) ||
        !Expand(state, words, 2, name, kPathCapacity))
        return;
    if (size < 0)
        AddFailure(state, L"not a value: type and data");
    else if (!SetUserValue(key, name, type, data, static_cast<DWORD>(size)))
        AddFailure(state, L"cannot set HKEY_CURRENT_USER\\%ls %ls (error %lu)", key, name,
                   GetLastError());
}

// As if the payload changed while read: the middle byte of what the wrapper is about to hash.
static void DoChangeRead(CaseState* state, const Word*, int) {
    RunResult* run = state->observing;
    unsigned char read = 0;
    DWORD at = run != nullptr ? run->hashedAt + run->hashedCount / 2 : 0;
    if (run == nullptr || run->hashedCount == 0 || !ReadRemote(run->process, at, &read, 1)) {
        AddFailure(state, L"change-read runs only at a run's CryptHashData call (at-hash)");
        return;
    }
    read ^= 0xff;
    if (!WriteProcessMemory(run->process, reinterpret_cast<void*>(static_cast<ULONG_PTR>(at)),
                            &read, 1, nullptr))
        AddFailure(state, L"cannot change what the wrapper read (error %lu)", GetLastError());
}

static const wchar_t* ErrorOf(BOOL worked, wchar_t* out, const wchar_t* what) {
    _snwprintf(out, 32, L"%ls=%lu", what, worked ? 0 : GetLastError());
    return out;
}

// Another process's tries while the wrapper holds the file ({temp}\VuqSetup-*\: this run's copy).
static void DoAttack(CaseState* state, const Word* words, int) {
    wchar_t target[kPathCapacity], moved[kPathCapacity + 8], folder[kPathCapacity];
    wchar_t errors[4][32];
    size_t length = wcslen(state->setting->temp);
    if (state->observing == nullptr || !Expand(state, words, 1, target, kPathCapacity)) {
        AddFailure(state, L"attack runs only at a run's CryptHashData call (at-hash)");
        return;
    }
    if (_wcsnicmp(target, state->setting->temp, length) != 0) {
        if (!ExpandWorkPath(state, words, 1, target))
            return;
    } else if (wcsncmp(target + length, L"\\VuqSetup-*\\", 12) != 0 ||
               !ScanCopyFolders(state->setting, 0, folder)) {
        AddFailure(state, L"no copy's folder made in this run for %ls", target);
        return;
    } else {
        wcscat(folder, target + length + 11);
        wcscpy(target, folder);
    }
    HANDLE writer =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    ErrorOf(writer != INVALID_HANDLE_VALUE, errors[0], L"write");
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    ErrorOf(DeleteFileW(target), errors[1], L"delete");
    _snwprintf(moved, kPathCapacity + 8, L"%ls.moved", target);
    ErrorOf(MoveFileW(target, moved), errors[2], L"rename");
    ErrorOf(CopyFileW(state->setting->self, target, FALSE), errors[3], L"overwrite");
    AddLine(state->observing, 5, L"attack", errors[0], errors[1], errors[2], errors[3]);
}

// --- A run of the wrapper ----------------------------------------------------------------------

// The wrapper's and what it starts: ended after each run, and with the runner.
static HANDLE job;

// The breakpoints' tags: the first two are also the events they add.
enum { kNarrowCall = kNarrowed, kLibraryCall = kLibraryAsked, kWaitCall, kBoxCall, kHashCall };

// SysWOW64 is named as a 32-bit program names it (system32), so one name holds everywhere.
static void AddEvent(CaseState* state, int kind, const wchar_t* path) {
    RunResult* run = state->observing;
    const Setting* setting = state->setting;
    if (run->eventCount == kEventCapacity)
        return;
    ProcessEvent* event = &run->events[run->eventCount++];
    event->kind = kind;
    if (setting->wow64System[0] != 0 && IsUnder(path, setting->wow64System))
        _snwprintf(event->path, kPathCapacity, L"%ls%ls", setting->system,
                   path + wcslen(setting->wow64System));
    else
        _snwprintf(event->path, kPathCapacity, L"%ls", path);
    event->path[kPathCapacity - 1] = 0;
}

static void OnLoaded(void* context, Debuggee*, DWORD, const wchar_t* path) {
    AddEvent(static_cast<CaseState*>(context), kLoaded, path);
}

static void RunCommandLine(CaseState* state, int lineIndex);

static int OnCalled(void* context, Debuggee* debuggee, int index, CONTEXT* registers) {
    CaseState* state = static_cast<CaseState*>(context);
    RunResult* run = state->observing;
    DWORD frame[6] = {0};
    ReadRemote(debuggee->process, registers->Esp, frame, sizeof(frame));
    int own = frame[0] >= debuggee->imageBase && frame[0] < debuggee->imageEnd;
    int tag = debuggee->breakpoints[index].tag;
    static wchar_t text[kTextCapacity], caption[kTextCapacity];
    wchar_t owner[16], style[16];
    static const wchar_t* const calls[] = {L"", L"narrowed", L"asked", L"waited"};
    if (tag == kBoxCall) {
        ReadRemoteText(debuggee->process, frame[2], text, kTextCapacity);
        ReadRemoteText(debuggee->process, frame[3], caption, kTextCapacity);
        _snwprintf(owner, 16, L"%lx", frame[1]);
        _snwprintf(style, 16, L"%lx", frame[4]);
        AddLine(run, 5, L"box", owner, text, caption, style);
        run->boxShown = 1;
    } else if (tag == kHashCall) {
        // The wrapper stands still while the command runs, then goes on.
        run->atHashRan = 1;
        run->hashedAt = frame[2];
        run->hashedCount = frame[3];
        RunCommandLine(state, state->atHashLine);
    } else if (own) {
        if (tag == kLibraryCall)
            ReadRemoteText(debuggee->process, frame[1], text, MAX_PATH * 2);
        else
            _snwprintf(text, 16, L"%08lx", frame[tag == kWaitCall ? 2 : 1]);
        if (tag != kWaitCall)
            AddEvent(state, tag, text);
        if (wcsstr(run->traced, calls[tag]) != nullptr)
            AddLine(run, 2, calls[tag], text);
    }
    return kRunFunction;
}

static BOOL CALLBACK AnswerBox(HWND window, LPARAM processId) {
    DWORD owner = 0;
    wchar_t kind[16];
    GetWindowThreadProcessId(window, &owner);
    if (owner == static_cast<DWORD>(processId) && GetClassNameW(window, kind, 16) != 0 &&
        wcscmp(kind, L"#32770") == 0) {
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

// A box shown where someone can see it waits for a click: the runner gives it one.
static void OnIdle(void* context, Debuggee* debuggee) {
    RunResult* run = static_cast<CaseState*>(context)->observing;
    if (!run->timedOut && ReadPerformanceCounter() > run->deadline) {
        run->timedOut = 1;
        TerminateJobObject(job, 1);
        TerminateProcess(debuggee->process, 1);
    }
    if (run->boxShown)
        EnumWindows(AnswerBox, static_cast<LPARAM>(run->processId));
}

// NAME=VALUE, or the variable as the block holds it, added to the block; 0 when it does not fit.
static int AddVariable(wchar_t* block, size_t* used, const wchar_t* name, const wchar_t* value) {
    int length = _snwprintf(block + *used, kEnvironmentCapacity - *used - 2, L"%ls%ls%ls", name,
                            value != nullptr ? L"=" : L"", value != nullptr ? value : L"");
    if (length < 0)
        return 0;
    *used += static_cast<size_t>(length);
    block[(*used)++] = 0;
    block[*used] = 0;
    return 1;
}

// A desktop on a window station nobody sees, as a service's; kept for the runner's life.
static wchar_t* HiddenDesktop() {
    static wchar_t name[] = L"VuqHidden\\Default";
    static int made = 0;
    if (made)
        return name;
    HWINSTA original = GetProcessWindowStation();
    HWINSTA hidden = CreateWindowStationW(L"VuqHidden", 0, WINSTA_ALL_ACCESS, nullptr);
    if (hidden == nullptr || !SetProcessWindowStation(hidden))
        return nullptr;
    HDESK desktop = CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    SetProcessWindowStation(original);
    made = desktop != nullptr;
    return made ? name : nullptr;
}

enum { kApp, kCwd, kHold, kLimit, kTrace, kHidden, kRunOptions };

struct RunPlan {
    wchar_t options[kRunOptions][kPathCapacity];
    wchar_t commandLine[kTextCapacity];
    wchar_t directory[kPathCapacity];
    wchar_t environment[kEnvironmentCapacity];
    wchar_t values[kTextCapacity * 4]; // the entry's before the run
};

// The job, made once, ending what runs in it when the runner ends; the stop handler ends it too.
static int MakeJob() {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    job = CreateJobObjectW(nullptr, nullptr);
    if (job != nullptr &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        job = nullptr;
    }
    WatchJob(job);
    return job != nullptr;
}

// DLL loads and calls are watched only with trace=: each stop costs time (much under emulation).
static void Observe(CaseState* state, RunResult* run, RunPlan* plan, wchar_t* desktop) {
    static Debuggee debuggee;
    int traces = run->traced[0] != 0;
    ZeroMemory(&debuggee, sizeof(debuggee));
    AddFunctionBreakpoint(&debuggee, L"user32.dll", "MessageBoxW", kBoxCall, 1);
    if (traces) {
        AddFunctionBreakpoint(&debuggee, L"kernel32.dll", "SetDefaultDllDirectories", kNarrowCall,
                              1);
        AddFunctionBreakpoint(&debuggee, L"kernel32.dll", "LoadLibraryExW", kLibraryCall, 1);
        AddFunctionBreakpoint(&debuggee, L"kernel32.dll", "WaitForSingleObject", kWaitCall, 1);
    }
    if (state->atHashLine >= 0)
        AddFunctionBreakpoint(&debuggee, L"advapi32.dll", "CryptHashData", kHashCall, 0);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    PROCESS_INFORMATION started;
    run->startQpc = ReadPerformanceCounter();
    if ((job == nullptr && !MakeJob()) ||
        !CreateProcessW(plan->options[kApp], plan->commandLine, nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT, plan->environment,
                        plan->directory, &startup, &started)) {
        AddFailure(state, L"cannot make a job, or start %ls (error %lu)", plan->options[kApp],
                   GetLastError());
        return;
    }
    // Before Windows 8 no job nests: a runner in a job ends only the wrapper at the limit.
    AssignProcessToJobObject(job, started.hProcess);
    run->process = started.hProcess;
    run->processId = started.dwProcessId;
    run->deadline = run->startQpc + wcstoul(plan->options[kLimit], nullptr, 10) * run->frequency;
    DebugHooks hooks = {state, traces ? OnLoaded : nullptr, OnCalled, OnIdle};
    state->observing = run;
    run->exitCode = DebugUntilExit(&debuggee, started.hProcess, &hooks);
    state->observing = nullptr;
    run->endQpc = ReadPerformanceCounter();
    FILETIME created, ended, kernel, user;
    run->cpuMilliseconds = -1;
    if (GetProcessTimes(started.hProcess, &created, &ended, &kernel, &user))
        run->cpuMilliseconds = (kernel.dwLowDateTime + 4294967296.0 * kernel.dwHighDateTime +
                                user.dwLowDateTime + 4294967296.0 * user.dwHighDateTime) /
                               10000.0;
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
    // Whatever the wrapper left running goes with it.
    TerminateJobObject(job, 1);
    if (debuggee.loopError != 0)
        AddFailure(state, L"the debug loop failed (error %lu)", debuggee.loopError);
    if (run->timedOut)
        AddFailure(state, L"no end within %ls s: the runner ended the wrapper and its payload",
                   plan->options[kLimit]);
    if (debuggee.crash != 0)
        AddFailure(state, L"the wrapper ended of an exception it did not handle (%08lx)",
                   debuggee.crash);
    if (run->eventCount == kEventCapacity)
        AddFailure(state, L"as many DLL loads and calls as the runner keeps: some may be lost");
    if (state->atHashLine >= 0 && !run->atHashRan)
        AddFailure(state, L"the wrapper never called CryptHashData: line %d did not run",
                   state->data->lines[state->atHashLine].number);
}

// The run's environment: the runner's without its VUQ_ names, the lab's records, its env items.
static int PlanRun(CaseState* state, const Word* words, int count, RunPlan* plan) {
    static const wchar_t* const keys[] = {L"app", L"cwd", L"hold", L"limit", L"trace", L"hidden"};
    static wchar_t writes[kTextCapacity * 4], value[kTextCapacity];
    const Setting* setting = state->setting;
    wchar_t name[256];
    size_t used = 0;
    int fits = 1;
    ZeroMemory(plan->options, sizeof(plan->options));
    wcscpy(plan->options[kApp], state->exe);
    wcscpy(plan->options[kLimit], L"60");
    writes[0] = plan->values[0] = 0;
    state->atHashLine = -1;
    if (!ReadOptions(state, words, count, keys, kRunOptions, plan->options) ||
        !Expand(state, words, 1, plan->commandLine, kTextCapacity))
        return 0;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry != 0; entry += wcslen(entry) + 1)
        fits = fits && (_wcsnicmp(entry, L"VUQ_", 4) == 0 ||
                        AddVariable(plan->environment, &used, entry, nullptr));
    FreeEnvironmentStringsW(own);
    fits = fits && AddVariable(plan->environment, &used, L"VUQ_PAYLOAD_LOG", setting->payloadLog) &&
           AddVariable(plan->environment, &used, L"VUQ_NSIS_RECORD", setting->installerRecord);
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i) {
        Word items[kWordCapacity];
        int itemCount = SplitWords(state->data->lines[i].text, items, kWordCapacity);
        if (WordIs(items[0], L"at-hash"))
            state->atHashLine = i;
        else if (WordIs(items[0], L"env"))
            fits = fits && Expand(state, items, 1, name, 256) &&
                   Expand(state, items, 2, value, kTextCapacity) &&
                   AddVariable(plan->environment, &used, name, value);
        else
            fits = fits && AppendRegistryValue(state, items, itemCount,
                                               WordIs(items[0], L"entry") ? plan->values : writes,
                                               kTextCapacity * 4);
    }
    if (!fits ||
        (writes[0] != 0 && !AddVariable(plan->environment, &used, L"VUQ_PAYLOAD_REG", writes))) {
        AddFailure(state, L"the run's environment or values are too long");
        return 0;
    }
    wcscpy(plan->directory, setting->work);
    if (plan->options[kCwd][0] != 0 &&
        (!MakeWorkPath(state, plan->options[kCwd], plan->directory) ||
         !MakeFolders(state, plan->directory))) {
        AddFailure(state, L"cannot make the current directory of the run");
        return 0;
    }
    memmove(plan->directory, PlainOf(plan->directory),
            (wcslen(PlainOf(plan->directory)) + 1) * sizeof(wchar_t));
    return 1;
}

static void DoRun(CaseState* state, const Word* words, int count) {
    static RunResult run;
    static RunPlan plan;
    wchar_t held[kPathCapacity], left[kPathCapacity];
    ZeroMemory(&run, sizeof(run));
    run.frequency = CounterFrequency();
    state->run = nullptr;
    if (!PlanRun(state, words, count, &plan))
        return;
    run.traced = plan.options[kTrace];
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (plan.options[kHold][0] != 0 &&
        (!MakeWorkPath(state, plan.options[kHold], held) ||
         (holder = CreateFileW(held, GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr)) == INVALID_HANDLE_VALUE)) {
        AddFailure(state, L"cannot hold the file open for writing (error %lu)", GetLastError());
        return;
    }
    DeleteFileW(state->setting->payloadLog);
    DeleteFileW(state->setting->installerRecord);
    if (plan.values[0] != 0 && !ChangeEntry(plan.values))
        AddFailure(state, L"cannot write the uninstall entry (error %lu)", GetLastError());
    ScanCopyFolders(state->setting, 1, nullptr);
    wchar_t* desktop = plan.options[kHidden][0] != 0 ? HiddenDesktop() : nullptr;
    if (plan.options[kHidden][0] != 0 && desktop == nullptr)
        AddFailure(state, L"cannot make a window station nobody sees (error %lu)", GetLastError());
    else
        Observe(state, &run, &plan, desktop);
    if (holder != INVALID_HANDLE_VALUE)
        CloseHandle(holder);
    MakeRecord(state, &run);
    // What the run set up goes with it: the next starts from an empty entry.
    ChangeEntry(nullptr);
    // A pinned build leaves no copy behind, whatever happened.
    while (ScanCopyFolders(state->setting, 0, left)) {
        AddFailure(state, L"a copy's folder is left: %ls", left);
        if (!RemovePath(left))
            break;
    }
    ++state->runs;
    state->run = &run;
}

// --- The lines of a case -----------------------------------------------------------------------

typedef void (*Command)(CaseState* state, const Word* words, int count);

struct CommandForm {
    const wchar_t* name;
    int least, most; // words after the name
    Command run;
};

static void DoNothing(CaseState*, const Word*, int) {}

// only, wine-only, wine-specific REASON: why the case, or some of its lines, do not run here.
static void DoSayWhere(CaseState* state, const Word* words, int count) {
    if (Expand(state, words, count - 1, state->reason, kTextCapacity))
        state->notHere = WordIs(words[0], L"wine-only") ||
                         (WordIs(words[0], L"only") &&
                          WordIs(words[1], state->setting->is64 ? L"win32" : L"win64"));
}

static const CommandForm kCommands[] = {
    {L"suite", 1, 1, DoNothing},
    {L"only", 2, 2, DoSayWhere},
    {L"wine-only", 1, 1, DoSayWhere},
    {L"wine-specific", 1, 1, DoSayWhere},
    {L"layout", 1, 5, DoLayout},
    {L"folder", 1, 1, DoFile},
    {L"copy", 2, 2, DoFile},
    {L"copy-system-dlls", 2, kWordCapacity - 1, DoCopySystemDlls},
    {L"write", 2, 2, DoFile},
    {L"change", 2, 2, DoFile},
    {L"delete", 1, 1, DoFile},
    {L"link", 2, 2, DoFile},
    {L"set-user-value", 4, kWordCapacity - 1, DoSetUserValue},
    {L"attack", 1, 1, DoAttack},
    {L"change-read", 0, 0, DoChangeRead},
    {L"run", 1, 7, DoRun},
    {L"expect", 1, 12, DoExpect},
};

static const CommandForm* FindCommand(const Word& word) {
    for (const CommandForm& form : kCommands)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}

// "wine:" holds only under Wine, "windows:" only off it; a run passed by leaves none to expect.
static void RunCommandLine(CaseState* state, int lineIndex) {
    Word words[kWordCapacity];
    int count = SplitWords(state->data->lines[lineIndex].text, words, kWordCapacity);
    int first = count > 1 && (WordIs(words[0], L"wine:") || WordIs(words[0], L"windows:"));
    int saved = state->currentLine;
    state->currentLine = lineIndex;
    if (first && WordIs(words[0], L"wine:") != state->setting->onWine) {
        ++state->skippedLines;
        state->run = WordIs(words[1], L"run") ? nullptr : state->run;
    } else {
        // at-hash's own command follows its name.
        first += WordIs(words[first], L"at-hash") && state->observing != nullptr;
        const CommandForm* form = FindCommand(words[first]);
        if (form != nullptr)
            form->run(state, words + first, count - first);
    }
    state->currentLine = saved;
}

void RunCaseLines(CaseState* state) {
    state->atHashLine = -1;
    for (int i = state->firstLine; i < state->endLine && !state->notHere; ++i)
        if (!IsItemLine(state->data->lines[i]))
            RunCommandLine(state, i);
}

// Why the line is wrong, or null. items: 2 below a run, 1 below a record, 0 else.
static const wchar_t* CheckLine(const DataLine& line, int items, const CommandForm** form,
                                int* record) {
    Word words[kWordCapacity];
    int count = SplitWords(line.text, words, kWordCapacity);
    if (count < 0)
        return L"a bar without its pair, or too many words";
    if (IsItemLine(line)) {
        const CommandForm* command = count > 1 ? FindCommand(words[1]) : nullptr;
        int runItem = (WordIs(words[0], L"env") && count == 3) ||
                      ((WordIs(words[0], L"entry") || WordIs(words[0], L"writes")) && count >= 5) ||
                      (WordIs(words[0], L"at-hash") && command != nullptr &&
                       count - 2 >= command->least && count - 2 <= command->most);
        return items == 0               ? L"an item line below neither run nor record"
               : items == 2 && !runItem ? L"not an item of a run"
                                        : nullptr;
    }
    int first = count > 1 && (WordIs(words[0], L"wine:") || WordIs(words[0], L"windows:"));
    *form = count > first ? FindCommand(words[first]) : nullptr;
    if (*form == nullptr)
        return L"no such command";
    int after = count - first - 1;
    if (after < (*form)->least || after > (*form)->most)
        return L"wrong number of words";
    if (WordIs(words[first], L"only") && !WordIs(words[first + 1], L"win64") &&
        !WordIs(words[first + 1], L"win32"))
        return L"only win64 or only win32";
    *record = (*form)->run == DoExpect && WordIs(words[first + 1], L"record");
    return (*form)->run == DoExpect ? CheckExpectation(words + first + 1, after) : nullptr;
}

static int Refuse(wchar_t* error, size_t capacity, const DataLine& line, const wchar_t* what) {
    Say(error, capacity, L"line %d: %ls: %ls", line.number, what, line.text);
    return 0;
}

// Every line right, every case one suite, every run a record, before anything runs.
int ValidateDataFile(const DataFile* data, wchar_t* error, size_t capacity) {
    int items = 0, suites = 0, unchecked = -1; // items: 2 a run's, 1 a record's, 0 none
    for (int i = 0; i <= data->lineCount; ++i) {
        if (i == data->lineCount || data->lines[i].indent == 0) {
            if (unchecked >= 0)
                return Refuse(error, capacity, data->lines[unchecked], L"a run without its record");
            if (i > 0 && suites != 1)
                return Refuse(error, capacity, data->lines[i - 1], L"a case needs one suite");
            items = suites = 0;
            continue;
        }
        const CommandForm* form = nullptr;
        int record = 0;
        const wchar_t* wrong = CheckLine(data->lines[i], items, &form, &record);
        if (wrong != nullptr)
            return Refuse(error, capacity, data->lines[i], wrong);
        if (form == nullptr)
            continue;
        if (form->run == DoRun && unchecked >= 0)
            return Refuse(error, capacity, data->lines[unchecked], L"a run without its record");
        suites += wcscmp(form->name, L"suite") == 0;
        unchecked = form->run == DoRun ? i : record ? -1 : unchecked;
        items = form->run == DoRun ? 2 : record;
    }
    return 1;
}
