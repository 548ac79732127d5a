// A case's lines: what they lay out, and the runs of the wrapper under the runner's debugger.

#include "runner.h"

// --- The commands that lay out a case -------------------------------------------------------

// The value of the option key=VALUE, after the command's first word, filled in; 0 when the line
// has none, -1 when it cannot be filled in. A flag is an option without a value.
static int ReadOption(const CaseState* state, const Word* words, int count, const wchar_t* key,
                      wchar_t* out) {
    size_t length = wcslen(key);
    for (int i = 2; i < count; ++i) {
        if (WordIs(words[i], key))
            return 1;
        if (words[i].length > length && words[i].start[length] == L'=' &&
            wcsncmp(words[i].start, key, length) == 0) {
            Word value = {words[i].start + length + 1, words[i].length - length - 1,
                          words[i].barred};
            return ExpandWord(state, value, out, kPathCapacity) ? 1 : -1;
        }
    }
    return 0;
}

// Copies the program NAME.exe of the programs' folder to the path to.
static int CopyProgram(CaseState* state, const wchar_t* name, const wchar_t* to) {
    wchar_t program[kPathCapacity];
    _snwprintf(program, kPathCapacity, L"%ls\\%ls.exe", state->setting->programs, name);
    program[kPathCapacity - 1] = 0;
    if (wcspbrk(name, L"\\/:") != nullptr || GetFileAttributesW(program) == INVALID_FILE_ATTRIBUTES)
        AddFailure(state, L"the program %ls.exe is not in %ls", name, state->setting->programs);
    else if (!CopyFileW(program, to, FALSE))
        AddFailure(state, L"copying %ls to %ls failed (error %lu)", program, to, GetLastError());
    else
        return 1;
    return 0;
}

static void DoLayout(CaseState* state, const Word* words, int count) {
    wchar_t folder[kPathCapacity], name[kPathCapacity] = L"VuqSetup.exe";
    wchar_t wrapper[kPathCapacity] = L"VuqSetup", payload[kPathCapacity] = L"";
    wchar_t where[kPathCapacity], payloadFolder[kPathCapacity];
    if (!ExpandWorkPath(state, words, 1, folder))
        return;
    int placed = ReadOption(state, words, count, L"payloads", where);
    if (ReadOption(state, words, count, L"name", name) < 0 ||
        ReadOption(state, words, count, L"wrapper", wrapper) < 0 ||
        ReadOption(state, words, count, L"payload", payload) < 0 || placed < 0) {
        AddFailure(state, L"an option cannot be filled in");
        return;
    }
    int withPayloads = placed == 0 || wcscmp(where, L"none") != 0;
    wcscpy(payloadFolder, folder);
    if (placed > 0 && withPayloads && !MakeWorkPath(state, where, payloadFolder)) {
        AddFailure(state, L"not a path inside the work folder: %ls", where);
        return;
    }
    if (!RemovePath(folder) || !MakeFolders(state, folder) || !MakeFolders(state, payloadFolder)) {
        AddFailure(state, L"cannot make the folder %ls anew (error %lu)", folder, GetLastError());
        return;
    }
    _snwprintf(state->folder, kPathCapacity, L"%ls", PlainOf(folder));
    _snwprintf(state->exe, kPathCapacity, L"%ls\\%ls", PlainOf(folder), name);
    wchar_t exe[kPathCapacity];
    _snwprintf(exe, kPathCapacity, L"%ls\\%ls", folder, name);
    if (!CopyProgram(state, wrapper, exe) || !withPayloads)
        return;
    // Two builds that differ, as the real payloads do: a pinned build tells them apart.
    static const wchar_t* names[2][2] = {{L"VuqSetup.wzq", L"fake_payload"},
                                         {L"VuqSetup64.wzq", L"fake_payload64"}};
    for (int i = 0; i < 2; ++i) {
        wchar_t to[kPathCapacity];
        _snwprintf(to, kPathCapacity, L"%ls\\%ls", payloadFolder, names[i][0]);
        if (!CopyProgram(state, payload[0] != 0 ? payload : names[i][1], to))
            return;
    }
}

