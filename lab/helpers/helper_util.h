#pragma once

// Shared by the Wine test helpers: exact text travels as hex of UTF-16 units, so blanks,
// tabs, quotes and long texts survive every hop between Python, Wine and the helpers.

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// Hex of the UTF-16LE bytes of text (four digits a unit, low byte first).
inline void PrintHexUnits(FILE* out, const wchar_t* text, size_t count) {
    for (size_t i = 0; i < count; ++i)
        fprintf(out, "%02x%02x", text[i] & 0xff, (text[i] >> 8) & 0xff);
}

inline int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Decodes hex into bytes; returns the byte count, or -1 on bad input or overflow.
inline long DecodeHex(const wchar_t* hex, size_t hexLength, unsigned char* bytes, size_t capacity) {
    if (hexLength % 2 != 0 || hexLength / 2 > capacity)
        return -1;
    for (size_t i = 0; i < hexLength / 2; ++i) {
        int high = HexDigit(hex[2 * i]);
        int low = HexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return -1;
        bytes[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return static_cast<long>(hexLength / 2);
}

// The helpers' large buffers live at file scope, zero-filled storage that the file does not
// carry: an inline function's own static would be written out whole into the program.
static wchar_t environmentValues[5][40000];
static wchar_t registryValuesCopy[40000];
static unsigned char registryData[70000];
static wchar_t registryName[16384];

// An environment variable, or null when unset. The returned storage is static per slot.
inline const wchar_t* ReadEnvironment(const wchar_t* name, int slot) {
    DWORD length = GetEnvironmentVariableW(name, environmentValues[slot], 40000);
    if (length == 0 || length >= 40000)
        return nullptr;
    return environmentValues[slot];
}

inline long long ReadPerformanceCounter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

inline long long CounterFrequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

static const wchar_t kEntryPath[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\VuqTouchscreen";

inline REGSAM ViewAccess(const wchar_t* view) {
    return wcscmp(view, L"32") == 0 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

// Deletes the uninstall entry in both views. 0 when it is gone from both. 32-bit XP has no
// RegDeleteKeyExW, and one view.
inline int ClearEntry() {
    typedef LONG(WINAPI * DeleteKeyFunction)(HKEY, const wchar_t*, REGSAM, DWORD);
    DeleteKeyFunction deleteKey = reinterpret_cast<DeleteKeyFunction>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    const REGSAM views[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};
    for (REGSAM view : views) {
        LONG status = deleteKey != nullptr ? deleteKey(HKEY_LOCAL_MACHINE, kEntryPath, view, 0)
                                           : RegDeleteKeyW(HKEY_LOCAL_MACHINE, kEntryPath);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            return 1;
    }
    return 0;
}

// Applies "view,name,type,hex;..." to the uninstall entry, creating it where needed.
// Returns 0 when every entry was written.
inline int ApplyRegistryValues(const wchar_t* values) {
    wchar_t* copy = registryValuesCopy;
    unsigned char* data = registryData;
    wcsncpy(copy, values, 39999);
    int failures = 0;
    wchar_t* rest = copy;
    while (rest != nullptr && *rest != 0) {
        wchar_t* item = rest;
        rest = wcschr(item, L';');
        if (rest != nullptr)
            *rest++ = 0;
        wchar_t* fields[4] = {item, nullptr, nullptr, nullptr};
        for (int f = 1; f < 4; ++f) {
            fields[f] = wcschr(fields[f - 1], L',');
            if (fields[f] == nullptr)
                return 1;
            *fields[f]++ = 0;
        }
        // Nonzero after the data: for a string that does not end in NUL, Windows adds the
        // terminator when the caller's buffer happens to have one right behind the data.
        memset(data, 0xFF, 20000);
        long size = DecodeHex(fields[3], wcslen(fields[3]), data, 20000 - 2);
        if (size < 0)
            return 1;
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, nullptr, 0,
                            KEY_SET_VALUE | ViewAccess(fields[0]), nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            ++failures;
            continue;
        }
        DWORD type = static_cast<DWORD>(wcstoul(fields[2], nullptr, 10));
        if (RegSetValueExW(key, fields[1], 0, type, data, static_cast<DWORD>(size)) !=
            ERROR_SUCCESS)
            ++failures;
        RegCloseKey(key);
    }
    return failures != 0;
}

// Prints the entry's values in one view, one line each after linePrefix: "name<TAB>type<TAB>hex"
// (name as hex of its units), or the line "missing".
inline int PrintEntry(FILE* out, const char* linePrefix, const wchar_t* view) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | ViewAccess(view),
                      &key) != ERROR_SUCCESS) {
        fprintf(out, "%smissing\n", linePrefix);
        return 0;
    }
    unsigned char* data = registryData;
    for (DWORD index = 0;; ++index) {
        wchar_t* name = registryName;
        DWORD nameLength = 16384;
        DWORD type = 0;
        DWORD size = sizeof(registryData);
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) !=
            ERROR_SUCCESS)
            break;
        fprintf(out, "%s", linePrefix);
        PrintHexUnits(out, name, nameLength);
        fprintf(out, "\t%lu\t", type);
        for (DWORD i = 0; i < size; ++i)
            fprintf(out, "%02x", data[i]);
        fprintf(out, "\n");
    }
    RegCloseKey(key);
    fflush(out);
    return 0;
}
