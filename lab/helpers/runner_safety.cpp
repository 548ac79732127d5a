// What the runner changes outside its work folder, and how it puts it back: the uninstall entry
// (which did not exist when the run began) and values under HKEY_CURRENT_USER. One runner runs at
// a time on a machine. Each change is written to a record in the work folder before it is made
// (a new file, flushed, then renamed into place, so a power cut leaves the old record or the new
// one); a normal end, a failed case and a stop (Ctrl+C, Ctrl+Break, the console closed) put
// everything back and delete the record, and a record left by a run that was killed is put back
// at the next start. The stop handler and the case's own changes take turns through one lock.

#include "runner.h"

// An entry written more than this after the stopped run's last case began is no leftover.
const long long kLeftoverSlack = 3600LL * 10000000LL;

struct UserValue {
    wchar_t key[kPathCapacity];
    wchar_t name[kPathCapacity];
    int existed;
    DWORD type;
    DWORD size;
    unsigned char* data;            // from the process heap, of any size
    wchar_t created[kPathCapacity]; // the highest key the runner made for it, or empty
};

// The text naming the first runner, in a mapping named for all sessions.
const wchar_t kOwnerName[] = L"Global\\VuqE2eRunnerOwner";
const DWORD kOwnerCapacity = 512;

static CRITICAL_SECTION lock;
static wchar_t recordPath[kPathCapacity];
static int running;
static HANDLE watchedJob;
static UserValue userValues[kUserValueCapacity];
static int userValueCount;

static void FreeData(void* data) {
    if (data != nullptr)
        HeapFree(GetProcessHeap(), 0, data);
}

static int IsElevated() {
    HANDLE token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    TOKEN_ELEVATION elevation;
    DWORD size = 0;
    // XP knows no elevation: there an administrator's token is a full one.
    int elevated =
        !GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size) ||
        elevation.TokenIsElevated != 0;
    CloseHandle(token);
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return 0;
    if (!CheckTokenMembership(nullptr, administrators, &member))
        member = FALSE;
    FreeSid(administrators);
    return elevated && member;
}

static int IsOnVisibleDesktop() {
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    return GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                     &needed) &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

// The first runner makes the mapping and writes who it is into it; the mapping goes when that
// runner ends, however it ends. A second one finds it and refuses: both would share the entry and
// HKEY_CURRENT_USER, and each would take the other's record for a killed run's.
static int TakeRunnerLock(const wchar_t* work, wchar_t* error, size_t capacity) {
    SetLastError(0);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        kOwnerCapacity * sizeof(wchar_t), kOwnerName);
    int first = GetLastError() != ERROR_ALREADY_EXISTS;
    wchar_t* owner = mapping == nullptr
                         ? nullptr
                         : static_cast<wchar_t*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (owner == nullptr) {
        Say(error, capacity, L"cannot make the lock that keeps a second runner out (error %lu)",
            GetLastError());
        return 0;
    }
    if (first) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        _snwprintf(owner, kOwnerCapacity - 1, L"process %lu since %02u:%02u:%02u, work folder %ls",
                   GetCurrentProcessId(), now.wHour, now.wMinute, now.wSecond, work);
        return 1;
    }
    for (int waited = 0; waited < 1000 && owner[0] == 0; waited += 50)
        Sleep(50);
    Say(error, capacity,
        L"another runner is running (%ls): one at a time, as both would change the uninstall "
        L"entry and HKEY_CURRENT_USER",
        owner[0] != 0 ? owner : L"just starting");
    return 0;
}

static void PathIn(const wchar_t* work, const wchar_t* name, wchar_t* out) {
    _snwprintf(out, kPathCapacity, L"%ls\\%ls", work, name);
    out[kPathCapacity - 1] = 0;
}