static void DoCopySystemDlls(CaseState* state, const Word* words, int count) {
    wchar_t folder[kPathCapacity];
    if (!ExpandWorkPath(state, words, 1, folder))
        return;
    for (int i = 2; i < count; ++i) {
        wchar_t name[64], from[kPathCapacity], to[kPathCapacity];
        if (!Expand(state, words, i, name, 64))
            return;
        _snwprintf(from, kPathCapacity, L"%ls\\%ls.dll", state->setting->system, name);
        _snwprintf(to, kPathCapacity, L"%ls\\%ls.dll", folder, name);
        if (GetFileAttributesW(from) != INVALID_FILE_ATTRIBUTES && !CopyFileW(from, to, FALSE))
            AddFailure(state, L"copying %ls failed (error %lu)", from, GetLastError());
    }
}

// folder, delete, copy, link, write and change: each a path of the work folder first (copy's
// after the source), then what it takes.
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
    if (!Expand(state, words, 2, name, kTextCapacity) || size < 0 ||
        (!WordIs(words[1], L"64") && !WordIs(words[1], L"32"))) {
        AddFailure(state, L"not a value: view 64 or 32, name, type, data");
        return 0;
    }
    size_t length = wcslen(out);
    int written = _snwprintf(out + length, capacity - length, L"%.*ls,%ls,%lu,",
                             static_cast<int>(words[1].length), words[1].start, name, type);
    if (written < 0 ||
        length + static_cast<size_t>(written) + 2 * static_cast<size_t>(size) + 2 >= capacity) {
        AddFailure(state, L"the values for one run are too long");
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

static DWORD ErrorOf(BOOL worked) {
    return worked ? 0 : GetLastError();
}

// A path in the work folder; or {temp}\VuqSetup-*\NAME, NAME in the copy's folder that the
// wrapper made during this run.
static int ExpandCopyOrWorkPath(CaseState* state, const Word* words, int index, wchar_t* out) {
    wchar_t expanded[kPathCapacity], folder[kPathCapacity];
    if (!Expand(state, words, index, expanded, kPathCapacity))
        return 0;
    size_t length = wcslen(state->setting->temp);
    if (_wcsnicmp(expanded, state->setting->temp, length) != 0)
        return ExpandWorkPath(state, words, index, out);
    if (wcsncmp(expanded + length, L"\\VuqSetup-*\\", 12) != 0 ||
        !ScanCopyFolders(state->setting, 0, folder)) {
        AddFailure(state, L"no copy's folder made in this run for %ls", expanded);
        return 0;
    }
    _snwprintf(out, kPathCapacity, L"%ls%ls", folder, expanded + length + 11);
    return 1;
}

// What a change of the payload while the wrapper reads it would do: the byte in the middle of
// the buffer it is about to hash and write is not what it read.
static void DoChangeRead(CaseState* state, const Word*, int) {
    RunResult* run = state->observing;
    unsigned char read = 0;
    void* at =
        run != nullptr ? reinterpret_cast<void*>(run->hashedAt + run->hashedCount / 2) : nullptr;
    if (run == nullptr || run->hashedCount == 0 ||
        !ReadProcessMemory(run->process, at, &read, 1, nullptr) ||
        (read ^= 0xff, !WriteProcessMemory(run->process, at, &read, 1, nullptr)))
        AddFailure(state, L"change-read runs only at a run's CryptHashData call (at-hash)");
}

// What another process may try while the wrapper holds its payload: each should fail.
static void DoAttack(CaseState* state, const Word* words, int) {
    wchar_t target[kPathCapacity], moved[kPathCapacity + 8];
    if (state->observing == nullptr) {
        AddFailure(state, L"attack runs only at a run's CryptHashData call (at-hash)");
        return;
    }
    if (!ExpandCopyOrWorkPath(state, words, 1, target))
        return;
    HANDLE writer =
        CreateFileW(target, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD* errors = state->observing->attackErrors;
    errors[0] = ErrorOf(writer != INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE)
        CloseHandle(writer);
    errors[1] = ErrorOf(DeleteFileW(target));
    _snwprintf(moved, kPathCapacity + 8, L"%ls.moved", target);
    errors[2] = ErrorOf(MoveFileW(target, moved));
    errors[3] = ErrorOf(CopyFileW(state->setting->self, target, FALSE));
    state->observing->attacked = 1;
}

// --- A run of the wrapper ----------------------------------------------------------------------

enum { kBoxCall, kNarrowCall, kLibraryCall, kWaitCall, kHashCall };

struct Observation {
    CaseState* state;
    RunResult* run;
    HANDLE job;
    long long deadline;
    int boxShown;
    DWORD processId;
};

static void AddEvent(RunResult* run, int kind, DWORD value, const wchar_t* path) {
    if (run->eventCount == kEventCapacity) {
        run->eventsLost = 1;
        return;
    }
    ProcessEvent* event = &run->events[run->eventCount++];
    event->kind = kind;
    event->value = value;
    wcsncpy(event->path, path, MAX_PATH * 2 - 1);
    event->path[MAX_PATH * 2 - 1] = 0;
}

// A DLL from the 32-bit system folder's real place (SysWOW64) under the name a 32-bit program
// gives that folder, so that one name holds on every system.
static void OnLoaded(void* context, Debuggee*, DWORD, const wchar_t* path) {
    Observation* observation = static_cast<Observation*>(context);
    const Setting* setting = observation->state->setting;
    wchar_t named[kPathCapacity];
    if (setting->wow64System[0] != 0 && IsUnder(path, setting->wow64System))
        _snwprintf(named, kPathCapacity, L"%ls%ls", setting->system,
                   path + wcslen(setting->wow64System));
    else
        wcsncpy(named, path, kPathCapacity - 1);
    named[kPathCapacity - 1] = 0;
    AddEvent(observation->run, kLoaded, 0, named);
}

static void RunCommandLine(CaseState* state, int lineIndex);

static int OnCalled(void* context, Debuggee* debuggee, int index, CONTEXT* registers) {
    Observation* observation = static_cast<Observation*>(context);
    RunResult* run = observation->run;
    DWORD frame[6] = {0};
    ReadRemote(debuggee->process, registers->Esp, frame, sizeof(frame));
    int own = frame[0] >= debuggee->imageBase && frame[0] < debuggee->imageEnd;
    static wchar_t text[kTextCapacity];
    switch (debuggee->breakpoints[index].tag) {
    case kBoxCall:
        if (run->boxCount < kBoxCapacity) {
            MessageBoxCall* box = &run->boxes[run->boxCount++];
            box->owner = frame[1];
            box->style = frame[4];
            ReadRemoteText(debuggee->process, frame[2], box->text, kTextCapacity);
            ReadRemoteText(debuggee->process, frame[3], box->caption, 256);
        }
        observation->boxShown = 1;
        break;
    case kNarrowCall:
        if (own)
            AddEvent(run, kNarrowed, frame[1], L"");
        break;
    case kLibraryCall:
        if (own) {
            ReadRemoteText(debuggee->process, frame[1], text, MAX_PATH * 2);
            AddEvent(run, kLibraryAsked, 0, text);
        }
        break;
    case kWaitCall:
        if (own)
            AddEvent(run, kWaited, frame[2], L"");
        break;
    default:
        // The wrapper stands still while the command runs, then goes on.
        run->atHashRan = 1;
        run->process = debuggee->process;
        run->hashedAt = frame[2];
        run->hashedCount = frame[3];
        RunCommandLine(observation->state, observation->state->atHashLine);
        break;
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
    Observation* observation = static_cast<Observation*>(context);
    if (!observation->run->timedOut && ReadPerformanceCounter() > observation->deadline) {
        observation->run->timedOut = 1;
        TerminateJobObject(observation->job, 1);
        TerminateProcess(debuggee->process, 1);
    }
    if (observation->boxShown)
        EnumWindows(AnswerBox, static_cast<LPARAM>(observation->processId));
}

// Appends NAME=VALUE (or, value null, the variable name as the block holds it) to the run's
// environment block; 0 when it does not fit.
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

// A desktop on a window station of the runner's own, which no one sees, as a service's; kept
// for the runner's life.
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

static void ReadHexField(const char* line, const char* key, wchar_t* out, size_t capacity) {
    out[0] = 0;
    const char* at = strstr(line, key);
    if (at == nullptr)
        return;
    at += strlen(key);
    size_t digits = strcspn(at, " \r\n");
    size_t units = 0;
    for (size_t i = 0; i + 3 < digits && units + 1 < capacity; i += 4) {
        char unit[5] = {at[i + 2], at[i + 3], at[i], at[i + 1], 0};
        out[units++] = static_cast<wchar_t>(strtoul(unit, nullptr, 16));
    }
    out[units] = 0;
}

// The stand-in payload's own record of each start, and of its end.
static void ReadPayloadLog(const wchar_t* path, RunResult* run) {
    long size = ReadWholeFile(path, fileBuffer);
    char* text = reinterpret_cast<char*>(fileBuffer);
    text[size > 0 ? size : 0] = 0;
    for (char* line = strtok(text, "\n"); line != nullptr; line = strtok(nullptr, "\n")) {
        const char* build = strstr(line, "build=");
        const char* mode = strstr(line, "errormode=");
        if (strncmp(line, "start ", 6) == 0 && run->payloadCount < kPayloadStartCapacity) {
            PayloadStart* start = &run->payloads[run->payloadCount++];
            ZeroMemory(start, sizeof(*start));
            if (build != nullptr)
                MultiByteToWideChar(CP_ACP, 0, build + 6, static_cast<int>(strcspn(build + 6, " ")),
                                    start->build, 7);
            ReadHexField(line, "module=", start->module, kPathCapacity);
            ReadHexField(line, "cwd=", start->directory, kPathCapacity);
            ReadHexField(line, "cmdline=", start->commandLine, kTextCapacity);
            start->knowsErrorMode = mode != nullptr;
            start->errorMode = mode != nullptr ? strtoul(mode + 10, nullptr, 16) : 0;
        } else if (strncmp(line, "end ", 4) == 0 && run->payloadCount > 0) {
            const char* qpc = strstr(line, "qpc=");
            run->payloads[run->payloadCount - 1].endQpc =
                qpc != nullptr ? _strtoi64(qpc + 4, nullptr, 10) : 0;
            run->payloads[run->payloadCount - 1].ended = 1;
        }
    }
}

static void SetRunError(RunResult* run, const wchar_t* what, const wchar_t* detail) {
    _snwprintf(run->error, 511, L"%ls %ls (error %lu)", what, detail, GetLastError());
    run->error[511] = 0;
}

// Boxes are watched in every run; DLL loads and calls only in a run with trace=, as each stop
// of the process costs time (much of it under emulation).
static void AddBreakpoints(Debuggee* debuggee, int traces, int hashes) {
    AddFunctionBreakpoint(debuggee, L"user32.dll", "MessageBoxW", kBoxCall, 1);
    if (traces) {
        AddFunctionBreakpoint(debuggee, L"kernel32.dll", "SetDefaultDllDirectories", kNarrowCall,
                              1);
        AddFunctionBreakpoint(debuggee, L"kernel32.dll", "LoadLibraryExW", kLibraryCall, 1);
        AddFunctionBreakpoint(debuggee, L"kernel32.dll", "WaitForSingleObject", kWaitCall, 1);
    }
    if (hashes)
        AddFunctionBreakpoint(debuggee, L"advapi32.dll", "CryptHashData", kHashCall, 0);
}

// The process's CPU time, user and kernel, in milliseconds.
static double CpuMillisecondsOf(HANDLE process) {
    FILETIME created, ended, kernel, user;
    if (!GetProcessTimes(process, &created, &ended, &kernel, &user))
        return -1;
    ULARGE_INTEGER kernelTime = {{kernel.dwLowDateTime, kernel.dwHighDateTime}};
    ULARGE_INTEGER userTime = {{user.dwLowDateTime, user.dwHighDateTime}};
    return static_cast<double>(kernelTime.QuadPart + userTime.QuadPart) / 10000.0;
}

// Starts the wrapper in a job of its own (its payload joins it), debugs it to its end.
static void Observe(CaseState* state, RunResult* run, const wchar_t* application,
                    wchar_t* commandLine, const wchar_t* directory, wchar_t* environment,
                    wchar_t* desktop, DWORD limitSeconds, int traces) {
    static Debuggee debuggee;
    ZeroMemory(&debuggee, sizeof(debuggee));
    AddBreakpoints(&debuggee, traces, state->atHashLine >= 0);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop;
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    ZeroMemory(&limits, sizeof(limits));
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        SetRunError(run, L"cannot make a job object", L"");
        return;
    }
    WatchJob(job);
    PROCESS_INFORMATION started;
    run->startQpc = ReadPerformanceCounter();
    if (!CreateProcessW(application, commandLine, nullptr, nullptr, FALSE,
                        DEBUG_ONLY_THIS_PROCESS | CREATE_UNICODE_ENVIRONMENT, environment,
                        directory, &startup, &started)) {
        SetRunError(run, L"cannot start", application);
    } else {
        // Where the runner runs in a job itself before Windows 8, which nests none, the wrapper
        // goes without: then only the wrapper is ended at the limit.
        AssignProcessToJobObject(job, started.hProcess);
        Observation observation = {state, run, job, 0, 0, started.dwProcessId};
        observation.deadline =
            run->startQpc + static_cast<long long>(limitSeconds) * run->frequency;
        DebugHooks hooks = {&observation, traces ? OnLoaded : nullptr, OnCalled, OnIdle};
        state->observing = run;
        run->exitCode = DebugUntilExit(&debuggee, started.hProcess, &hooks);
        state->observing = nullptr;
        run->endQpc = ReadPerformanceCounter();
        run->crash = debuggee.crash;
        run->cpuMilliseconds = CpuMillisecondsOf(started.hProcess);
        if (debuggee.loopError != 0)
            SetRunError(run, L"the debug loop failed", L"");
        CloseHandle(started.hThread);
        CloseHandle(started.hProcess);
    }
    // Whatever the wrapper left running goes with the job.
    TerminateJobObject(job, 1);
    WatchJob(nullptr);
    CloseHandle(job);
}

// The run's environment: the runner's own without its VUQ_ names, the stand-in payload's log
// and the lab's NSIS installer's record, then the run's item lines: env NAME VALUE, the values
// of the uninstall entry before it (entry VIEW NAME TYPE DATA..., into values), those the
// stand-in payload writes at its end (writes ...); and the command it runs at CryptHashData
// (at-hash COMMAND...).
static int ReadRunItems(CaseState* state, wchar_t* environment, wchar_t* values) {
    static wchar_t writes[kTextCapacity * 4], value[kTextCapacity];
    wchar_t name[256], file[kPathCapacity];
    size_t used = 0;
    int fits = 1;
    writes[0] = environment[0] = 0;
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* entry = own; *entry != 0; entry += wcslen(entry) + 1)
        fits = fits && (_wcsnicmp(entry, L"VUQ_", 4) == 0 ||
                        AddVariable(environment, &used, entry, nullptr));
    FreeEnvironmentStringsW(own);
    _snwprintf(file, kPathCapacity, L"%ls\\payload.log", state->setting->work);
    fits = fits && AddVariable(environment, &used, L"VUQ_PAYLOAD_LOG", file);
    _snwprintf(file, kPathCapacity, L"%ls\\installer.txt", state->setting->work);
    fits = fits && AddVariable(environment, &used, L"VUQ_NSIS_RECORD", file);
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i) {
        Word words[kWordCapacity];
        int count = SplitWords(state->data->lines[i].text, words, kWordCapacity);
        if (WordIs(words[0], L"at-hash"))
            state->atHashLine = i;
        else if (WordIs(words[0], L"env"))
            fits = fits && Expand(state, words, 1, name, 256) &&
                   Expand(state, words, 2, value, kTextCapacity) &&
                   AddVariable(environment, &used, name, value);
        else
            fits = fits && AppendRegistryValue(state, words, count,
                                               WordIs(words[0], L"entry") ? values : writes,
                                               kTextCapacity * 4);
    }
    return fits && (writes[0] == 0 || AddVariable(environment, &used, L"VUQ_PAYLOAD_REG", writes));
}

