// The runner's files and folders, all inside its work folder, and its links.

#include "runner.h"

// The runner's own file operations take a path as given, with \\?\ in front: Win32's reading
// drops a trailing dot or blank from a name (x.\ is x\), and cases lay out such names.
static const wchar_t kLongPrefix[] = L"\\\\?\\";
unsigned char fileBuffer[kFileCapacity];

static void ToLongPath(const wchar_t* path, wchar_t* out) {
    _snwprintf(out, kPathCapacity, L"%ls%ls",
               wcsncmp(path, kLongPrefix, 4) == 0 ? L"" : kLongPrefix, path);
    out[kPathCapacity - 1] = 0;
}

// The path as programs are given it, without \\?\.
const wchar_t* PlainOf(const wchar_t* path) {
    return wcsncmp(path, kLongPrefix, 4) == 0 ? path + 4 : path;
}

// Relative to the work folder, never out of it: no drive, no root, no "." or ".." name; with
// \\?\ in front.
int MakeWorkPath(const CaseState* state, const wchar_t* relative, wchar_t* out) {
    size_t length = wcslen(relative);
    if (length == 0 || relative[0] == L'\\' || wcschr(relative, L':') != nullptr ||
        wcschr(relative, L'/') != nullptr ||
        wcslen(state->setting->work) + 1 + length >= kPathCapacity)
        return 0;
    for (const wchar_t* part = relative; part != nullptr;) {
        const wchar_t* end = wcschr(part, L'\\');
        size_t size = end != nullptr ? static_cast<size_t>(end - part) : wcslen(part);
        if (size == 0 || (part[0] == L'.' && (size == 1 || (size == 2 && part[1] == L'.'))))
            return 0;
        part = end != nullptr ? end + 1 : nullptr;
    }
    _snwprintf(out, kPathCapacity, L"%ls%ls\\%ls", kLongPrefix, state->setting->work, relative);
    return 1;
}

static int RunWineLinkShell(const wchar_t* link, const wchar_t* target);
static int RemoveWineLinksIn(const wchar_t* folder);

static int DeleteTreeBut(const wchar_t* folder, const wchar_t* const* keep, int keeping);

// The path that could not be deleted, for the refusal that names it.
static wchar_t undeletable[kPathCapacity];

// Removes path whole, as its folder's listing gave its attributes: a file, a link (never what it
// points to; under Wine one whose target is gone lists, but cannot be opened), or a folder and
// all in it.
static int RemoveEntry(const wchar_t* path, DWORD attributes) {
    int done = 1;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        done = RemoveDirectoryW(path) || DeleteFileW(path) || RunWineLinkShell(path, nullptr);
    else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        done = DeleteTreeBut(path, nullptr, 0) && RemoveDirectoryW(path);
    else
        done = DeleteFileW(path);
    if (!done && undeletable[0] == 0)
        _snwprintf(undeletable, kPathCapacity, L"%ls (error %lu)", path, GetLastError());
    return done;
}

int RemovePath(const wchar_t* path) {
    DWORD attributes = GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    return RemoveEntry(path, attributes);
}