// The work folder is the runner's own: made by it with its mark, or refused.
static int ClaimWorkFolder(const wchar_t* work, wchar_t* error, size_t capacity) {
    wchar_t mark[kPathCapacity];
    PathIn(work, kWorkMarkName, mark);
    DWORD attributes = GetFileAttributesW(work);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (!CreateDirectoryW(work, nullptr)) {
            Say(error, capacity, L"cannot make the work folder %ls", work);
            return 0;
        }
        static const char text[] =
            "This folder is e2e_runner.exe's: it empties it at every run.\r\n";
        if (!WriteWholeFile(mark, text, sizeof(text) - 1)) {
            Say(error, capacity, L"cannot write the mark of the work folder %ls", work);
            return 0;
        }
        return 1;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        GetFileAttributesW(mark) == INVALID_FILE_ATTRIBUTES) {
        Say(error, capacity,
            L"%ls is not a folder the runner made (it has no e2e_runner.mark): give another with "
            L"--work, one that does not exist yet",
            work);
        return 0;
    }
    return 1;
}

static long long AsNumber(const FILETIME& time) {
    return (static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

static int FindEntry(long long after) {
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
        if (AsNumber(written) >= after)
            return i == 0 ? 64 : 32;
    }
    return 0;
}

// A blank, then the bytes in hex ("-" for none); returns the length written.
static size_t PutHex(char* out, const void* bytes, size_t size) {
    strcpy(out, " -");
    for (size_t i = 0; i < size; ++i)
        sprintf(out + 1 + 2 * i, "%02x", static_cast<const unsigned char*>(bytes)[i]);
    return size == 0 ? 2 : 1 + 2 * size;
}

// Writes bytes to path so that path holds either its old text or the new one whole: a new file,
// flushed to the disk, then renamed into place.
static int WriteDurably(const wchar_t* path, const char* bytes, size_t size) {
    wchar_t fresh[kPathCapacity + 8];
    _snwprintf(fresh, kPathCapacity + 8, L"%ls.new", path);
    fresh[kPathCapacity + 7] = 0;
    HANDLE file = CreateFileW(fresh, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_FLAG_WRITE_THROUGH, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int done = WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) &&
               written == size && FlushFileBuffers(file);
    CloseHandle(file);
    return done && MoveFileExW(fresh, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

const char kRecordHead[] = "e2e_runner: what a stopped run left, put back at the next start\n";
const char kRecordEnd[] = "end\n";

// The record: what to put back, rewritten whole at each change and at each case's start, and
// ended by its own line. 0 when it could not be written.
static int WriteRecord() {
    size_t capacity = sizeof(kRecordHead) + sizeof(kRecordEnd) + 16;
    for (int i = 0; i < userValueCount; ++i)
        capacity += 64 +
                    4 * (wcslen(userValues[i].key) + wcslen(userValues[i].name) +
                         wcslen(userValues[i].created)) +
                    2 * static_cast<size_t>(userValues[i].size);
    char* text = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
    if (text == nullptr)
        return 0;
    size_t length = static_cast<size_t>(sprintf(text, "%sentry\n", kRecordHead));
    for (int i = 0; i < userValueCount; ++i) {
        const UserValue& value = userValues[i];
        length += static_cast<size_t>(sprintf(text + length, "user-value"));
        length += PutHex(text + length, value.key, 2 * wcslen(value.key));
        length += PutHex(text + length, value.name, 2 * wcslen(value.name));
        length += PutHex(text + length, value.created, 2 * wcslen(value.created));
        if (value.existed) {
            length += static_cast<size_t>(sprintf(text + length, " %lu", value.type));
            length += PutHex(text + length, value.data, value.size);
        } else {
            length += static_cast<size_t>(sprintf(text + length, " absent"));
        }
        length += static_cast<size_t>(sprintf(text + length, "\n"));
    }
    length += static_cast<size_t>(sprintf(text + length, "%s", kRecordEnd));
    int done = WriteDurably(recordPath, text, length);
    HeapFree(GetProcessHeap(), 0, text);
    return done;
}

// Deletes the keys from key up to created, the highest that the runner made.
static void DeleteCreatedKeys(const wchar_t* key, const wchar_t* created) {
    wchar_t path[kPathCapacity];
    wcsncpy(path, key, kPathCapacity - 1);
    path[kPathCapacity - 1] = 0;
    size_t stop = wcslen(created);
    for (;;) {
        RegDeleteKeyW(HKEY_CURRENT_USER, path);
        wchar_t* slash = wcsrchr(path, L'\\');
        if (wcslen(path) <= stop || slash == nullptr)
            return;
        *slash = 0;
    }
}

static void PutBack(const UserValue& value) {
    if (value.created[0] != 0) {
        DeleteCreatedKeys(value.key, value.created);
        return;
    }
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, value.key, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    if (value.existed)
        RegSetValueExW(key, value.name, 0, value.type, value.data, value.size);
    else
        RegDeleteValueW(key, value.name);
    RegCloseKey(key);
}

static void RestoreLocked() {
    for (int i = userValueCount - 1; i >= 0; --i) {
        PutBack(userValues[i]);
        FreeData(userValues[i].data);
    }
    userValueCount = 0;
    ClearEntry();
}

// Bytes from hex digits ("-" for none); their count, or -1.
static long ReadHex(const char* hex, void* out, size_t capacity) {
    size_t digits = hex == nullptr ? 1 : strcmp(hex, "-") == 0 ? 0 : strlen(hex);
    if (digits % 2 != 0 || digits / 2 > capacity)
        return -1;
    for (size_t i = 0; i < digits / 2; ++i) {
        char pair[3] = {hex[2 * i], hex[2 * i + 1], 0};
        static_cast<unsigned char*>(out)[i] =
            static_cast<unsigned char>(strtoul(pair, nullptr, 16));
    }
    return static_cast<long>(digits / 2);
}

static int ReadHexText(const char* hex, wchar_t* out) {
    long size = ReadHex(hex, out, 2 * (kPathCapacity - 1));
    if (size < 0 || size % 2 != 0)
        return 0;
    out[size / 2] = 0;
    return 1;
}

static int ReadUserValueLine(char* line, UserValue* value) {
    char* fields[6] = {nullptr};
    int count = 0;
    for (char* field = strtok(line, " \r\n"); field != nullptr && count < 6;
         field = strtok(nullptr, " \r\n"))
        fields[count++] = field;
    ZeroMemory(value, sizeof(*value));
    if (count < 5 || !ReadHexText(fields[1], value->key) || !ReadHexText(fields[2], value->name) ||
        !ReadHexText(fields[3], value->created))
        return 0;
    if (strcmp(fields[4], "absent") == 0)
        return 1;
    size_t capacity = fields[5] != nullptr ? strlen(fields[5]) / 2 + 1 : 1;
    value->existed = 1;
    value->type = strtoul(fields[4], nullptr, 10);
    value->data = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, capacity));
    long size = value->data != nullptr ? ReadHex(fields[5], value->data, capacity) : -1;
    value->size = static_cast<DWORD>(size);
    return size >= 0;
}

// The record's text, NUL-terminated, from the process heap; null when it cannot be read.
static char* ReadRecord(const wchar_t* path) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    DWORD size = GetFileSize(file, nullptr), read = 0;
    char* text = size == INVALID_FILE_SIZE
                     ? nullptr
                     : static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
    if (text != nullptr && (!ReadFile(file, text, size, &read, nullptr) || read != size)) {
        HeapFree(GetProcessHeap(), 0, text);
        text = nullptr;
    }
    if (text != nullptr)
        text[size] = 0;
    CloseHandle(file);
    return text;
}

