#pragma once

// The only way the wrapper reaches Windows. Each function is one Windows operation, named
// after it; the shipped program links the Win32 implementation, the native tests link a
// scriptable stand-in in its place.

#include "text/text_unit.h"

typedef void* PlatformHandle;

// Windows' own values, kept here so the portable code needs no Windows header;
// the Win32 implementation checks them against the real ones at compile time.
const unsigned long kRegistryLocalMachine = 0x80000002ul;
const unsigned long kKeyQueryValue = 0x0001;
const unsigned long kKeyWrite = 0x20006;
const unsigned long kKeyWow64_64Key = 0x0100;
const unsigned long kKeyWow64_32Key = 0x0200;
const unsigned long kRegSz = 1;
const unsigned long kMessageBoxError = 0x10;

struct PayloadProcess {
    PlatformHandle process;
    PlatformHandle thread;
};

// LoadLibrary and friends look in the system folder only, so no DLL planted beside the
// wrapper can be loaded into an elevated process. XP, Vista and 7 without KB2533623 lack
// SetDefaultDllDirectories: there the search stays as it is, the libraries the wrapper loads
// itself have their own imports looked for in the system folder first, and
// PreloadSystemLibraries covers what system code loads by bare name.
void RestrictDllSearchToSystem();
// Only where the search could not be narrowed: loads each of names (each ended by a NUL, the
// list by an empty name) by its full path in the system folder, so that a later load of the
// same name, from the wrapper's folder first, gets the one already loaded instead.
void PreloadSystemLibraries(const char* names);
// Every list of what is preloaded, with why. Before the command line is split: before 8.1 the
// splitter is shell32's, which brings user32 and gdi32 in on every run. On XP, user32 and gdi32
// load lpk by bare name as they start, and lpk loads usp10 (lpk's and gdi32's script
// processor): so lpk comes first, then usp10, each before anything that brings user32 or gdi32
// in, imm32 among them. Then imm32 (user32's, while it starts), and what a box loads by bare
// name: uxtheme for the themed box, dwmapi (uxtheme's, Vista and 7).
const char kStartUpLibraries[] = "lpk.dll\0usp10.dll\0imm32.dll\0uxtheme.dll\0dwmapi.dll\0";
// Before CryptoAPI is looked up in advapi32: cryptsp, to which advapi32's CryptoAPI forwards
// from 7 on (the lookup resolves the forwarder, by bare name), and cryptbase, which CryptoAPI
// loads by bare name on Vista and 7; then the provider, rsaenh. imm32, which Wine's provider
// brings in with user32, is in from start-up on.
const char kCryptoLibraries[] = "cryptbase.dll\0cryptsp.dll\0rsaenh.dll\0";

// GetCommandLineW.
const WideUnit* ReadProcessCommandLine();
// CommandLineToArgvW: the array, or null on failure; *count receives the number of elements.
WideUnit** SplitCommandLine(const WideUnit* commandLine, int* count);
// LocalFree of the array that SplitCommandLine returned.
void ReleaseSplitCommandLine(WideUnit** arguments);
// GetCurrentProcess + IsWow64Process: nonzero when the query worked, the answer in *isWow64.
int QueryWow64Process(int* isWow64);
// CreateProcessW with no security attributes, no inheritance, flags 0, the wrapper's
// environment and current directory, a zeroed STARTUPINFOW. Nonzero on success.
int StartProcess(const WideUnit* applicationPath, WideUnit* commandLine, PayloadProcess* started);
// WaitForSingleObject with INFINITE.
void WaitForProcessEnd(PlatformHandle process);
// CloseHandle.
void ReleaseHandle(PlatformHandle handle);
// ProcessIdToSessionId for this process: nonzero when it worked, the session in *session; 0
// where the system lacks it.
int QueryProcessSession(unsigned long* session);
// WTSGetActiveConsoleSessionId: the session the console belongs to (0xFFFFFFFF: none just now);
// 0, the session XP gives the console, where the system lacks it.
unsigned long QueryConsoleSession();
// Nonzero from Vista on, where session 0 holds services alone and nobody sees it; 0 on XP and
// Server 2003, which give the first user to log on session 0. Told by kernel32's GetTickCount64,
// which came with Vista, not by the version number, which an XP compatibility mode lowers.
int IsSession0Isolated();
// GetProcessWindowStation + GetUserObjectInformationW(UOI_FLAGS): 0 when the process's window
// station has no visible display (a service's, in session 0), 1 otherwise or when unknown.
int IsWindowStationVisible();
// MessageBoxW without an owner window, from the user32 that IsWindowStationVisible loaded.
void ShowMessageBox(const WideUnit* message, const WideUnit* caption, unsigned long style);

