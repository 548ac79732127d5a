// The runner's files and folders, all inside its work folder, and its links.

#include "runner.h"

#include <ntdef.h>

// The runner's own file operations take a path as given, with \\?\ in front: Win32's reading
// drops a trailing dot or blank from a name (x.\ is x\), and cases lay out such names.
static const wchar_t kLongPrefix[] = L"\\\\?\\";
unsigned char fileBuffer[kFileCapacity];
static wchar_t undeletable[kPathCapacity]; // the path the refusal names

void Say(wchar_t* error, size_t capacity, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(error, capacity - 1, format, arguments);
    va_end(arguments);
    error[capacity - 1] = 0;
}

const wchar_t* PlainOf(const wchar_t* path) {
    return wcsncmp(path, kLongPrefix, 4) == 0 ? path + 4 : path;
}

static int JoinPath(const wchar_t* folder, const wchar_t* name, wchar_t* out) {
    int length = _snwprintf(out, kPathCapacity, L"%ls\\%ls", folder, name);
    return length >= 0 && length < static_cast<int>(kPathCapacity);
}

// Never out of the work folder: no drive, no root, no empty, "." or ".." name.
int MakeWorkPath(const CaseState* state, const wchar_t* relative, wchar_t* out) {
    wchar_t names[kPathCapacity + 2], work[kPathCapacity];
    Say(names, kPathCapacity + 2, L"\\%ls\\", relative);
    Say(work, kPathCapacity, L"%ls%ls", kLongPrefix, state->setting->work);
    return wcspbrk(relative, L":/") == nullptr && wcsstr(names, L"\\\\") == nullptr &&
           wcsstr(names, L"\\.\\") == nullptr && wcsstr(names, L"\\..\\") == nullptr &&
           JoinPath(work, relative, out);
}

static const auto wineUnixName =
    reinterpret_cast<char*(CDECL*)(const wchar_t*)>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));

// Wine 8 makes no junction (FSCTL_SET_REPARSE_POINT is not supported) and removes no Unix
// symbolic link with RemoveDirectoryW or DeleteFileW, but starts a Unix program given by its Unix
// path, its arguments parted as Windows parts them, with no handle to wait on. There a shell runs
// script on the Unix paths of path and target ($1, $2), then makes path.done, awaited 10 s at most.
// Wine gives a Unix path in UTF-8; with \\?\ in front, the last name as it stands (x. stays x.),
// not followed when it is a link.
static int RunWineShell(const wchar_t* script, const wchar_t* path, const wchar_t* target) {
    const wchar_t* paths[2] = {path, target != nullptr ? target : path};
    wchar_t unixPaths[2][kPathCapacity], done[kPathCapacity];
    static wchar_t command[4 * kPathCapacity];
    for (int i = 0; i < 2; ++i) {
        char* unixPath = wineUnixName(paths[i]); // null (and length 0) when Wine cannot tell
        int length = MultiByteToWideChar(CP_UTF8, 0, unixPath, -1, unixPaths[i], kPathCapacity);
        HeapFree(GetProcessHeap(), 0, unixPath);
        if (length == 0 || wcschr(unixPaths[i], L'"') != nullptr)
            return 0;
    }
    Say(done, kPathCapacity, L"%ls.done", path);
    Say(command, 4 * kPathCapacity, L"/bin/sh -c \"%ls && : >\\\"$1.done\\\"\" sh \"%ls\" \"%ls\"",
        script, unixPaths[0], unixPaths[1]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &startup, &process);
    int waited = 0;
    for (; started && waited < 10000 && !DeleteFileW(done); waited += 20)
        Sleep(20);
    return started && waited < 10000;
}

// Removes a file, a link (never what it points to) or a folder and all in it; of the work
// folder, all but its mark and record.
static int RemoveEntry(const wchar_t* path, DWORD attributes, int isWork) {
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    int done = 1;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
        FILE_ATTRIBUTE_DIRECTORY) {
        wchar_t inside[kPathCapacity];
        WIN32_FIND_DATAW item;
        HANDLE search = FindFirstFileW(JoinPath(path, L"*", inside) ? inside : L"", &item);
        done = search != INVALID_HANDLE_VALUE;
        for (int more = done; more; more = FindNextFileW(search, &item)) {
            const wchar_t* name = item.cFileName;
            if (wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0 &&
                (!isWork ||
                 (_wcsicmp(name, kWorkMarkName) != 0 && _wcsicmp(name, kRecordName) != 0)))
                done = JoinPath(path, name, inside) &&
                       RemoveEntry(inside, item.dwFileAttributes, 0) && done;
        }
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
        done = done && (isWork || RemoveDirectoryW(path));
    } else {
        done = RemoveDirectoryW(path) || DeleteFileW(path);
    }
    if (!done && undeletable[0] == 0)
        Say(undeletable, kPathCapacity, L"%ls (error %lu)", path, GetLastError());
    return done;
}

int RemovePath(const wchar_t* path) {
    return RemoveEntry(path, GetFileAttributesW(path), 0);
}

