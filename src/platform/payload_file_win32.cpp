#include "platform/platform.h"

#include "platform/platform_win32_support.h"

#include <wincrypt.h>

static_assert(sizeof(HCRYPTPROV) == sizeof(PlatformHandle) &&
                  sizeof(HCRYPTHASH) == sizeof(PlatformHandle),
              "crypt handles fit the platform handle");

// A test build asks for a provider type no system has, to show what happens without SHA-256.
#ifndef VUQ_PROVIDER_TYPE
#define VUQ_PROVIDER_TYPE PROV_RSA_AES
#endif

static HCRYPTPROV AsProvider(PlatformHandle handle) {
    return reinterpret_cast<HCRYPTPROV>(handle);
}

static HCRYPTHASH AsHash(PlatformHandle handle) {
    return reinterpret_cast<HCRYPTHASH>(handle);
}

FileOpenResult OpenFileSharedRead(const WideUnit* path, PlatformHandle* file) {
    HANDLE opened =
        CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                    OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened != INVALID_HANDLE_VALUE) {
        *file = opened;
        return kFileOpened;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return kFileMissing;
    if (error == ERROR_SHARING_VIOLATION)
        return kFileInUse;
    return kFileUnreadable;
}

int ReadFileBytes(PlatformHandle file, unsigned char* buffer, unsigned long capacity,
                  unsigned long* count) {
    DWORD done = 0;
    BOOL worked = ReadFile(file, buffer, capacity, &done, nullptr);
    *count = done;
    return worked != FALSE;
}

static constexpr int StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return *prefix == 0 || (*text == *prefix && StartsWith(text + 1, prefix + 1));
}
static_assert(StartsWith(MS_ENH_RSA_AES_PROV_XP_W, MS_ENH_RSA_AES_PROV_W),
              "XP SP3's name of the provider is the later name and more");
const DWORD kProviderNameLength = ARRAYSIZE(MS_ENH_RSA_AES_PROV_W) - 1;

// CryptoAPI is looked up in advapi32 at run time, once PreloadSystemLibraries(kCryptoLibraries)
// has run: imported, its forwarders to cryptsp (7 on) would be resolved by the loader before the
// wrapper's first instruction, by bare name, from the wrapper's folder first.
static const char kCryptoFunctions[] = "CryptAcquireContextW\0CryptCreateHash\0CryptHashData\0"
                                       "CryptGetHashParam\0CryptDestroyHash\0CryptReleaseContext\0"
                                       "CryptGenRandom\0";
enum CryptoFunction {
    kAcquireContext,
    kCreateHash,
    kHashData,
    kGetHashParam,
    kDestroyHash,
    kReleaseContext,
    kGenRandom,
    kCryptoFunctionCount
};
static AnyFunction crypto[kCryptoFunctionCount];

typedef BOOL(WINAPI* AcquireContextFunction)(HCRYPTPROV*, LPCWSTR, LPCWSTR, DWORD, DWORD);
typedef BOOL(WINAPI* CreateHashFunction)(HCRYPTPROV, ALG_ID, HCRYPTKEY, DWORD, HCRYPTHASH*);
typedef BOOL(WINAPI* HashDataFunction)(HCRYPTHASH, const BYTE*, DWORD, DWORD);
typedef BOOL(WINAPI* GetHashParamFunction)(HCRYPTHASH, DWORD, BYTE*, DWORD*, DWORD);
typedef BOOL(WINAPI* DestroyHashFunction)(HCRYPTHASH);
typedef BOOL(WINAPI* ReleaseContextFunction)(HCRYPTPROV, DWORD);
typedef BOOL(WINAPI* GenRandomFunction)(HCRYPTPROV, DWORD, BYTE*);

static int AcquireProvider(const wchar_t* name, HCRYPTPROV* provider) {
    return reinterpret_cast<AcquireContextFunction>(crypto[kAcquireContext])(
               provider, nullptr, name, VUQ_PROVIDER_TYPE, CRYPT_VERIFYCONTEXT) != FALSE;
}

