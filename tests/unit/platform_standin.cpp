#include "platform_standin.h"

#include <algorithm>
#include <cstring>

const std::u16string kUninstallEntryPath =
    u"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VuqTouchscreen";

static const long kErrorFileNotFound = 2;
static const long kErrorAccessDenied = 5;
static const long kErrorMoreData = 234;
static PlatformHandle const kProcessHandle = reinterpret_cast<PlatformHandle>(0x1000);
static PlatformHandle const kThreadHandle = reinterpret_cast<PlatformHandle>(0x2000);
static PlatformHandle const kProviderHandle = reinterpret_cast<PlatformHandle>(0x4000);
static PlatformHandle const kHashHandle = reinterpret_cast<PlatformHandle>(0x5000);
static const uintptr_t kFirstFileHandle = 0x3000;

static StandIn* current = new StandIn();

StandIn& TheStandIn() {
    return *current;
}

void ResetStandIn() {
    delete current;
    current = new StandIn();
}

std::string TextBytes(const std::u16string& text, int withTerminator) {
    std::string bytes(reinterpret_cast<const char*>(text.c_str()),
                      (text.size() + (withTerminator ? 1 : 0)) * sizeof(char16_t));
    return bytes;
}

static void Record(const char* call) {
    current->calls.push_back(call);
}

void RestrictDllSearchToSystem() {
    Record("RestrictDllSearchToSystem");
}

void PreloadSystemLibraries(const char* names) {
    std::string call = "PreloadSystemLibraries(";
    for (; *names != 0; names += std::strlen(names) + 1)
        call += std::string(names) + (names[std::strlen(names) + 1] != 0 ? " " : ")");
    current->calls.push_back(call);
}

const WideUnit* ReadProcessCommandLine() {
    Record("GetCommandLineW");
    return current->commandLine.c_str();
}

WideUnit** SplitCommandLine(const WideUnit* commandLine, int* count) {
    Record("CommandLineToArgvW");
    current->splitInput = commandLine;
    if (current->splitFails)
        return nullptr;
    // Heap copies, so the sanitizers see any use after release.
    size_t n = current->splitArguments.size();
    WideUnit** arguments = new WideUnit*[n + 1];
    for (size_t i = 0; i < n; ++i) {
        const std::u16string& argument = current->splitArguments[i];
        arguments[i] = new WideUnit[argument.size() + 1];
        std::memcpy(arguments[i], argument.c_str(), (argument.size() + 1) * sizeof(WideUnit));
    }
    arguments[n] = nullptr;
    *count = static_cast<int>(n);
    return arguments;
}

void ReleaseSplitCommandLine(WideUnit** arguments) {
    Record("LocalFree");
    ++current->splitReleases;
    for (size_t i = 0; arguments[i] != nullptr; ++i)
        delete[] arguments[i];
    delete[] arguments;
}

int QueryWow64Process(int* isWow64) {
    Record("IsWow64Process");
    if (!current->wow64QueryWorks)
        return 0;
    *isWow64 = current->wow64Flag;
    return 1;
}

int StartProcess(const WideUnit* applicationPath, WideUnit* commandLine, PayloadProcess* started) {
    Record("CreateProcessW");
    current->startedApplication = applicationPath;
    current->startedCommandLine = commandLine;
    if (!current->startSucceeds)
        return 0;
    // Windows opens the image sharing reading and deletion: no handle may write to it. Files
    // the test has not laid out start as they are.
    for (const auto& open : current->openFiles)
        if (open.second.path == applicationPath && open.second.writes)
            return 0;
    auto found = current->files.find(applicationPath);
    if (found != current->files.end())
        current->startedImage = found->second.content;
    for (const auto& open : current->openFiles)
        current->startedWhileHeldForReading |= open.second.path == applicationPath;
    if (current->payloadLeavesChild)
        current->heldByChild.insert(applicationPath);
    started->process = kProcessHandle;
    started->thread = kThreadHandle;
    return 1;
}

void WaitForProcessEnd(PlatformHandle process) {
    Record(process == kProcessHandle ? "WaitForSingleObject(process)" : "WaitForSingleObject(?)");
}

void ReleaseHandle(PlatformHandle handle) {
    if (handle == kProcessHandle)
        Record("CloseHandle(process)");
    else if (handle == kThreadHandle)
        Record("CloseHandle(thread)");
    else if (current->openFiles.erase(handle) != 0)
        Record("CloseHandle(file)");
    else
        Record("CloseHandle(?)");
}

int QueryProcessSession(unsigned long* session) {
    Record("ProcessIdToSessionId");
    *session = current->processSession;
    return current->sessionQueryWorks;
}

int IsSession0Isolated() {
    Record("GetTickCount64");
    return current->session0Isolated;
}

unsigned long QueryConsoleSession() {
    Record("WTSGetActiveConsoleSessionId");
    return current->consoleSession;
}

int IsWindowStationVisible() {
    Record("GetUserObjectInformationW");
    return current->windowStationVisible;
}