// Empties folder but for the files named keep (at its top), links inside it taken away without
// following them.
static int DeleteTreeBut(const wchar_t* folder, const wchar_t* const* keep, int keeping) {
    wchar_t pattern[kPathCapacity];
    _snwprintf(pattern, kPathCapacity, L"%ls\\*", folder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND;
    int done = 1;
    do {
        int kept = wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0;
        for (int i = 0; i < keeping; ++i)
            kept = kept || _wcsicmp(found.cFileName, keep[i]) == 0;
        if (kept)
            continue;
        wchar_t path[kPathCapacity];
        if (_snwprintf(path, kPathCapacity, L"%ls\\%ls", folder, found.cFileName) < 0)
            done = 0;
        else
            done = RemoveEntry(path, found.dwFileAttributes) && done;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return done;
}

// The work folder as the runner makes it: its mark and record alone; else what was left. Under
// Wine the links an earlier run made go first: Wine reports a link's removal as done, but leaves
// it (and a link to a folder lists as that folder, whose files the tree's removal would take).
const wchar_t* EmptyWorkFolder(const wchar_t* work) {
    static const wchar_t* const keep[2] = {kWorkMarkName, kRecordName};
    wchar_t folder[kPathCapacity];
    ToLongPath(work, folder);
    undeletable[0] = 0;
    if (!RemoveWineLinksIn(folder)) {
        _snwprintf(undeletable, kPathCapacity, L"the links in %ls", folder);
        return undeletable;
    }
    return DeleteTreeBut(folder, keep, 2) ? nullptr : undeletable;
}

// Makes folder and those above it, down from the work folder.
int MakeFolders(const CaseState* state, const wchar_t* folder) {
    wchar_t path[kPathCapacity];
    wcsncpy(path, folder, kPathCapacity - 1);
    path[kPathCapacity - 1] = 0;
    for (wchar_t* at = path + wcslen(kLongPrefix) + wcslen(state->setting->work) + 1;; ++at) {
        if (*at != L'\\' && *at != 0)
            continue;
        wchar_t kept = *at;
        *at = 0;
        if (!CreateDirectoryW(path, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return 0;
        *at = kept;
        if (kept == 0)
            return 1;
    }
}

long ReadWholeFile(const wchar_t* path, unsigned char* buffer) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    DWORD size = 0;
    int read = ReadFile(file, buffer, kFileCapacity, &size, nullptr) && size < kFileCapacity;
    CloseHandle(file);
    return read ? static_cast<long>(size) : -1;
}

int WriteWholeFile(const wchar_t* path, const void* bytes, DWORD size) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int done = WriteFile(file, bytes, size, &written, nullptr) && written == size;
    return CloseHandle(file) && done;
}

// --- Links -------------------------------------------------------------------------------------

// A mount point's reparse data: the target as the object manager names it, then as shown.
struct MountPointData {
    DWORD tag;
    WORD dataLength;
    WORD reserved;
    WORD substituteOffset, substituteLength, printOffset, printLength;
    wchar_t names[2 * kPathCapacity + 8];
};

// Wine 8 makes neither junctions (FSCTL_SET_REPARSE_POINT is not supported) nor symbolic links
// (CreateSymbolicLinkW reports success and makes nothing), nor removes a Unix symbolic link with
// RemoveDirectoryW or DeleteFileW; but it starts a Unix program given by its Unix path, without a
// handle to wait on, its arguments parted as Windows parts them. There a Unix symbolic link, made
// or replaced in one step by a shell, serves as the junction, and the runner waits until the
// shell has made a file of its own to show that it has ended.
// The Unix path of a path inside a folder: the folder's, then the name as it is (the name may be
// a link, which is not to be followed), as wide text (Wine gives the folder's in UTF-8). 0 when
// Wine cannot tell, or the shell could not take it between single quotes.
static int UnixPathOf(const wchar_t* path, wchar_t* out) {
    typedef char*(CDECL * UnixNameFunction)(const wchar_t*);
    UnixNameFunction unixName = reinterpret_cast<UnixNameFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t folder[kPathCapacity];
    wcsncpy(folder, path, kPathCapacity - 1);
    folder[kPathCapacity - 1] = 0;
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (unixName == nullptr || slash == nullptr)
        return 0;
    *slash = 0;
    char* unixFolder = unixName(PlainOf(folder));
    int length = unixFolder == nullptr ? 0
                                       : MultiByteToWideChar(CP_UTF8, 0, unixFolder, -1, out,
                                                             static_cast<int>(kPathCapacity));
    HeapFree(GetProcessHeap(), 0, unixFolder);
    return length > 0 && static_cast<size_t>(length) + wcslen(slash + 1) < kPathCapacity &&
           wcscat(wcscat(out, L"/"), slash + 1) != nullptr && wcschr(out, L'\'') == nullptr;
}

// Starts the shell's command line, then waits (at most 10 s) until it has made the file done.
static int RunWineShell(wchar_t* command, const wchar_t* done) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started;
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &started))
        return 0;
    for (int waited = 0; waited < 10000; waited += 20) {
        if (GetFileAttributesW(done) != INVALID_FILE_ATTRIBUTES && DeleteFileW(done))
            return 1;
        Sleep(20);
    }
    return 0;
}

