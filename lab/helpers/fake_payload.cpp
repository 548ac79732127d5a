// Stands in for the payload setup program: records how it was started, then, like a real
// setup, writes its uninstall entry at the end of its run.
//   VUQ_PAYLOAD_LOG      file to append the record to
//   VUQ_PAYLOAD_SLEEP_MS how long to "install" before writing the entry
//   VUQ_PAYLOAD_REG      values to write, as "view,name,type,hex;..."
//   VUQ_PAYLOAD_EXIT     exit code
//   VUQ_PAYLOAD_CRASH    when set, dies of an access violation at the end instead

#include "helper_util.h"

#ifndef VUQ_PAYLOAD_BUILD
#define VUQ_PAYLOAD_BUILD "32"
#endif

static void WriteStartRecord(FILE* log, long long stamp) {
    wchar_t module[2048];
    DWORD moduleLength = GetModuleFileNameW(nullptr, module, 2048);
    wchar_t directory[2048];
    DWORD directoryLength = GetCurrentDirectoryW(2048, directory);
    const wchar_t* commandLine = GetCommandLineW();
    fprintf(log, "start qpc=%lld pid=%lu build=%s module=", stamp, GetCurrentProcessId(),
            VUQ_PAYLOAD_BUILD);
    PrintHexUnits(log, module, moduleLength);
    fprintf(log, " cwd=");
    PrintHexUnits(log, directory, directoryLength);
    fprintf(log, " cmdline=");
    PrintHexUnits(log, commandLine, wcslen(commandLine));
    // What a crash would show: the error mode the wrapper passed on.
    fprintf(log, " errormode=%x\n", GetErrorMode());
    fflush(log);
}

int wmain() {
    long long started = ReadPerformanceCounter();
    const wchar_t* logPath = ReadEnvironment(L"VUQ_PAYLOAD_LOG", 0);
    FILE* log = logPath != nullptr ? _wfopen(logPath, L"a") : nullptr;
    if (log != nullptr)
        WriteStartRecord(log, started);

    const wchar_t* sleep = ReadEnvironment(L"VUQ_PAYLOAD_SLEEP_MS", 1);
    if (sleep != nullptr)
        Sleep(static_cast<DWORD>(wcstoul(sleep, nullptr, 10)));
    const wchar_t* values = ReadEnvironment(L"VUQ_PAYLOAD_REG", 2);
    int registryFailed = values != nullptr ? ApplyRegistryValues(values) : 0;

    const wchar_t* exitText = ReadEnvironment(L"VUQ_PAYLOAD_EXIT", 3);
    int exitCode = exitText != nullptr ? static_cast<int>(wcstol(exitText, nullptr, 10)) : 0;
    if (log != nullptr) {
        fprintf(log, "end qpc=%lld registry=%s\n", ReadPerformanceCounter(),
                registryFailed ? "failed" : "ok");
        fclose(log);
    }
    if (GetEnvironmentVariableW(L"VUQ_PAYLOAD_CRASH", nullptr, 0) != 0)
        *static_cast<volatile int*>(nullptr) = 1;
    return exitCode;
}