static void DoRun(CaseState* state, const Word* words, int count) {
    static RunResult run;
    static wchar_t commandLine[kTextCapacity], application[kPathCapacity];
    static wchar_t environment[kEnvironmentCapacity], values[kTextCapacity * 4];
    wchar_t log[kPathCapacity], installer[kPathCapacity];
    wchar_t directory[kPathCapacity], cwd[kPathCapacity], hold[kPathCapacity], held[kPathCapacity];
    wchar_t traced[kPathCapacity] = L"", limitText[kPathCapacity] = L"60";
    ZeroMemory(&run, sizeof(run));
    run.frequency = CounterFrequency();
    state->run = nullptr;
    state->observing = nullptr;
    state->atHashLine = -1;
    wcscpy(application, state->exe);
    wcscpy(directory, state->setting->work);
    values[0] = 0;
    // The stand-in payload's log, and the lab's NSIS installer's record, of this run alone.
    _snwprintf(log, kPathCapacity, L"%ls\\payload.log", state->setting->work);
    _snwprintf(installer, kPathCapacity, L"%ls\\installer.txt", state->setting->work);
    int hasCwd = ReadOption(state, words, count, L"cwd", cwd);
    int hasHold = ReadOption(state, words, count, L"hold", hold);
    if (!Expand(state, words, 1, commandLine, kTextCapacity) || hasCwd < 0 || hasHold < 0 ||
        ReadOption(state, words, count, L"app", application) < 0 ||
        ReadOption(state, words, count, L"limit", limitText) < 0 ||
        ReadOption(state, words, count, L"trace", traced) < 0 ||
        !ReadRunItems(state, environment, values)) {
        AddFailure(state, L"the run's options or items cannot be read, or are too long");
        return;
    }
    if (hasCwd && (!MakeWorkPath(state, cwd, directory) || !MakeFolders(state, directory))) {
        AddFailure(state, L"cannot make the current directory of the run");
        return;
    }
    memmove(directory, PlainOf(directory), (wcslen(PlainOf(directory)) + 1) * sizeof(wchar_t));
    DWORD limit = wcstoul(limitText, nullptr, 10);
    DeleteFileW(log);
    DeleteFileW(installer);
    if (values[0] != 0 && !ChangeEntry(values))
        AddFailure(state, L"cannot write the uninstall entry (error %lu)", GetLastError());
    HANDLE holder = INVALID_HANDLE_VALUE;
    if (hasHold) {
        if (MakeWorkPath(state, hold, held))
            holder = CreateFileW(held, GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
        if (holder == INVALID_HANDLE_VALUE) {
            AddFailure(state, L"cannot hold the file open for writing (error %lu)", GetLastError());
            return;
        }
    }
    ScanCopyFolders(state->setting, 1, nullptr);
    wchar_t* desktop = nullptr;
    if (ReadOption(state, words, count, L"hidden", nullptr) > 0 &&
        (desktop = HiddenDesktop()) == nullptr)
        SetRunError(&run, L"cannot make a window station nobody sees", L"");
    else
        Observe(state, &run, application, commandLine, directory, environment, desktop, limit,
                traced[0] != 0);
    run.traced = traced[0] != 0;
    if (holder != INVALID_HANDLE_VALUE)
        CloseHandle(holder);
    ReadPayloadLog(log, &run);
    for (int i = 0; i < run.payloadCount; ++i)
        MaskCopyFolder(state->setting, run.payloads[i].module);
    MakeRecord(state, &run, traced, installer);
    // What the run set up goes with it: the next starts from an empty entry.
    ChangeEntry(nullptr);
    // A pinned build leaves no copy behind, whatever happened.
    wchar_t left[kPathCapacity];
    while (ScanCopyFolders(state->setting, 0, left)) {
        AddFailure(state, L"a copy's folder is left: %ls", left);
        if (!RemovePath(left))
            break;
    }
    if (run.error[0] != 0)
        AddFailure(state, L"%ls", run.error);
    if (run.timedOut)
        AddFailure(state, L"no end within %lu s: the runner ended the wrapper and its payload",
                   limit);
    if (run.crash != 0)
        AddFailure(state, L"the wrapper ended of an exception it did not handle (%08lx)",
                   run.crash);
    if (run.eventsLost)
        AddFailure(state, L"more DLL loads and calls than the runner keeps");
    if (state->atHashLine >= 0 && !run.atHashRan)
        AddFailure(state, L"the wrapper never called CryptHashData: line %d did not run",
                   state->data->lines[state->atHashLine].number);
    ++state->runs;
    state->run = &run;
}

// --- The lines of a case -----------------------------------------------------------------------

typedef void (*Command)(CaseState* state, const Word* words, int count);

struct CommandForm {
    const wchar_t* name;
    int least, most; // words after the name
    Command run;
    const wchar_t* options; // those it takes, each between blanks; a value's with its "="
};

static void DoNothing(CaseState*, const Word*, int) {}

// What a case says about itself is read before it runs.
static const CommandForm kCommands[] = {
    {L"suite", 1, 1, DoNothing, nullptr},
    {L"only", 2, 2, DoNothing, nullptr},
    {L"wine-only", 1, 1, DoNothing, nullptr},
    {L"wine-specific", 1, 1, DoNothing, nullptr},
    {L"layout", 1, 5, DoLayout, L" name= wrapper= payload= payloads= "},
    {L"folder", 1, 1, DoFile, nullptr},
    {L"copy", 2, 2, DoFile, nullptr},
    {L"copy-system-dlls", 2, kWordCapacity - 1, DoCopySystemDlls, nullptr},
    {L"write", 2, 2, DoFile, nullptr},
    {L"change", 2, 2, DoFile, nullptr},
    {L"delete", 1, 1, DoFile, nullptr},
    {L"link", 2, 2, DoFile, nullptr},
    {L"set-user-value", 4, kWordCapacity - 1, DoSetUserValue, nullptr},
    {L"attack", 1, 1, DoAttack, nullptr},
    {L"change-read", 0, 0, DoChangeRead, nullptr},
    {L"run", 1, 7, DoRun, L" app= cwd= hold= limit= trace= hidden "},
    {L"expect", 1, 12, DoExpect, nullptr},
};

static const CommandForm* FindCommand(const Word& word) {
    for (const CommandForm& form : kCommands)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}

// A line's command; a line starting "wine:" holds only under Wine, "windows:" only off it: the
// others are counted as passed by, and a run passed by leaves no run to expect of.
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
    for (int i = state->firstLine; i < state->endLine; ++i)
        if (!IsItemLine(state->data->lines[i]))
            RunCommandLine(state, i);
}

