#include "platform/platform.h"

#include "platform/platform_win32_support.h"

static_assert(sizeof(WideUnit) == sizeof(wchar_t), "UTF-16 units are wchar_t on Windows");
static_assert(kKeyQueryValue == KEY_QUERY_VALUE && kKeyWrite == KEY_WRITE, "registry access");
static_assert(kKeyWow64_64Key == KEY_WOW64_64KEY && kKeyWow64_32Key == KEY_WOW64_32KEY,
              "registry views");
static_assert(kRegSz == REG_SZ && kMessageBoxError == (MB_ICONERROR | MB_OK), "constants");

static const wchar_t* AsWide(const WideUnit* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

static HKEY AsKey(PlatformHandle key) {
    return static_cast<HKEY>(key);
}

// Test builds look up names no system has, to show what the wrapper does without them.
#ifndef VUQ_DLL_DIRECTORIES_FUNCTION
#define VUQ_DLL_DIRECTORIES_FUNCTION "SetDefaultDllDirectories"
#endif
#ifndef VUQ_WOW64_FUNCTION
#define VUQ_WOW64_FUNCTION "IsWow64Process"
#endif
#ifndef VUQ_SPLIT_FUNCTION
#define VUQ_SPLIT_FUNCTION "CommandLineToArgvW"
#endif

// Room for the system folder's path, a separator and the longest library name used here.
const UINT kSystemPathCapacity = MAX_PATH + 16;

// Zero until SetDefaultDllDirectories has narrowed the search.
static int searchNarrowed;
// user32, once loaded for the first box.
static HMODULE userLibrary;

static AnyFunction FindFunction(HMODULE module, const char* name) {
    return reinterpret_cast<AnyFunction>(GetProcAddress(module, name));
}

AnyFunction FindKernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr)
        return nullptr;
    return FindFunction(kernel, name);
}

// Loads the library by its full path in the system folder, never through the search path, so
// that no file of that name in the wrapper's folder can take its place. Where the search is not
// narrowed, the library's own imports are looked for in its folder first, not the wrapper's.
// Null when it is not there.
static HMODULE LoadSystemLibrary(const char* library) {
    wchar_t path[kSystemPathCapacity];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return nullptr;
    path[length++] = L'\\';
    for (UINT i = 0; library[i] != 0; ++i) {
        if (length + 1 >= kSystemPathCapacity)
            return nullptr;
        path[length++] = static_cast<unsigned char>(library[i]);
    }
    path[length] = 0;
    return LoadLibraryExW(path, nullptr, searchNarrowed ? 0 : LOAD_WITH_ALTERED_SEARCH_PATH);
}

int FindSystemFunctions(const char* library, const char* names, AnyFunction* functions) {
    HMODULE module = LoadSystemLibrary(library);
    if (module == nullptr)
        return 0;
    while (*names != 0) {
        *functions = FindFunction(module, names);
        if (*functions++ == nullptr)
            return 0;
        while (*names != 0)
            ++names;
        ++names;
    }
    return 1;
}

