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
// splitter is shell32's, which brings user32 and gdi32 in on every run, and they load imm32
// (user32, while it starts), lpk (user32 on XP) and usp10 (lpk's and gdi32's script processor)
// by bare name; and what a box loads by bare name: uxtheme for the themed box, dwmapi (uxtheme's,
// Vista and 7).
const char kStartUpLibraries[] = "imm32.dll\0lpk.dll\0usp10.dll\0uxtheme.dll\0dwmapi.dll\0";
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

// The payload check of a pinned build: its own Win32 file, linked only into pinned builds, so
// that the plain build imports and weighs what it did.
enum FileOpenResult { kFileOpened, kFileMissing, kFileInUse, kFileUnreadable };
const unsigned long kSha256Size = 32;

struct Sha256Hash {
    PlatformHandle provider;
    PlatformHandle hash;
};

// CreateFileW for reading, sharing read only, so that nobody can write, delete or rename the
// file while the handle is held. kFileInUse: another handle already writes to it.
FileOpenResult OpenFileSharedRead(const WideUnit* path, PlatformHandle* file);
// GetFinalPathNameByHandleW (VOLUME_NAME_DOS), looked up at run time: the length of the path
// written to path; 0 on failure; capacity or more when it does not fit; -1 where the system
// lacks the function (XP).
long ReadFinalPath(PlatformHandle file, WideUnit* path, unsigned long capacity);
// CreateFileW of path for its attributes alone, then GetFileInformationByHandle of that handle
// and of file: nonzero when path opens and names file itself (the same volume serial number and
// file index); 0 otherwise.
int IsSameFile(PlatformHandle file, const WideUnit* path);
// GetFileSizeEx. Nonzero on success.
int QueryFileSize(PlatformHandle file, unsigned long long* size);
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