static void ReleaseProvider(HCRYPTPROV provider) {
    reinterpret_cast<ReleaseContextFunction>(crypto[kReleaseContext])(provider, 0);
}

// The provider is named, never left to the user's own default for the type, which any user can
// set in HKCU. Its name from Vista on is the start of the name XP SP3 gives it.
int BeginSha256(Sha256Hash* hash) {
    if (!FindSystemFunctions("advapi32.dll", kCryptoFunctions, crypto))
        return 0;
    HCRYPTPROV provider = 0;
    wchar_t name[kProviderNameLength + 1];
    for (DWORD i = 0; i < kProviderNameLength; ++i)
        name[i] = MS_ENH_RSA_AES_PROV_XP_W[i];
    name[kProviderNameLength] = 0;
    if (!AcquireProvider(name, &provider) && !AcquireProvider(MS_ENH_RSA_AES_PROV_XP_W, &provider))
        return 0;
    HCRYPTHASH created = 0;
    if (reinterpret_cast<CreateHashFunction>(crypto[kCreateHash])(provider, CALG_SHA_256, 0, 0,
                                                                  &created) == FALSE) {
        ReleaseProvider(provider);
        return 0;
    }
    hash->provider = reinterpret_cast<PlatformHandle>(provider);
    hash->hash = reinterpret_cast<PlatformHandle>(created);
    return 1;
}

int HashBytes(Sha256Hash* hash, const unsigned char* bytes, unsigned long count) {
    return reinterpret_cast<HashDataFunction>(crypto[kHashData])(AsHash(hash->hash), bytes, count,
                                                                 0) != FALSE;
}

int FinishSha256(Sha256Hash* hash, unsigned char* digest) {
    DWORD size = kSha256Size;
    return reinterpret_cast<GetHashParamFunction>(crypto[kGetHashParam])(
               AsHash(hash->hash), HP_HASHVAL, digest, &size, 0) != FALSE &&
           size == kSha256Size;
}

void ReleaseSha256(Sha256Hash* hash) {
    reinterpret_cast<DestroyHashFunction>(crypto[kDestroyHash])(AsHash(hash->hash));
    ReleaseProvider(AsProvider(hash->provider));
}

int GenerateRandomBytes(Sha256Hash* hash, unsigned char* bytes, unsigned long count) {
    return reinterpret_cast<GenRandomFunction>(crypto[kGenRandom])(AsProvider(hash->provider),
                                                                   count, bytes) != FALSE;
}

unsigned long ReadWindowsFolder(WideUnit* path, unsigned long capacity) {
    UINT length = GetSystemWindowsDirectoryW(reinterpret_cast<wchar_t*>(path), MAX_PATH);
    return length != 0 && length < MAX_PATH && length < capacity ? length : 0;
}

// Constant, so that it lies among the read-only data rather than in a section of its own.
static const SECURITY_ATTRIBUTES kPrivateFolderAttributes = {
    sizeof(SECURITY_ATTRIBUTES), const_cast<unsigned char*>(kPrivateFolderSecurity), FALSE};

FolderCreateResult CreatePrivateFolder(const WideUnit* path) {
    if (CreateDirectoryW(reinterpret_cast<const wchar_t*>(path),
                         const_cast<SECURITY_ATTRIBUTES*>(&kPrivateFolderAttributes)) != FALSE)
        return kFolderCreated;
    return GetLastError() == ERROR_ALREADY_EXISTS ? kFolderTaken : kFolderFailed;
}

int CreateNewFile(const WideUnit* path, PlatformHandle* file) {
    HANDLE created = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    *file = created;
    return created != INVALID_HANDLE_VALUE;
}

int WriteFileBytes(PlatformHandle file, const unsigned char* bytes, unsigned long count) {
    DWORD done = 0;
    return WriteFile(file, bytes, count, &done, nullptr) != FALSE && done == count;
}

void RemoveNowOrAtRestart(const WideUnit* path, int isFolder) {
    const wchar_t* name = reinterpret_cast<const wchar_t*>(path);
    if ((isFolder ? RemoveDirectoryW(name) : DeleteFileW(name)) == FALSE)
        MoveFileExW(name, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}