// Whether the record is whole: its head, then its end line last.
static int IsWholeRecord(const char* text) {
    size_t length = strlen(text), end = strlen(kRecordEnd);
    return strncmp(text, kRecordHead, strlen(kRecordHead)) == 0 && length >= end &&
           strcmp(text + length - end, kRecordEnd) == 0;
}

// Puts back what a killed run's record lists; 0 (and why in said) when it cannot be sure.
static int UndoStoppedRun(const wchar_t* work, wchar_t* said, size_t capacity) {
    said[0] = 0;
    wchar_t path[kPathCapacity];
    PathIn(work, kRecordName, path);
    WIN32_FILE_ATTRIBUTE_DATA record;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &record))
        return 1;
    int view = FindEntry(AsNumber(record.ftLastWriteTime) + kLeftoverSlack + 1);
    if (view != 0) {
        Say(said, capacity,
            L"the uninstall entry (%d-bit view) was written well after a stopped run of the runner "
            L"left %ls: it may be a real installation; remove the one or the other",
            view, path);
        return 0;
    }
    char* text = ReadRecord(path);
    if (text == nullptr || !IsWholeRecord(text)) {
        Say(said, capacity,
            L"%ls, left by a stopped run, cannot be read or is not whole: put back by hand what "
            L"it lists, then delete it",
            path);
        FreeData(text);
        return 0;
    }
    int values = 0;
    for (char* line = text; line != nullptr && *line != 0;) {
        char* next = strchr(line, '\n');
        if (next != nullptr)
            *next++ = 0;
        static UserValue value;
        ZeroMemory(&value, sizeof(value));
        if (strncmp(line, "user-value ", 11) == 0 && ReadUserValueLine(line, &value)) {
            PutBack(value);
            ++values;
        }
        FreeData(value.data);
        line = next;
    }
    FreeData(text);
    ClearEntry();
    DeleteFileW(path);
    Say(said, capacity,
        L"put back what a stopped run left: the uninstall entry removed, %d value(s) of "
        L"HKEY_CURRENT_USER as they were",
        values);
    return 1;
}

