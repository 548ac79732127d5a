// What the runner changes outside its work folder, and how it puts it back: the uninstall entry
// (which did not exist when the run began) and values under HKEY_CURRENT_USER. Each change is first
// written to a record in the work folder; a normal end, a failed case and a stop put everything
// back and delete the record, and the next start puts back what a killed run's record lists.

#include "runner.h"

#include <shlwapi.h>

// An entry written more than this after the stopped run's last case began is no leftover.
const long long kLeftoverSlack = 3600LL * 10000000LL;
const wchar_t kRecordHead[] = L"e2e_runner: what a stopped run left, put back at the next start\n";

struct UserValue {
    wchar_t key[kPathCapacity];
    wchar_t name[kPathCapacity];
    wchar_t created[kPathCapacity]; // the highest key the runner made for it, or empty
    int existed;
    DWORD type, size;
    unsigned char* data; // from malloc, of any size
};

static CRITICAL_SECTION lock;
static wchar_t recordPath[kPathCapacity];
static HANDLE watchedJob;
static UserValue userValues[kUserValueCapacity];
static int userValueCount;

// Why the runner cannot run here, or null. The work folder's path is in the cases' command lines:
// no "VuqSetup", which the wrapper would take for its own folder, nor blanks, which part them.
static const wchar_t* FindUnfitness(const wchar_t* work) {
    USEROBJECTFLAGS flags = {};
    GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), nullptr);
    // Elevated: Administrators enabled in the token. UAC's token for an administrator not elevated
    // holds it deny-only, which CheckTokenMembership does not count (Wine's IsUserAnAdmin does).
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    BOOL elevated = FALSE;
    DWORD size = sizeof(administrators);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) ||
        !CheckTokenMembership(nullptr, administrators, &elevated))
        elevated = FALSE;
    if (StrStrIW(work, L"VuqSetup") != nullptr || wcspbrk(work, L" \t") != nullptr ||
        wcslen(work) < 4 || work[1] != L':' || work[2] != L'\\' || wcslen(work) > 100)
        return L"the work folder must be below a drive's root, in a path of at most 100 characters "
               L"that holds no blank and no \"VuqSetup\": give another with --work";
    if (!elevated)
        return L"not elevated: the cases write HKEY_LOCAL_MACHINE; run it from an elevated prompt";
    if (!(flags.dwFlags & WSF_VISIBLE))
        return L"not on a desktop that can be seen (a service's window station): the wrapper "
               L"shows no box there, and the cases expect its boxes";
    return nullptr;
}

// The first runner makes a mapping named for all sessions and writes who it is into it; it goes
// when that runner ends, however it ends. A second one finds it and refuses: both would share the
// entry and HKEY_CURRENT_USER, and each would take the other's record for a killed run's.
static int TakeRunnerLock(const wchar_t* work, wchar_t* error, size_t capacity) {
    SetLastError(0);
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                           kPathCapacity * sizeof(wchar_t), L"Global\\VuqE2eRunnerOwner");
    int first = GetLastError() != ERROR_ALREADY_EXISTS;
    wchar_t* owner = static_cast<wchar_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (owner == nullptr)
        Say(error, capacity, L"cannot make the lock that keeps a second runner out (error %lu)",
            GetLastError());
    else if (first)
        _snwprintf(owner, kPathCapacity - 1, L"process %lu, work folder %ls", GetCurrentProcessId(),
                   work);
    else
        Say(error, capacity,
            L"another runner is running (%ls): one at a time, as both would change the "
            L"uninstall entry and HKEY_CURRENT_USER",
            owner[0] != 0 ? owner : L"just starting");
    return owner != nullptr && first;
}