void ShowMessageBox(const WideUnit* message, const WideUnit* caption, unsigned long style) {
    Record("MessageBoxW");
    current->messages.push_back({message, caption, style});
}

// A 32-bit process on a 64-bit system lands in the 32-bit view unless it asks otherwise.
static RegistryView& ViewFor(unsigned long access) {
    return (access & kKeyWow64_64Key) ? current->registry64 : current->registry32;
}

long OpenRegistryKey(unsigned long root, const WideUnit* path, unsigned long options,
                     unsigned long access, PlatformHandle* key) {
    Record("RegOpenKeyExW");
    current->openedKeys.push_back({path, root, options, access});
    if (current->openStatus != 0)
        return current->openStatus;
    RegistryView& view = ViewFor(access);
    if (root != kRegistryLocalMachine || view.count(path) == 0)
        return kErrorFileNotFound;
    current->openKeys.push_back({&view, path});
    current->keyCloseCounts.push_back(0);
    *key = reinterpret_cast<PlatformHandle>(current->openKeys.size());
    return 0;
}

static size_t KeyNumber(PlatformHandle key) {
    return reinterpret_cast<size_t>(key);
}

static RegistryValues& ValuesOf(PlatformHandle key) {
    const OpenKey& open = current->openKeys.at(KeyNumber(key) - 1);
    return (*open.view)[open.path];
}

long QueryRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long* type,
                        unsigned char* data, unsigned long* size) {
    Record("RegQueryValueExW");
    RegistryValues& values = ValuesOf(key);
    auto found = values.find(name);
    if (found == values.end())
        return kErrorFileNotFound;
    const std::string& bytes = found->second.bytes;
    *type = found->second.type;
    if (bytes.size() > *size) {
        *size = static_cast<unsigned long>(bytes.size());
        return kErrorMoreData;
    }
    // Fill the rest of the caller's buffer with noise: Windows does not terminate text for us.
    std::memset(data, 0xA5, *size);
    std::memcpy(data, bytes.data(), bytes.size());
    *size = static_cast<unsigned long>(bytes.size());
    return 0;
}

long SetRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long type,
                      const unsigned char* data, unsigned long size) {
    Record("RegSetValueExW");
    if (current->failingSets.count(name) != 0)
        return kErrorAccessDenied;
    ValuesOf(key)[name] = {type, std::string(reinterpret_cast<const char*>(data), size)};
    return 0;
}

void CloseRegistryKey(PlatformHandle key) {
    Record("RegCloseKey");
    size_t number = KeyNumber(key);
    if (number >= 1 && number <= current->keyCloseCounts.size())
        ++current->keyCloseCounts[number - 1];
}

std::string StandInDigest(const std::string& bytes) {
    std::string digest;
    for (unsigned long long lane = 0; lane < kSha256Size / 8; ++lane) {
        unsigned long long h = 14695981039346656037ull + lane;
        for (char byte : bytes)
            h = (h ^ static_cast<unsigned char>(byte)) * 1099511628211ull;
        digest.append(reinterpret_cast<const char*>(&h), 8);
    }
    return digest;
}

static const StandInFile* FileOf(PlatformHandle file) {
    auto open = current->openFiles.find(file);
    if (open == current->openFiles.end())
        return nullptr;
    return &current->files[open->second.path];
}

static int IsOpen(const std::u16string& path) {
    for (const auto& open : current->openFiles)
        if (open.second.path == path)
            return 1;
    return current->heldByChild.count(path) != 0;
}

static PlatformHandle AddOpenFile(const std::u16string& path, int writes) {
    static uintptr_t next = kFirstFileHandle;
    PlatformHandle handle = reinterpret_cast<PlatformHandle>(next++);
    current->openFiles[handle] = {path, writes, 0};
    return handle;
}

static std::u16string ParentOf(const std::u16string& path) {
    return path.substr(0, path.rfind(u'\\'));
}

FileOpenResult OpenFileSharedRead(const WideUnit* path, PlatformHandle* file) {
    Record("CreateFileW(read)");
    auto found = current->files.find(path);
    if (found == current->files.end())
        return kFileMissing;
    if (found->second.open != kFileOpened)
        return found->second.open;
    for (const auto& open : current->openFiles)
        if (open.second.path == path && open.second.writes)
            return kFileInUse;
    if (current->copyReopenFails && std::u16string(path).find(current->windowsFolder) == 0)
        return kFileInUse;
    *file = AddOpenFile(path, 0);
    return kFileOpened;
}

int ReadFileBytes(PlatformHandle file, unsigned char* buffer, unsigned long capacity,
                  unsigned long* count) {
    Record(FileOf(file) != nullptr ? "ReadFile" : "ReadFile(?)");
    OpenFile& open = current->openFiles[file];
    StandInFile& read = current->files[open.path];
    const std::string& content = read.content;
    size_t n = std::min<size_t>(capacity, content.size() - std::min(open.offset, content.size()));
    if (read.readFailsAt >= 0 && open.offset + n > static_cast<size_t>(read.readFailsAt))
        return 0;
    std::memcpy(buffer, content.data() + open.offset, n);
    open.offset += n;
    *count = static_cast<unsigned long>(n);
    if (!read.changedMidRead.empty())
        read.content = read.changedMidRead, read.changedMidRead.clear();
    return 1;
}