// Null once the work folder holds its mark and record alone, else what was left. Under Wine the
// shell deletes its links first ($1 a name inside it, for the file that shows the shell's end):
// Wine leaves a link it reports removed, and lists a link to a folder as the folder, files and all.
const wchar_t* EmptyWorkFolder(const wchar_t* work) {
    wchar_t folder[kPathCapacity], links[kPathCapacity];
    Say(folder, kPathCapacity, L"%ls%ls", kLongPrefix, work);
    Say(links, kPathCapacity, L"%ls\\links", folder);
    undeletable[0] = 0;
    if (wineUnixName != nullptr &&
        !RunWineShell(L"find \\\"${1%/*}\\\" -mindepth 1 -type l -delete", links, nullptr))
        Say(undeletable, kPathCapacity, L"the links in %ls", folder);
    else if (RemoveEntry(folder, FILE_ATTRIBUTE_DIRECTORY, 1))
        return nullptr;
    return undeletable;
}

int MakeFolders(const CaseState* state, const wchar_t* folder) {
    if (CreateDirectoryW(folder, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        return 1;
    wchar_t above[kPathCapacity];
    Say(above, kPathCapacity, L"%ls", folder);
    *wcsrchr(above, L'\\') = 0;
    return IsUnder(PlainOf(above), state->setting->work) && MakeFolders(state, above) &&
           CreateDirectoryW(folder, nullptr);
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

// link made a junction to the folder target, or retargeted in one step when it is one; under Wine
// a Unix link, as above. A junction's reparse data (REPARSE_DATA_BUFFER, in Microsoft's docs) holds
// the target as the object manager names it, then as shown, each ended by a NUL unit.
int MakeLink(const wchar_t* link, const wchar_t* target) {
    if (wineUnixName != nullptr)
        return RunWineShell(L"ln -sfn \\\"$2\\\" \\\"$1.new\\\" && mv -T \\\"$1.new\\\" \\\"$1\\\"",
                            link, target);
    alignas(REPARSE_DATA_BUFFER) static unsigned char
        bytes[sizeof(REPARSE_DATA_BUFFER) + 4 * kPathCapacity + 16];
    REPARSE_DATA_BUFFER* data = reinterpret_cast<REPARSE_DATA_BUFFER*>(bytes);
    auto& mount = data->MountPointReparseBuffer;
    const wchar_t* plain = PlainOf(target);
    size_t length = wcslen(plain);
    CreateDirectoryW(link, nullptr); // or it is one already: when neither, the open below fails
    data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
    data->ReparseDataLength = static_cast<USHORT>(8 + 4 * length + 12);
    mount.SubstituteNameLength = static_cast<USHORT>(2 * length + 8);
    mount.PrintNameOffset = static_cast<USHORT>(2 * length + 10);
    mount.PrintNameLength = static_cast<USHORT>(2 * length);
    Say(mount.PathBuffer, kPathCapacity + 4, L"\\??\\%ls", plain);
    wcscpy(mount.PathBuffer + length + 5, plain);
    HANDLE folder = CreateFileW(link, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return 0;
    DWORD returned = 0;
    int done = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, data, data->ReparseDataLength + 8u,
                               nullptr, 0, &returned, nullptr);
    CloseHandle(folder);
    return done;
}

int IsUnder(const wchar_t* path, const wchar_t* folder) {
    size_t length = wcslen(folder);
    return _wcsnicmp(path, folder, length) == 0 && path[length] == L'\\';
}

const int kCopyFolderCapacity = 64;
const size_t kCopyNameLength = 9 + 32; // VuqSetup- and 32 letters
// The names noted, one after another: as each starts with VuqSetup-, no match spans two.
static wchar_t notedCopies[kCopyFolderCapacity * kCopyNameLength + 1];

// VuqSetup- and 32 letters from a to p, at the end of name or of a folder's name in a path.
static int IsCopyFolderName(const wchar_t* name) {
    return _wcsnicmp(name, L"VuqSetup-", 9) == 0 && wcsspn(name + 9, L"abcdefghijklmnop") == 32 &&
           (name[kCopyNameLength] == 0 || name[kCopyNameLength] == L'\\');
}

int ScanCopyFolders(const Setting* setting, int note, wchar_t* path) {
    wchar_t pattern[kPathCapacity];
    JoinPath(setting->temp, L"VuqSetup-*", pattern);
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    int found = 0;
    for (int more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &entry)) {
        int known = !IsCopyFolderName(entry.cFileName) || wcsstr(notedCopies, entry.cFileName);
        if (note && !known && wcslen(notedCopies) + kCopyNameLength < _countof(notedCopies))
            wcscat(notedCopies, entry.cFileName);
        found = found || (!note && !known && JoinPath(setting->temp, entry.cFileName, path));
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    return found;
}

void MaskCopyFolder(const Setting* setting, wchar_t* path) {
    size_t length = wcslen(setting->temp);
    if (!IsUnder(path, setting->temp) || !IsCopyFolderName(path + length + 1))
        return;
    wchar_t rest[kPathCapacity];
    Say(rest, kPathCapacity, L"%ls", path + length + 1 + kCopyNameLength);
    Say(path, kPathCapacity, L"%ls\\VuqSetup-*%ls", setting->temp, rest);
}