// Looked up at run time: Windows before 8 (without KB2533623) lacks it.
// SetDllDirectoryW is not used, as it would change the payload's DLL search as well.
void RestrictDllSearchToSystem() {
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    AnyFunction found = FindKernelFunction(VUQ_DLL_DIRECTORIES_FUNCTION);
    if (found != nullptr)
        searchNarrowed =
            reinterpret_cast<SetDefaultDllDirectoriesFunction>(found)(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Loaded for good: a system DLL that asks for one of them by name gets the one loaded here.
void PreloadSystemLibraries(const char* names) {
    if (searchNarrowed)
        return;
    while (*names != 0) {
        LoadSystemLibrary(names);
        while (*names != 0)
            ++names;
        ++names;
    }
}

const WideUnit* ReadProcessCommandLine() {
    return reinterpret_cast<const WideUnit*>(GetCommandLineW());
}

// Loaded only now, after the search was narrowed. From Windows 8.1 on shell32's splitter is a
// forwarder to shcore's, and shcore comes without user32 and gdi32, which shell32 would bring
// in with a GUI thread; older systems have it in shell32 alone.
WideUnit** SplitCommandLine(const WideUnit* commandLine, int* count) {
    typedef LPWSTR*(WINAPI * CommandLineToArgvWFunction)(LPCWSTR, int*);
    AnyFunction found = nullptr;
    if (!FindSystemFunctions("shcore.dll", VUQ_SPLIT_FUNCTION "\0", &found) &&
        !FindSystemFunctions("shell32.dll", VUQ_SPLIT_FUNCTION "\0", &found))
        return nullptr;
    LPWSTR* arguments =
        reinterpret_cast<CommandLineToArgvWFunction>(found)(AsWide(commandLine), count);
    return reinterpret_cast<WideUnit**>(arguments);
}

void ReleaseSplitCommandLine(WideUnit** arguments) {
    LocalFree(arguments);
}

// Looked up at run time: kernel32 lacks it before XP SP2, where a missing one counts as a failed
// query. A static import would keep the wrapper from loading at all there.
int QueryWow64Process(int* isWow64) {
    typedef BOOL(WINAPI * IsWow64ProcessFunction)(HANDLE, PBOOL);
    AnyFunction found = FindKernelFunction(VUQ_WOW64_FUNCTION);
    if (found == nullptr)
        return 0;
    BOOL flag = FALSE;
    BOOL worked = reinterpret_cast<IsWow64ProcessFunction>(found)(GetCurrentProcess(), &flag);
    *isWow64 = flag != FALSE;
    return worked != FALSE;
}

int StartProcess(const WideUnit* applicationPath, WideUnit* commandLine, PayloadProcess* started) {
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    ZeroMemory(&process, sizeof(process));
    BOOL worked = CreateProcessW(AsWide(applicationPath), reinterpret_cast<wchar_t*>(commandLine),
                                 nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process);
    started->process = process.hProcess;
    started->thread = process.hThread;
    return worked != FALSE;
}

void WaitForProcessEnd(PlatformHandle process) {
    WaitForSingleObject(process, INFINITE);
}

void ReleaseHandle(PlatformHandle handle) {
    CloseHandle(handle);
}

// Both looked up at run time: kernel32 has them from XP on, though the documentation now names
// Vista, and a static import of either would keep the wrapper from loading at all without it.
int QueryProcessSession(unsigned long* session) {
    typedef BOOL(WINAPI * ProcessIdToSessionIdFunction)(DWORD, DWORD*);
    AnyFunction found = FindKernelFunction("ProcessIdToSessionId");
    DWORD id = 0;
    if (found == nullptr ||
        !reinterpret_cast<ProcessIdToSessionIdFunction>(found)(GetCurrentProcessId(), &id))
        return 0;
    *session = id;
    return 1;
}

int IsSession0Isolated() {
    return FindKernelFunction("GetTickCount64") != nullptr;
}

unsigned long QueryConsoleSession() {
    typedef DWORD(WINAPI * WTSGetActiveConsoleSessionIdFunction)();
    AnyFunction found = FindKernelFunction("WTSGetActiveConsoleSessionId");
    if (found == nullptr)
        return 0;
    return reinterpret_cast<WTSGetActiveConsoleSessionIdFunction>(found)();
}

// The wrapper loads user32 only when a box may have to be shown, and then once for the window
// station and the box (before 8.1 shell32 has brought it in already). A failed query counts as
// visible: the box is shown as it always was.
int IsWindowStationVisible() {
    typedef HWINSTA(WINAPI * GetProcessWindowStationFunction)();
    typedef BOOL(WINAPI * GetUserObjectInformationWFunction)(HANDLE, int, PVOID, DWORD, LPDWORD);
    HMODULE user32 = userLibrary = LoadSystemLibrary("user32.dll");
    if (user32 == nullptr)
        return 1;
    AnyFunction station = FindFunction(user32, "GetProcessWindowStation");
    AnyFunction query = FindFunction(user32, "GetUserObjectInformationW");
    if (station == nullptr || query == nullptr)
        return 1;
    HWINSTA current = reinterpret_cast<GetProcessWindowStationFunction>(station)();
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    if (current == nullptr || !reinterpret_cast<GetUserObjectInformationWFunction>(query)(
                                  current, UOI_FLAGS, &flags, sizeof(flags), &needed))
        return 1;
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Shown only after IsWindowStationVisible has loaded user32. Without user32 the box is lost,
// but the wrapper still ends with its error status.
void ShowMessageBox(const WideUnit* message, const WideUnit* caption, unsigned long style) {
    typedef int(WINAPI * MessageBoxWFunction)(HWND, LPCWSTR, LPCWSTR, UINT);
    if (userLibrary == nullptr)
        return;
    AnyFunction found = FindFunction(userLibrary, "MessageBoxW");
    if (found != nullptr)
        reinterpret_cast<MessageBoxWFunction>(found)(nullptr, AsWide(message), AsWide(caption),
                                                     style);
}

long OpenRegistryKey(unsigned long root, const WideUnit* path, unsigned long options,
                     unsigned long access, PlatformHandle* key) {
    HKEY opened = nullptr;
    HKEY rootKey = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(root));
    LONG status = RegOpenKeyExW(rootKey, AsWide(path), options, access, &opened);
    *key = opened;
    return status;
}

long QueryRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long* type,
                        unsigned char* data, unsigned long* size) {
    DWORD valueType = 0;
    DWORD valueSize = *size;
    LONG status = RegQueryValueExW(AsKey(key), AsWide(name), nullptr, &valueType, data, &valueSize);
    *type = valueType;
    *size = valueSize;
    return status;
}

long SetRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long type,
                      const unsigned char* data, unsigned long size) {
    return RegSetValueExW(AsKey(key), AsWide(name), 0, type, data, size);
}

void CloseRegistryKey(PlatformHandle key) {
    RegCloseKey(AsKey(key));
}