int CreateNewFile(const WideUnit* path, PlatformHandle* file) {
    Record("CreateFileW(new)");
    if (current->files.count(path) != 0 || current->folders.count(path) != 0 ||
        current->folders.count(ParentOf(path)) == 0)
        return 0;
    current->files[path].content.clear();
    *file = AddOpenFile(path, 1);
    return 1;
}

int WriteFileBytes(PlatformHandle file, const unsigned char* bytes, unsigned long count) {
    Record("WriteFile");
    auto open = current->openFiles.find(file);
    if (open == current->openFiles.end() || !open->second.writes)
        return 0;
    if (current->diskRoom >= 0 && count > static_cast<unsigned long>(current->diskRoom))
        return 0;
    if (current->diskRoom >= 0)
        current->diskRoom -= count;
    std::string& content = current->files[open->second.path].content;
    content.append(reinterpret_cast<const char*>(bytes), count);
    current->mostWritten = std::max(current->mostWritten, content.size());
    return 1;
}

unsigned long ReadWindowsFolder(WideUnit* path, unsigned long capacity) {
    Record("GetSystemWindowsDirectoryW");
    const std::u16string& folder = current->windowsFolder;
    if (folder.empty() || folder.size() >= capacity)
        return 0;
    std::memcpy(path, folder.c_str(), (folder.size() + 1) * sizeof(WideUnit));
    return static_cast<unsigned long>(folder.size());
}

FolderCreateResult CreatePrivateFolder(const WideUnit* path) {
    Record("CreateDirectoryW");
    if (current->folders.count(path) != 0 || current->files.count(path) != 0)
        return kFolderTaken;
    if (current->folders.count(ParentOf(path)) == 0)
        return kFolderFailed;
    current->folders.insert(path);
    return kFolderCreated;
}

void RemoveNowOrAtRestart(const WideUnit* path, int isFolder) {
    Record(isFolder ? "RemoveDirectoryW" : "DeleteFileW");
    std::u16string removed = path;
    int held = IsOpen(removed);
    for (const auto& file : current->files)
        held |= isFolder && ParentOf(file.first) == removed;
    if (held) {
        Record("MoveFileExW");
        current->atRestart.push_back(removed);
    } else if (isFolder) {
        current->folders.erase(removed);
    } else {
        current->files.erase(removed);
    }
}

static unsigned char StandInRandomByte(int call, unsigned long index) {
    return static_cast<unsigned char>(static_cast<unsigned long>(call) * 37 + index * 11);
}

int GenerateRandomBytes(Sha256Hash* hash, unsigned char* bytes, unsigned long count) {
    Record(hash->provider == kProviderHandle ? "CryptGenRandom" : "CryptGenRandom(?)");
    if (!current->randomWorks)
        return 0;
    // Each call its own bytes, so that a taken name is followed by another.
    int call = current->randomCalls++;
    for (unsigned long i = 0; i < count; ++i)
        bytes[i] = StandInRandomByte(call, i);
    return 1;
}

std::u16string StandInCopyFolder(int call) {
    std::u16string folder = u"C:\\Windows\\Temp\\VuqSetup-";
    for (unsigned long i = 0; i < 16; ++i) {
        folder += static_cast<char16_t>(u'a' + StandInRandomByte(call, i) / 16);
        folder += static_cast<char16_t>(u'a' + StandInRandomByte(call, i) % 16);
    }
    return folder;
}

int BeginSha256(Sha256Hash* hash) {
    Record("CryptAcquireContextW");
    if (!current->acquireWorks)
        return 0;
    Record("CryptCreateHash");
    if (!current->createHashWorks) {
        Record("CryptReleaseContext");
        return 0;
    }
    hash->provider = kProviderHandle;
    hash->hash = kHashHandle;
    current->hashed.clear();
    ++current->heldHashes;
    return 1;
}

int HashBytes(Sha256Hash* hash, const unsigned char* bytes, unsigned long count) {
    Record(hash->hash == kHashHandle ? "CryptHashData" : "CryptHashData(?)");
    if (!current->hashDataWorks)
        return 0;
    current->hashed.append(reinterpret_cast<const char*>(bytes), count);
    return 1;
}

int FinishSha256(Sha256Hash* hash, unsigned char* digest) {
    Record(hash->hash == kHashHandle ? "CryptGetHashParam" : "CryptGetHashParam(?)");
    std::memcpy(digest, StandInDigest(current->hashed).data(), kSha256Size);
    digest[kSha256Size - 1] ^= current->digestFlip;
    return 1;
}

void ReleaseSha256(Sha256Hash* hash) {
    Record(hash->hash == kHashHandle ? "CryptDestroyHash" : "CryptDestroyHash(?)");
    Record(hash->provider == kProviderHandle ? "CryptReleaseContext" : "CryptReleaseContext(?)");
    --current->heldHashes;
}