// RegOpenKeyExW, RegQueryValueExW, RegSetValueExW, RegCloseKey: zero on success, as Windows
// reports it. root is kRegistryLocalMachine; *size is in bytes, in and out.
long OpenRegistryKey(unsigned long root, const WideUnit* path, unsigned long options,
                     unsigned long access, PlatformHandle* key);
long QueryRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long* type,
                        unsigned char* data, unsigned long* size);
long SetRegistryValue(PlatformHandle key, const WideUnit* name, unsigned long type,
                      const unsigned char* data, unsigned long size);
void CloseRegistryKey(PlatformHandle key);

// The payload check and copy of a pinned build: its own Win32 file, linked only into pinned
// builds, so that the plain build imports and weighs what it did.
enum FileOpenResult { kFileOpened, kFileMissing, kFileInUse, kFileUnreadable };
const unsigned long kSha256Size = 32;

struct Sha256Hash {
    PlatformHandle provider;
    PlatformHandle hash;
};

// CreateFileW for reading, sharing read only, so that nobody can write, delete or rename the
// file while the handle is held. kFileInUse: another handle already writes to it.
FileOpenResult OpenFileSharedRead(const WideUnit* path, PlatformHandle* file);
// ReadFile. Nonzero on success; *count is 0 at the end of the file.
int ReadFileBytes(PlatformHandle file, unsigned char* buffer, unsigned long capacity,
                  unsigned long* count);
// CryptAcquireContextW (the system's PROV_RSA_AES provider by name, CRYPT_VERIFYCONTEXT), then
// CryptCreateHash (CALG_SHA_256), each of the CryptoAPI functions here looked up in advapi32 now,
// after PreloadSystemLibraries(kCryptoLibraries). Nonzero on success; on failure nothing is left
// to release.
int BeginSha256(Sha256Hash* hash);
// CryptHashData. Nonzero on success.
int HashBytes(Sha256Hash* hash, const unsigned char* bytes, unsigned long count);
// CryptGetHashParam (HP_HASHVAL): kSha256Size bytes into digest. Nonzero on success.
int FinishSha256(Sha256Hash* hash, unsigned char* digest);
// CryptDestroyHash, then CryptReleaseContext.
void ReleaseSha256(Sha256Hash* hash);
// CryptGenRandom through the provider of a hash begun. Nonzero on success.
int GenerateRandomBytes(Sha256Hash* hash, unsigned char* bytes, unsigned long count);

// GetSystemWindowsDirectoryW (the system's own, not a Terminal Services user's): the length
// written to path, 0 on failure or where it does not fit with room to spare.
unsigned long ReadWindowsFolder(WideUnit* path, unsigned long capacity);
enum FolderCreateResult { kFolderCreated, kFolderTaken, kFolderFailed };
// CreateDirectoryW with kPrivateFolderSecurity. kFolderTaken: a file or folder of that name is
// there already, and is left as it is.
FolderCreateResult CreatePrivateFolder(const WideUnit* path);
// A self-relative security descriptor whose protected DACL gives full control to SYSTEM and to
// Administrators, inherited by all the folder holds, and nothing to anyone else: no ACE of the
// folder above reaches in.
// clang-format off
alignas(4) const unsigned char kPrivateFolderSecurity[] = {
    1, 0, 0x04, 0x90,                     // revision; DACL present, protected; self-relative
    0, 0, 0, 0, 0, 0, 0, 0,               // no owner, no group: the creator's defaults
    0, 0, 0, 0, 20, 0, 0, 0,              // no SACL; the DACL right after this header
    2, 0, 52, 0, 2, 0, 0, 0,              // ACL_REVISION, 52 bytes, two ACEs
    0, 3, 20, 0, 0xff, 0x01, 0x1f, 0x00,  // allowed, inherited by all within, FILE_ALL_ACCESS
    1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,  // S-1-5-18: SYSTEM
    0, 3, 24, 0, 0xff, 0x01, 0x1f, 0x00,  // allowed, inherited by all within, FILE_ALL_ACCESS
    1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0,  // S-1-5-32-544: Administrators
};
// clang-format on
// CreateFileW for writing, CREATE_NEW, sharing nothing. Nonzero on success.
int CreateNewFile(const WideUnit* path, PlatformHandle* file);
// WriteFile of all count bytes. Nonzero on success.
int WriteFileBytes(PlatformHandle file, const unsigned char* bytes, unsigned long count);
// DeleteFileW, or RemoveDirectoryW for a folder; where that fails (a process still holds it),
// MoveFileExW with MOVEFILE_DELAY_UNTIL_REBOOT, which removes it at the next restart.
void RemoveNowOrAtRestart(const WideUnit* path, int isFolder);