// The work folder's path is part of the cases' command lines: it must not hold "VuqSetup",
// which the wrapper would take for its own folder, nor blanks, which would part them.
static const wchar_t* CheckWorkPath(const wchar_t* work) {
    wchar_t lower[kPathCapacity];
    wcscpy(lower, work);
    CharLowerW(lower);
    if (wcsstr(lower, L"vuqsetup") != nullptr)
        return L"the work folder's path holds \"VuqSetup\", which the wrapper would take for its "
               L"own folder: give another with --work";
    if (wcspbrk(work, L" \t") != nullptr)
        return L"the work folder's path holds a blank: give one without with --work";
    if (wcslen(work) < 4 || work[1] != L':' || work[2] != L'\\' || wcslen(work) > 100)
        return L"the work folder must be a folder below a drive's root, with a path of at most "
               L"100 characters";
    return nullptr;
}

int PrepareRun(const wchar_t* work, wchar_t* error, size_t capacity) {
    const wchar_t* wrong = CheckWorkPath(work);
    if (wrong == nullptr && !IsElevated())
        wrong = L"not elevated: the wrapper asks for administrator rights and the cases write "
                L"HKEY_LOCAL_MACHINE; run it from an elevated prompt";
    if (wrong == nullptr && !IsOnVisibleDesktop())
        wrong = L"not on a desktop that can be seen (a service's window station): the wrapper "
                L"shows no box there, and the cases expect its boxes";
    if (wrong != nullptr) {
        Say(error, capacity, L"%ls", wrong);
        return 0;
    }
    if (!TakeRunnerLock(work, error, capacity) || !ClaimWorkFolder(work, error, capacity) ||
        !UndoStoppedRun(work, error, capacity))
        return 0;
    if (error[0] != 0)
        Print(L"%ls\n", error);
    int view = FindEntry(0);
    const wchar_t* left = view != 0 ? nullptr : EmptyWorkFolder(work);
    if (view != 0)
        Say(error, capacity,
            L"the uninstall entry HKEY_LOCAL_MACHINE\\%ls exists (%d-bit view): the product is "
            L"installed here; the cases would overwrite and delete its entry",
            kEntryPath, view);
    else if (left != nullptr)
        Say(error, capacity, L"cannot delete %ls, from an earlier run", left);
    return view == 0 && left == nullptr;
}

// Ends the job's processes, and waits (at most 5 s) until they are gone: the stand-in payload
// writes the entry at its end.
static void EndJob(HANDLE job) {
    TerminateJobObject(job, 1);
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION counts;
    for (int waited = 0; waited < 5000; waited += 20) {
        if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &counts,
                                       sizeof(counts), nullptr) ||
            counts.ActiveProcesses == 0)
            return;
        Sleep(20);
    }
}

