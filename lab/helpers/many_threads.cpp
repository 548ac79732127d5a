// Stands in for the wrapper to check the runner's debugger with many threads: a first thread
// waits while the program makes more, at least as many as its argument says and until one of
// them has the first one's id modulo 64; then the first shows a box, and the program exits 1.

#include <windows.h>

#include <stdlib.h>

const int kMostThreads = 1000;
const SIZE_T kStackBytes = 64 * 1024;

static DWORD WINAPI WaitForEvent(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

static int collides;

static DWORD WINAPI ShowBox(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    MessageBoxW(nullptr,
                collides ? L"shown by the first of many threads"
                         : L"no thread had the first one's id modulo 64",
                L"many threads", MB_ICONERROR | MB_OK);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    int wanted = argc > 1 ? _wtoi(argv[1]) : 100;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE quit = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD firstId = 0;
    HANDLE first = CreateThread(nullptr, kStackBytes, ShowBox, go,
                                STACK_SIZE_PARAM_IS_A_RESERVATION, &firstId);
    if (go == nullptr || quit == nullptr || first == nullptr)
        return 2;
    for (int made = 1; made < kMostThreads && (made < wanted || !collides); ++made) {
        DWORD id = 0;
        HANDLE thread = CreateThread(nullptr, kStackBytes, WaitForEvent, quit,
                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
        if (thread == nullptr)
            break;
        CloseHandle(thread);
        collides = collides || id % 64 == firstId % 64;
    }
    SetEvent(go);
    WaitForSingleObject(first, INFINITE);
    SetEvent(quit);
    return 1;
}