// Whether words from index 2 on are all options the command takes.
static int KnowsOptions(const CommandForm& form, const Word* words, int count) {
    for (int i = 2; i < count && form.options != nullptr; ++i) {
        size_t length = 0;
        while (length < words[i].length && words[i].start[length] != L'=')
            ++length;
        wchar_t option[40];
        _snwprintf(option, 40, L" %.*ls ", static_cast<int>(length + (length < words[i].length)),
                   words[i].start);
        option[39] = 0;
        if (wcsstr(form.options, option) == nullptr)
            return 0;
    }
    return 1;
}

// env NAME VALUE, entry or writes VIEW NAME TYPE DATA..., at-hash and a command.
static int IsRunItem(const Word* words, int count) {
    const CommandForm* form = count > 1 ? FindCommand(words[1]) : nullptr;
    return (WordIs(words[0], L"env") && count == 3) ||
           ((WordIs(words[0], L"entry") || WordIs(words[0], L"writes")) && count >= 5) ||
           (WordIs(words[0], L"at-hash") && form != nullptr && count - 2 >= form->least &&
            count - 2 <= form->most);
}

// Why the line is wrong, or null: a known command with its number of words and its options; an
// item line below a run, or below a record.
static const wchar_t* CheckLine(const DataLine& line, int items, const CommandForm** form,
                                const ExpectForm** expectation) {
    Word words[kWordCapacity];
    int count = SplitWords(line.text, words, kWordCapacity);
    if (count < 0)
        return L"a bar without its pair, or too many words";
    if (IsItemLine(line))
        return items == 0 ? L"an item line below neither run nor record"
               : items == 2 && !IsRunItem(words, count) ? L"not an item of a run"
                                                        : nullptr;
    int first = count > 1 && (WordIs(words[0], L"wine:") || WordIs(words[0], L"windows:"));
    *form = count > first ? FindCommand(words[first]) : nullptr;
    int after = count - first - 1;
    if (*form == nullptr)
        return L"no such command";
    if (after < (*form)->least || after > (*form)->most)
        return L"wrong number of words";
    if (!KnowsOptions(**form, words + first, count - first))
        return L"an option this command does not take";
    if (WordIs(words[first], L"only") && !WordIs(words[first + 1], L"win64") &&
        !WordIs(words[first + 1], L"win32"))
        return L"only win64 or only win32";
    *expectation = (*form)->run == DoExpect ? FindExpectation(words[first + 1]) : nullptr;
    if ((*form)->run == DoExpect && *expectation == nullptr)
        return L"no such expectation";
    if (*expectation != nullptr &&
        (after - 1 < (*expectation)->least || after - 1 > (*expectation)->most))
        return L"wrong number of words";
    return nullptr;
}

static int Refuse(wchar_t* error, size_t capacity, const DataLine& line, const wchar_t* what) {
    Say(error, capacity, L"line %d: %ls: %ls", line.number, what, line.text);
    return 0;
}

// Every line of every case is right, every case has its suite, every run its expected record,
// before anything runs.
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
        const ExpectForm* expectation = nullptr;
        const wchar_t* wrong = CheckLine(data->lines[i], items, &form, &expectation);
        if (wrong != nullptr)
            return Refuse(error, capacity, data->lines[i], wrong);
        if (form == nullptr)
            continue;
        suites += form->run == DoNothing && wcscmp(form->name, L"suite") == 0;
        if (form->run == DoRun && unchecked >= 0)
            return Refuse(error, capacity, data->lines[unchecked], L"a run without its record");
        unchecked = form->run == DoRun ? i : unchecked;
        int record = expectation != nullptr && wcscmp(expectation->name, L"record") == 0;
        unchecked = record ? -1 : unchecked;
        items = form->run == DoRun ? 2 : record;
    }
    return 1;
}