// Every Unix link inside folder taken away. Nothing to do off Wine, where links are junctions.
static int RemoveWineLinksIn(const wchar_t* folder) {
    if (GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name") == nullptr)
        return 1;
    // The folder's Unix path is the done file's less its name: a work folder at the root of a
    // drive has no folder above it to find it from.
    wchar_t done[kPathCapacity], unixDone[kPathCapacity];
    static wchar_t command[4 * kPathCapacity];
    _snwprintf(done, kPathCapacity, L"%ls\\links-removed", folder);
    if (!UnixPathOf(done, unixDone))
        return 0;
    _snwprintf(command, 4 * kPathCapacity,
               L"/bin/sh -c \"find '%.*ls' -mindepth 1 -type l -delete; : >'%ls'\"",
               static_cast<int>(wcsrchr(unixDone, L'/') - unixDone), unixDone, unixDone);
    return RunWineShell(command, done);
}

// Under Wine: link made a Unix link to target, or retargeted in one step, or taken away (target
// null); the shell's file to show its end is the link's name with .done.
static int RunWineLinkShell(const wchar_t* link, const wchar_t* target) {
    wchar_t unixLink[kPathCapacity], unixTarget[kPathCapacity], done[kPathCapacity + 8];
    static wchar_t command[5 * kPathCapacity];
    if (!UnixPathOf(link, unixLink) || (target != nullptr && !UnixPathOf(target, unixTarget)))
        return 0;
    if (target != nullptr)
        _snwprintf(
            command, 5 * kPathCapacity,
            L"/bin/sh -c \"ln -sfn '%ls' '%ls.new' && mv -T '%ls.new' '%ls' && : >'%ls.done'\"",
            unixTarget, unixLink, unixLink, unixLink, unixLink);
    else
        _snwprintf(command, 5 * kPathCapacity, L"/bin/sh -c \"rm -f '%ls' && : >'%ls.done'\"",
                   unixLink, unixLink);
    _snwprintf(done, kPathCapacity + 8, L"%ls.done", link);
    return RunWineShell(command, done);
}

// link is made a junction to the folder target, or retargeted in one step when it is one.
int MakeLink(const wchar_t* link, const wchar_t* target) {
    if (!CreateDirectoryW(link, nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return 0;
    static MountPointData data;
    ZeroMemory(&data, sizeof(data));
    const wchar_t* plain = PlainOf(target);
    size_t length = wcslen(plain);
    if (length + 4 >= kPathCapacity)
        return 0;
    wcscpy(data.names, L"\\??\\");
    wcscpy(data.names + 4, plain);
    wcscpy(data.names + length + 5, plain);
    data.tag = IO_REPARSE_TAG_MOUNT_POINT;
    data.substituteLength = static_cast<WORD>(2 * (length + 4));
    data.printOffset = static_cast<WORD>(2 * (length + 5));
    data.printLength = static_cast<WORD>(2 * length);
    data.dataLength = static_cast<WORD>(8 + 2 * (2 * length + 4 + 2));
    HANDLE folder = CreateFileW(link, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    DWORD returned = 0;
    int done = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &data, data.dataLength + 8u,
                               nullptr, 0, &returned, nullptr);
    DWORD error = GetLastError();
    CloseHandle(folder);
    if (done || error != ERROR_NOT_SUPPORTED)
        return done;
    // A folder in the way (left by the junction's attempt) gives way to Wine's link.
    RemoveDirectoryW(link);
    return RunWineLinkShell(link, target);
}

// Whether path lies in folder.
int IsUnder(const wchar_t* path, const wchar_t* folder) {
    size_t length = wcslen(folder);
    return _wcsnicmp(path, folder, length) == 0 && path[length] == L'\\';
}

// --- A pinned build's private copies ---------------------------------------------------------

const int kCopyFolderCapacity = 64;
const size_t kCopyNameLength = 9 + 32; // VuqSetup- and 32 letters
static wchar_t notedCopies[kCopyFolderCapacity][kCopyNameLength + 1];
static int notedCopyCount;

static int IsCopyFolderName(const wchar_t* name) {
    if (wcslen(name) != kCopyNameLength || _wcsnicmp(name, L"VuqSetup-", 9) != 0)
        return 0;
    for (const wchar_t* unit = name + 9; *unit != 0; ++unit)
        if (*unit < L'a' || *unit > L'p')
            return 0;
    return 1;
}

int ScanCopyFolders(const Setting* setting, int note, wchar_t* path) {
    wchar_t pattern[kPathCapacity];
    _snwprintf(pattern, kPathCapacity, L"%ls\\VuqSetup-*", setting->temp);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    int found = 0;
    notedCopyCount = note ? 0 : notedCopyCount;
    for (int more = search != INVALID_HANDLE_VALUE; more && !found;
         more = FindNextFileW(search, &entry)) {
        int known = !IsCopyFolderName(entry.cFileName);
        for (int i = 0; i < notedCopyCount; ++i)
            known = known || wcscmp(notedCopies[i], entry.cFileName) == 0;
        if (note && !known && notedCopyCount < kCopyFolderCapacity)
            wcscpy(notedCopies[notedCopyCount++], entry.cFileName);
        found = !note && !known;
        if (found)
            _snwprintf(path, kPathCapacity, L"%ls\\%ls", setting->temp, entry.cFileName);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return found;
}

void MaskCopyFolder(const Setting* setting, wchar_t* path) {
    size_t length = wcslen(setting->temp);
    wchar_t name[kCopyNameLength + 1];
    if (_wcsnicmp(path, setting->temp, length) != 0 || path[length] != L'\\' ||
        wcslen(path) <= length + 1 + kCopyNameLength || path[length + 1 + kCopyNameLength] != L'\\')
        return;
    wcsncpy(name, path + length + 1, kCopyNameLength);
    name[kCopyNameLength] = 0;
    if (!IsCopyFolderName(name))
        return;
    memcpy(path, setting->temp, length * sizeof(wchar_t)); // as the runner spells it
    wchar_t* rest = path + length + 1 + 9;
    rest[0] = L'*';
    memmove(rest + 1, rest + 32, (wcslen(rest + 32) + 1) * sizeof(wchar_t));
}