// The work folder is the runner's own: made by it with its mark, or refused; then emptied.
static int ClaimWorkFolder(const wchar_t* work, wchar_t* error, size_t capacity) {
    static const char text[] = "This folder is e2e_runner.exe's: it empties it at every run.\r\n";
    wchar_t mark[kPathCapacity];
    _snwprintf(mark, kPathCapacity, L"%ls\\%ls", work, kWorkMarkName);
    if (CreateDirectoryW(work, nullptr))
        WriteWholeFile(mark, text, sizeof(text) - 1);
    // A folder, not a link (INVALID_FILE_ATTRIBUTES has both bits).
    DWORD kind =
        GetFileAttributesW(work) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (kind != FILE_ATTRIBUTE_DIRECTORY || GetFileAttributesW(mark) == INVALID_FILE_ATTRIBUTES) {
        Say(error, capacity,
            L"%ls is not a folder the runner made (it has no e2e_runner.mark), nor one it could "
            L"make: give another with --work, one that does not exist yet",
            work);
        return 0;
    }
    const wchar_t* left = EmptyWorkFolder(work);
    if (left != nullptr)
        Say(error, capacity, L"cannot delete %ls, from an earlier run", left);
    return left == nullptr;
}

static long long AsNumber(const FILETIME& time) {
    return (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Refuses an uninstall entry (either view) last written at `after` or later: 0, and why in error.
static int CheckNoEntrySince(long long after, wchar_t* error, size_t capacity) {
    const REGSAM views[2] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    for (int i = 0; i < 2; ++i) {
        HKEY key;
        FILETIME written = {0, 0};
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | views[i], &key) !=
            ERROR_SUCCESS)
            continue;
        RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, &written);
        RegCloseKey(key);
        if (AsNumber(written) < after)
            continue;
        Say(error, capacity,
            L"the uninstall entry HKEY_LOCAL_MACHINE\\%ls exists (%d-bit view): the product is "
            L"installed here; the cases would overwrite and delete its entry",
            kEntryPath, i == 0 ? 64 : 32);
        return 0;
    }
    return 1;
}

