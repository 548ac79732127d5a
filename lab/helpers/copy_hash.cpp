// The floor of a pinned build's own work, for make bench: CopyFileW of its payload, then the
// payload's SHA-256 through the CryptoAPI provider the wrapper uses. Prints the milliseconds the
// two took, from within, so that no process start is counted.
//   copy_hash SOURCE TARGET

#include <stdio.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincrypt.h>

static unsigned char chunk[64 * 1024];

static int HashFile(const wchar_t* path) {
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT) &&
        !CryptAcquireContextW(&provider, nullptr, MS_ENH_RSA_AES_PROV_XP_W, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT))
        return 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    int done = file != INVALID_HANDLE_VALUE && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash);
    DWORD count = 0;
    while (done && (done = ReadFile(file, chunk, sizeof(chunk), &count, nullptr)) && count > 0)
        done = CryptHashData(hash, chunk, count, 0);
    BYTE digest[32];
    DWORD size = sizeof(digest);
    done = done && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    if (hash != 0)
        CryptDestroyHash(hash);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CryptReleaseContext(provider, 0);
    return done;
}

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: copy_hash SOURCE TARGET\n");
        return 2;
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int done = CopyFileW(argv[1], argv[2], TRUE) && HashFile(argv[1]);
    QueryPerformanceCounter(&end);
    DeleteFileW(argv[2]);
    if (!done) {
        fprintf(stderr, "copy_hash: failed (error %lu)\n", GetLastError());
        return 1;
    }
    printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) * 1000.0 /
                         static_cast<double>(frequency.QuadPart));
    return 0;
}