// Runs on a thread of its own; holding the lock to the end, it keeps the case from changing
// anything after it has put things back.
static BOOL WINAPI OnStop(DWORD event) {
    EnterCriticalSection(&lock);
    if (watchedJob != nullptr)
        EndJob(watchedJob);
    if (running) {
        RestoreLocked();
        DeleteFileW(recordPath);
    }
    printf("stopped (%s): the uninstall entry removed, HKEY_CURRENT_USER put back as it was\n",
           event == CTRL_C_EVENT       ? "Ctrl+C"
           : event == CTRL_BREAK_EVENT ? "Ctrl+Break"
                                       : "the console closed");
    fflush(stdout);
    ExitProcess(1);
}

int BeginSafeRun(const wchar_t* work) {
    InitializeCriticalSection(&lock);
    PathIn(work, kRecordName, recordPath);
    if (!WriteRecord())
        return 0;
    running = 1;
    SetConsoleCtrlHandler(OnStop, TRUE);
    return 1;
}

int ChangeEntry(const wchar_t* values) {
    EnterCriticalSection(&lock);
    int failed = values != nullptr ? ApplyRegistryValues(values) : ClearEntry();
    LeaveCriticalSection(&lock);
    return !failed;
}

// The value's type and bytes, of any size, into value (its data from the process heap); 0 when
// it is missing.
static int ReadUserValue(HKEY key, const wchar_t* name, UserValue* value) {
    for (;;) {
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &value->type, nullptr, &size) != ERROR_SUCCESS)
            return 0;
        value->data = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), 0, size + 1));
        value->size = size;
        LONG status = RegQueryValueExW(key, name, nullptr, &value->type, value->data, &value->size);
        if (status == ERROR_SUCCESS)
            return 1;
        HeapFree(GetProcessHeap(), 0, value->data);
        value->data = nullptr;
        if (status != ERROR_MORE_DATA) // else it grew meanwhile
            return 0;
    }
}

// The highest key of path that does not exist yet, or empty when it all does.
static void FindMissingKey(const wchar_t* path, wchar_t* missing) {
    missing[0] = 0;
    wchar_t prefix[kPathCapacity];
    wcsncpy(prefix, path, kPathCapacity - 1);
    prefix[kPathCapacity - 1] = 0;
    for (wchar_t* at = prefix;; ++at) {
        if (*at != L'\\' && *at != 0)
            continue;
        wchar_t kept = *at;
        *at = 0;
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, prefix, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
            wcscpy(missing, prefix);
            return;
        }
        RegCloseKey(key);
        *at = kept;
        if (kept == 0)
            return;
    }
}

int SetUserValue(const wchar_t* path, const wchar_t* name, DWORD type, const unsigned char* data,
                 DWORD size) {
    if (wcslen(path) >= kPathCapacity || wcslen(name) >= kPathCapacity)
        return 0;
    EnterCriticalSection(&lock);
    int known = 0, done = 0;
    for (int i = 0; i < userValueCount; ++i)
        known = known ||
                (_wcsicmp(userValues[i].key, path) == 0 && _wcsicmp(userValues[i].name, name) == 0);
    UserValue* value = &userValues[userValueCount];
    HKEY key;
    if (!known && userValueCount < kUserValueCapacity) {
        ZeroMemory(value, sizeof(*value));
        wcscpy(value->key, path);
        wcscpy(value->name, name);
        FindMissingKey(path, value->created);
        if (value->created[0] == 0 &&
            RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS) {
            value->existed = ReadUserValue(key, name, value);
            RegCloseKey(key);
        }
        ++userValueCount;
        // Nothing changes that the record does not hold.
        known = WriteRecord();
        if (!known)
            FreeData(userValues[--userValueCount].data);
    }
    if (known && RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                 &key, nullptr) == ERROR_SUCCESS) {
        done = RegSetValueExW(key, name, 0, type, data, size) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    LeaveCriticalSection(&lock);
    return done;
}

void RestoreAfterCase(int last) {
    EnterCriticalSection(&lock);
    RestoreLocked();
    if (last)
        DeleteFileW(recordPath);
    else
        WriteRecord();
    running = !last;
    LeaveCriticalSection(&lock);
}

void WatchJob(HANDLE job) {
    EnterCriticalSection(&lock);
    watchedJob = job;
    LeaveCriticalSection(&lock);
}