// The record, rewritten whole at each change: its head, a line a value ("value EXISTED TYPE KEY
// NAME CREATED DATA", the last four in hex, the texts' of UTF-16 units), "end". A new file, flushed
// to the disk (mode "c": fflush commits it), then renamed into place; 0 when it could not be.
static int WriteRecord() {
    wchar_t fresh[kPathCapacity];
    _snwprintf(fresh, kPathCapacity, L"%ls.new", recordPath);
    FILE* out = _wfopen(fresh, L"wbc");
    if (out == nullptr)
        return 0;
    fprintf(out, "%ls", kRecordHead);
    for (int i = 0; i < userValueCount; ++i) {
        const UserValue& value = userValues[i];
        const wchar_t* texts[3] = {value.key, value.name, value.created};
        fprintf(out, "value %d %lu ", value.existed, value.type);
        for (const wchar_t* text : texts) {
            PrintHexUnits(out, text, wcslen(text));
            fputc(' ', out);
        }
        for (DWORD at = 0; at < value.size; ++at)
            fprintf(out, "%02x", value.data[at]);
        fputc('\n', out);
    }
    fprintf(out, "end\n");
    int flushed = fflush(out) == 0 && !ferror(out);
    return fclose(out) == 0 && flushed &&
           MoveFileExW(fresh, recordPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

// The hex field after the blank at *at into out, and *at moved past it; its byte count, or -1.
static long DecodeField(wchar_t** at, void* out, size_t capacity) {
    if (**at != L' ')
        return -1;
    size_t digits = wcscspn(*at + 1, L" \n");
    long size = DecodeHex(*at + 1, digits, static_cast<unsigned char*>(out), capacity);
    *at += 1 + digits;
    return size;
}

// A record line, after its "value", into value (its data of any size, as the line's rest); the
// next line, or null when it is not one.
static wchar_t* ReadValueLine(wchar_t* at, UserValue* value) {
    ZeroMemory(value, sizeof(*value));
    value->existed = static_cast<int>(wcstol(at, &at, 10));
    value->type = wcstoul(at, &at, 10);
    int texts = DecodeField(&at, value->key, sizeof(value->key) - sizeof(wchar_t)) >= 0 &&
                DecodeField(&at, value->name, sizeof(value->name) - sizeof(wchar_t)) >= 0 &&
                DecodeField(&at, value->created, sizeof(value->created) - sizeof(wchar_t)) >= 0;
    size_t room = wcscspn(at, L"\n") / 2;
    value->data = static_cast<unsigned char*>(malloc(room + 1));
    long size = value->data == nullptr ? -1 : DecodeField(&at, value->data, room);
    value->size = static_cast<DWORD>(size);
    return texts && size >= 0 && *at == L'\n' ? at + 1 : nullptr;
}

// Last set, first put back: a value set twice is put back as it was before the first. Where the
// runner made keys for a value, the highest goes, with all under it: none of it was there before.
static void RestoreLocked() {
    for (int i = userValueCount - 1; i >= 0; --i) {
        const UserValue& value = userValues[i];
        HKEY key;
        if (value.created[0] != 0) {
            SHDeleteKeyW(HKEY_CURRENT_USER, value.created);
        } else if (!value.existed) {
            SHDeleteValueW(HKEY_CURRENT_USER, value.key, value.name);
        } else if (RegOpenKeyExW(HKEY_CURRENT_USER, value.key, 0, KEY_SET_VALUE, &key) ==
                   ERROR_SUCCESS) {
            RegSetValueExW(key, value.name, 0, value.type, value.data, value.size);
            RegCloseKey(key);
        }
        free(value.data);
    }
    userValueCount = 0;
    ClearEntry();
}

// Refuses an entry the runner did not write (any, or one written well after a killed run's
// record), else puts back what the record lists; 0 and why to refuse, which ends the runner.
static int UndoStoppedRun(wchar_t* error, size_t capacity) {
    WIN32_FILE_ATTRIBUTE_DATA record;
    int stopped = GetFileAttributesExW(recordPath, GetFileExInfoStandard, &record);
    long long after = stopped ? AsNumber(record.ftLastWriteTime) + kLeftoverSlack + 1 : 0;
    if (!CheckNoEntrySince(after, error, capacity))
        return 0;
    if (!stopped)
        return 1;
    // Its bytes widened for DecodeHex, on the heap: it is of any size, as the values it holds.
    wchar_t* text = static_cast<wchar_t*>(calloc(record.nFileSizeLow + 1, sizeof(wchar_t)));
    FILE* in = _wfopen(recordPath, L"rb");
    for (DWORD at = 0; in != nullptr && text != nullptr && at < record.nFileSizeLow; ++at)
        text[at] = static_cast<wchar_t>(fgetc(in));
    if (in != nullptr)
        fclose(in);
    size_t head = wcslen(kRecordHead);
    wchar_t* at = text != nullptr && wcsncmp(text, kRecordHead, head) == 0 ? text + head : nullptr;
    while (at != nullptr && wcsncmp(at, L"value ", 6) == 0 && userValueCount < kUserValueCapacity)
        at = ReadValueLine(at + 5, &userValues[userValueCount++]);
    int whole = at != nullptr && wcscmp(at, L"end\n") == 0;
    free(text);
    if (!whole) {
        Say(error, capacity,
            L"%ls, left by a stopped run, cannot be read or is not whole: put back by hand what "
            L"it lists, then delete it",
            recordPath);
        return 0;
    }
    Print(L"put back what a stopped run left: the uninstall entry removed, %d value(s) of "
          L"HKEY_CURRENT_USER as they were\n",
          userValueCount);
    RestoreLocked();
    DeleteFileW(recordPath);
    return 1;
}

int PrepareRun(const wchar_t* work, wchar_t* error, size_t capacity) {
    const wchar_t* unfit = FindUnfitness(work);
    if (unfit != nullptr)
        Say(error, capacity, L"%ls", unfit);
    _snwprintf(recordPath, kPathCapacity, L"%ls\\%ls", work, kRecordName);
    return unfit == nullptr && TakeRunnerLock(work, error, capacity) &&
           ClaimWorkFolder(work, error, capacity) && UndoStoppedRun(error, capacity);
}

// Runs on a thread of its own; holding the lock to the end, it keeps the case from changing
// anything after it has put things back. The run's processes are ended first, and waited for (at
// most 5 s): the stand-in payload writes the entry at its end.
static BOOL WINAPI OnStop(DWORD event) {
    EnterCriticalSection(&lock);
    if (watchedJob != nullptr)
        TerminateJobObject(watchedJob, 1);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts;
    for (int waited = 0; watchedJob != nullptr && waited < 5000 &&
                         QueryInformationJobObject(watchedJob, JobObjectBasicAccountingInformation,
                                                   &counts, sizeof(counts), nullptr) &&
                         counts.ActiveProcesses != 0;
         waited += 20)
        Sleep(20);
    RestoreLocked();
    DeleteFileW(recordPath);
    printf("stopped (%s): the uninstall entry removed, HKEY_CURRENT_USER put back as it was\n",
           event == CTRL_C_EVENT       ? "Ctrl+C"
           : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                                       : "the console closed");
    fflush(stdout);
    ExitProcess(1);
}

int BeginSafeRun(const wchar_t* work) {
    InitializeCriticalSection(&lock);
    _snwprintf(recordPath, kPathCapacity, L"%ls\\%ls", work, kRecordName);
    SetConsoleCtrlHandler(OnStop, TRUE);
    return WriteRecord();
}

int ChangeEntry(const wchar_t* values) {
    EnterCriticalSection(&lock);
    int failed = values != nullptr ? ApplyRegistryValues(values) : ClearEntry();
    LeaveCriticalSection(&lock);
    return !failed;
}

// What to put back: the highest key of value->key that is missing, or else the value as it is,
// of any size (ERROR_MORE_DATA gives the size it needs, as long as it grows).
static void SaveUserValue(UserValue* value) {
    wchar_t path[kPathCapacity];
    wcscpy(path, value->key);
    HKEY key;
    while (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        wcscpy(value->created, path);
        wchar_t* slash = wcsrchr(path, L'\\');
        if (slash == nullptr)
            return;
        *slash = 0;
    }
    LONG status = value->created[0] == 0 ? ERROR_MORE_DATA : ERROR_FILE_NOT_FOUND;
    while (status == ERROR_MORE_DATA) {
        value->data = static_cast<unsigned char*>(realloc(value->data, value->size + 1));
        status =
            RegQueryValueExW(key, value->name, nullptr, &value->type, value->data, &value->size);
    }
    value->existed = status == ERROR_SUCCESS;
    RegCloseKey(key);
}

int SetUserValue(const wchar_t* path, const wchar_t* name, DWORD type, const unsigned char* data,
                 DWORD size) {
    if (userValueCount == kUserValueCapacity)
        return 0;
    EnterCriticalSection(&lock);
    UserValue* value = &userValues[userValueCount++];
    ZeroMemory(value, sizeof(*value));
    wcscpy(value->key, path);
    wcscpy(value->name, name);
    SaveUserValue(value);
    int done = 0;
    HKEY key;
    if (WriteRecord() && RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE,
                                         nullptr, &key, nullptr) == ERROR_SUCCESS) {
        done = RegSetValueExW(key, name, 0, type, data, size) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    LeaveCriticalSection(&lock);
    return done;
}

void RestoreAfterCase(int last) {
    EnterCriticalSection(&lock);
    RestoreLocked();
    WriteRecord();
    if (last) {
        DeleteFileW(recordPath);
        // Nothing is left to put back: a stop (say, at "Press Enter") ends the runner plainly.
        SetConsoleCtrlHandler(OnStop, FALSE);
    }
    LeaveCriticalSection(&lock);
}

void WatchJob(HANDLE job) {
    EnterCriticalSection(&lock);
    watchedJob = job;
    LeaveCriticalSection(&lock);
}
