// What a run did, as the cases file writes it (its record), and the one comparison of that record
// with the case's expected one; then the named checks for what is not equality: time bounds, and
// lists of DLLs.

#include "runner.h"

#include <stdarg.h>

// Appends a word as the cases file writes it, barred where it must be, and a blank after it;
// 0 when the record is full.
static int PutWord(wchar_t* record, size_t* used, const wchar_t* word, size_t length) {
    static wchar_t quoted[kTextCapacity * 2];
    int plain = length > 0 && length <= 64;
    for (size_t i = 0; i < length && plain; ++i)
        plain = word[i] > L' ' && wcschr(L"|{}", word[i]) == nullptr;
    if (plain)
        _snwprintf(quoted, kTextCapacity * 2, L"%.*ls", static_cast<int>(length), word);
    else
        QuoteText(word, length, quoted, kTextCapacity * 2);
    size_t size = wcslen(quoted);
    if (*used + size + 2 >= kRecordCapacity)
        return 0;
    wcscpy(record + *used, quoted);
    *used += size;
    record[(*used)++] = L' ';
    record[*used] = 0;
    return 1;
}

static void PutRunWord(RunResult* run, const wchar_t* word, size_t length) {
    run->recordFull = run->recordFull || !PutWord(run->record, &run->recordLength, word, length);
}

static void EndLine(wchar_t* record, size_t used) {
    if (used > 0)
        record[used - 1] = L'\n';
}

void AddLine(RunResult* run, int count, ...) {
    va_list words;
    va_start(words, count);
    for (int i = 0; i < count; ++i) {
        const wchar_t* word = va_arg(words, const wchar_t*);
        PutRunWord(run, word, wcslen(word));
    }
    va_end(words);
    EndLine(run->record, run->recordLength);
}

// A value's data as the cases file writes it: its type, then each stretch of text, "nul" for each
// NUL unit, and "hex:XX" for an odd last byte.
static void AddValueLine(RunResult* run, const wchar_t* name, DWORD type, const unsigned char* data,
                         size_t size) {
    static wchar_t units[kFileCapacity / 2];
    wchar_t kind[16];
    _snwprintf(kind, 16, L"%lu", type);
    PutRunWord(run, L"value", 5);
    PutRunWord(run, name, wcslen(name));
    const wchar_t* typeName = type == REG_SZ ? L"sz" : type == REG_EXPAND_SZ ? L"expand-sz" : kind;
    PutRunWord(run, typeName, wcslen(typeName));
    memcpy(units, data, size & ~static_cast<size_t>(1));
    for (size_t i = 0, stretch = 0; i < size / 2; i += stretch > 0 ? stretch : 1) {
        for (stretch = 0; i + stretch < size / 2 && units[i + stretch] != 0;)
            ++stretch;
        PutRunWord(run, stretch > 0 ? units + i : L"nul", stretch > 0 ? stretch : 3);
    }
    if (size % 2 != 0) {
        _snwprintf(kind, 16, L"hex:%02x", data[size - 1]);
        PutRunWord(run, kind, wcslen(kind));
    }
    EndLine(run->record, run->recordLength);
}

static int CompareNames(const void* first, const void* second) {
    return _wcsicmp(static_cast<const wchar_t*>(first), static_cast<const wchar_t*>(second));
}

// The uninstall entry in each view: "entry VIEW" where it exists, then its values by name (the
// order of a key's values is each system's own).
static void AddEntryLines(const Setting* setting, RunResult* run) {
    static unsigned char data[70000];
    static wchar_t names[32][256];
    const wchar_t* views[2] = {L"64", L"32"};
    for (int v = 0; v < (setting->is64 ? 2 : 1); ++v) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | ViewAccess(views[v]),
                          &key) != ERROR_SUCCESS)
            continue;
        AddLine(run, 2, L"entry", views[v]);
        int count = 0;
        for (DWORD length = 256;
             count < 32 && RegEnumValueW(key, static_cast<DWORD>(count), names[count], &length,
                                         nullptr, nullptr, nullptr, nullptr) == 0;
             length = 256)
            ++count;
        qsort(names, static_cast<size_t>(count), sizeof(names[0]), CompareNames);
        for (int i = 0; i < count; ++i) {
            DWORD type = 0, size = sizeof(data);
            if (RegQueryValueExW(key, names[i], nullptr, &type, data, &size) == ERROR_SUCCESS)
                AddValueLine(run, names[i], type, data, size);
        }
        RegCloseKey(key);
    }
}

// The file's text, from UTF-16 or, narrow, from the ANSI code page.
static wchar_t* ReadText(const wchar_t* path, int narrow) {
    static wchar_t text[kFileCapacity / 2 + 1];
    long size = ReadWholeFile(path, fileBuffer);
    size_t units = size <= 0 ? 0
                   : narrow  ? static_cast<size_t>(MultiByteToWideChar(
                                  CP_ACP, 0, reinterpret_cast<char*>(fileBuffer), size, text,
                                  static_cast<int>(kFileCapacity / 2)))
                             : static_cast<size_t>(size) / 2;
    if (!narrow)
        memcpy(text, fileBuffer, units * 2);
    text[units] = 0;
    return text;
}

// The text of a field KEY=HEX of a stand-in payload's line, HEX its UTF-16 units.
static const wchar_t* ReadHexField(const wchar_t* line, const wchar_t* key, wchar_t* out,
                                   size_t capacity) {
    const wchar_t* at = wcsstr(line, key);
    at = at != nullptr ? at + wcslen(key) : L"";
    long size = DecodeHex(at, wcscspn(at, L" "), reinterpret_cast<unsigned char*>(out),
                          2 * (capacity - 1));
    out[size > 0 ? size / 2 : 0] = 0;
    return out;
}

// The stand-in payload's own record of each start, and of its end.
static void AddPayloadLines(const Setting* setting, RunResult* run) {
    static wchar_t module[kPathCapacity], directory[kPathCapacity], commandLine[kTextCapacity];
    wchar_t build[8];
    for (wchar_t *line = ReadText(setting->payloadLog, 1), *end; *line != 0; line = end + 1) {
        end = line + wcscspn(line, L"\n");
        *end = 0;
        const wchar_t* mode = wcsstr(line, L"errormode=");
        if (wcsncmp(line, L"end ", 4) == 0 && run->payloadCount > 0)
            run->payloadEndQpc = _wcstoi64(line + wcscspn(line, L"=") + 1, nullptr, 10);
        if (wcsncmp(line, L"start ", 6) != 0)
            continue;
        if (run->payloadCount++ == 0)
            run->payloadErrorMode = mode != nullptr ? wcstoul(mode + 10, nullptr, 16) : ~0u;
        ReadHexField(line, L"module=", module, kPathCapacity);
        MaskCopyFolder(setting, module);
        size_t length = wcslen(ReadHexField(line, L"cwd=", directory, kPathCapacity));
        if (length > 3 && directory[length - 1] == L'\\')
            directory[length - 1] = 0;
        swscanf(wcsstr(line, L"build=") + 6, L"%7ls", build);
        AddLine(run, 5, L"payload", module,
                ReadHexField(line, L"cmdline=", commandLine, kTextCapacity), directory, build);
    }
}

// What the lab's NSIS installer appended: per start its event, command line and parameters.
static void AddInstallerLines(const Setting* setting, RunResult* run) {
    const wchar_t* fields[3];
    int field = 0;
    for (wchar_t *line = ReadText(setting->installerRecord, 0), *end;
         (end = wcschr(line, L'\n')) != nullptr; line = end + 1) {
        *end = 0;
        const wchar_t* prefix = field == 1 ? L"cmdline=" : L"parameters=";
        size_t skip = field > 0 && wcsncmp(line, prefix, wcslen(prefix)) == 0 ? wcslen(prefix) : 0;
        fields[field++] = line + skip;
        if (field == 3)
            AddLine(run, 4, L"installer", fields[0], fields[1], fields[2]);
        field %= 3;
    }
}

void MakeRecord(const CaseState* state, RunResult* run) {
    wchar_t number[16];
    AddPayloadLines(state->setting, run);
    AddInstallerLines(state->setting, run);
    AddEntryLines(state->setting, run);
    _snwprintf(number, 16, L"%lu", run->exitCode);
    AddLine(run, 2, L"exit", number);
}

// --- The comparison --------------------------------------------------------------------------

static int HasLine(const wchar_t* text, const wchar_t* line, size_t length) {
    for (; *text != 0; text += wcscspn(text, L"\n") + 1)
        if (wcsncmp(text, line, length) == 0 && text[length] == L'\n')
            return 1;
    return 0;
}

// The lines of one record that the other lacks (other null: all), each after mark; their count.
static int AddMissingLines(const wchar_t* from, const wchar_t* other, wchar_t mark, wchar_t* diff,
                           size_t capacity) {
    int count = 0;
    for (; *from != 0; from += wcscspn(from, L"\n") + 1) {
        size_t length = wcscspn(from, L"\n"), used = wcslen(diff);
        if (other != nullptr && HasLine(other, from, length))
            continue;
        _snwprintf(diff + used, capacity - used, L"\n      %lc %.*ls", mark,
                   static_cast<int>(length), from);
        diff[capacity - 1] = 0;
        ++count;
    }
    return count;
}

// The item lines below the current one, their words filled in, as a record, against the run's.
static void ExpectRecord(CaseState* state, RunResult* run) {
    static wchar_t want[kRecordCapacity], word[kTextCapacity], diff[kFailuresCapacity / 2];
    size_t used = 0;
    want[0] = diff[0] = 0;
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i) {
        Word words[kWordCapacity];
        int count = SplitWords(state->data->lines[i].text, words, kWordCapacity);
        for (int k = 0; k < count; ++k) {
            if (!ExpandWord(state, words[k], word, kTextCapacity) ||
                !PutWord(want, &used, word, wcslen(word))) {
                AddFailure(state, L"line %d: cannot fill in %.*ls", state->data->lines[i].number,
                           static_cast<int>(words[k].length), words[k].start);
                return;
            }
        }
        EndLine(want, used);
    }
    if (run->recordFull)
        AddFailure(state, L"the run's record is longer than the runner keeps");
    if (wcscmp(want, run->record) == 0)
        return;
    if (AddMissingLines(want, run->record, L'-', diff, kFailuresCapacity / 2) +
            AddMissingLines(run->record, want, L'+', diff, kFailuresCapacity / 2) ==
        0)
        AddMissingLines(run->record, nullptr, L' ', diff, kFailuresCapacity / 2);
    AddFailure(state, L"the run's record differs (-: expected alone, +: the run's alone; else the "
                      L"run's, as expected but for order or number):%ls",
               diff);
}

// --- The named checks ------------------------------------------------------------------------

// Bounds of the run's events, and tests of the DLLs loaded between them.
enum { kStart, kNarrowing, kFirstAsk, kEnd };
enum { kNoDlls, kUnder, kOutside, kNamed, kIs, kPreloaded };

// Each kind of expectation, how many words follow it; for the checks of DLL loads, between which
// events, what a load must be to match, and whether one must match (else none may).
static const ExpectForm kExpectations[] = {
    {L"record", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"took-at-least", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"took-under", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"cpu-under", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"payload-ended-first", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"payload-without-error-box", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"same-file", 2, 2, 0, 0, kNoDlls, 0, nullptr},
    {L"length", 2, 2, 0, 0, kNoDlls, 0, nullptr},
    {L"preloaded-before", 2, 8, kStart, kEnd, kPreloaded, 0, nullptr},
    {L"first-asked", 1, 8, kStart, kFirstAsk, kNamed, 0,
     L"DLLs loaded before the wrapper's first LoadLibraryExW"},
    {L"loads-before-narrowing-only-from", 1, 1, kStart, kNarrowing, kOutside, 0,
     L"DLLs from outside the system folder before the search was narrowed"},
    {L"not-loaded-before-narrowing", 1, 8, kStart, kNarrowing, kNamed, 0,
     L"DLLs loaded before the search was narrowed"},
    {L"loaded-after-narrowing", 1, 1, kNarrowing, kEnd, kIs, 1,
     L"not loaded after the search was narrowed"},
    {L"not-loaded", 1, 8, kStart, kEnd, kNamed, 0, L"DLLs loaded"},
    {L"loaded", 1, 1, kStart, kEnd, kIs, 1, L"never loaded"},
    {L"loads-only-from", 1, 1, kStart, kEnd, kOutside, 0, L"DLLs from outside that folder"},
    {L"none-loaded-from", 1, 1, kStart, kEnd, kUnder, 0, L"DLLs loaded from that folder"},
};

const ExpectForm* FindExpectation(const Word& word) {
    for (const ExpectForm& form : kExpectations)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}

static int EventAt(const RunResult* run, int bound) {
    for (int i = 0; i < run->eventCount; ++i)
        if ((bound == kNarrowing && run->events[i].kind == kNarrowed) ||
            (bound == kFirstAsk && run->events[i].kind == kLibraryAsked))
            return i;
    return bound == kStart ? 0 : bound == kEnd ? run->eventCount : -1;
}

static int NameIn(const wchar_t* path, CaseState* state, const Word* words, int from, int count) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    wchar_t word[kPathCapacity];
    for (int i = from; i < count; ++i)
        if (ExpandWord(state, words[i], word, kPathCapacity) &&
            _wcsicmp(slash != nullptr ? slash + 1 : path, word) == 0)
            return 1;
    return 0;
}

// Each DLL named was asked for by the wrapper's own code, by its full path in the system folder,
// before its first LoadLibraryExW of path, and, where the system has it, loaded then too.
static void ExpectPreloaded(CaseState* state, const RunResult* run, const wchar_t* path,
                            const Word* words, int count) {
    int until = run->eventCount;
    for (int i = run->eventCount - 1; i >= 0; --i)
        if (run->events[i].kind == kLibraryAsked && _wcsicmp(run->events[i].path, path) == 0)
            until = i;
    for (int i = 3; i < count; ++i) {
        wchar_t name[64], wanted[kPathCapacity];
        if (!Expand(state, words, i, name, 64))
            return;
        _snwprintf(wanted, kPathCapacity, L"%ls\\%ls", state->setting->system, name);
        int asked = 0, loaded = 0;
        for (int e = 0; e < until; ++e) {
            int same = _wcsicmp(run->events[e].path, wanted) == 0;
            asked = asked || (same && run->events[e].kind == kLibraryAsked);
            loaded = loaded || (same && run->events[e].kind == kLoaded);
        }
        if (!asked || (GetFileAttributesW(wanted) != INVALID_FILE_ATTRIBUTES && !loaded))
            AddFailure(state, L"%ls was not %ls before the wrapper asked for %ls", wanted,
                       asked ? L"loaded" : L"asked for by its full path", path);
    }
}

// The loads between the form's events that match its test: one at least, or none.
static void ExpectDlls(CaseState* state, const RunResult* run, const ExpectForm& form,
                       const Word* words, int count) {
    static wchar_t path[kPathCapacity], found[kTextCapacity];
    int from = EventAt(run, form.from), to = EventAt(run, form.to), matched = 0;
    if (from < 0 || to < 0) {
        AddFailure(state, L"%ls was never called",
                   form.to == kFirstAsk ? L"LoadLibraryExW" : L"SetDefaultDllDirectories");
        return;
    }
    if (!Expand(state, words, 2, path, kPathCapacity))
        return;
    if (form.test == kPreloaded) {
        ExpectPreloaded(state, run, path, words, count);
        return;
    }
    if (form.to == kFirstAsk && wcscmp(run->events[to].path, path) != 0)
        AddFailure(state, L"first library the wrapper asked for: got %ls, want %ls",
                   run->events[to].path, path);
    found[0] = 0;
    for (int i = from; i < to; ++i) {
        const wchar_t* loaded = run->events[i].path;
        int matches = run->events[i].kind == kLoaded &&
                      (form.test == kIs ? _wcsicmp(loaded, path) == 0
                       : form.test == kNamed
                           ? NameIn(loaded, state, words, form.to == kFirstAsk ? 3 : 2, count)
                           : IsUnder(loaded, path) == (form.test == kUnder));
        matched += matches;
        size_t used = wcslen(found);
        if (matches && !form.must)
            _snwprintf(found + used, kTextCapacity - used, L" %ls", loaded);
        found[kTextCapacity - 1] = 0;
    }
    if (form.must && matched == 0)
        AddFailure(state, L"%ls %ls", path, form.what);
    else if (found[0] != 0)
        AddFailure(state, L"%ls:%ls", form.what, found);
}

static void ExpectSameFile(CaseState* state, const Word* words) {
    static unsigned char other[kFileCapacity];
    wchar_t first[kPathCapacity], second[kPathCapacity];
    if (!ExpandWorkPath(state, words, 2, first) || !ExpandWorkPath(state, words, 3, second))
        return;
    long size = ReadWholeFile(first, fileBuffer);
    if (size < 0 || size != ReadWholeFile(second, other) ||
        memcmp(fileBuffer, other, static_cast<size_t>(size)) != 0)
        AddFailure(state, L"%ls is no longer the same as %ls", first, second);
}

void DoExpect(CaseState* state, const Word* words, int count) {
    RunResult* run = state->run;
    const ExpectForm* form = FindExpectation(words[1]);
    static wchar_t text[kTextCapacity];
    if (WordIs(words[1], L"length")) {
        if (Expand(state, words, 2, text, kTextCapacity) &&
            wcslen(text) != wcstoul(words[3].start, nullptr, 10))
            AddFailure(state, L"length: got %lu", static_cast<unsigned long>(wcslen(text)));
        return;
    }
    if (WordIs(words[1], L"same-file")) {
        ExpectSameFile(state, words);
        return;
    }
    if (run == nullptr) {
        AddFailure(state, L"expect before any run");
        return;
    }
    double bound = count > 2 ? static_cast<double>(wcstoul(words[2].start, nullptr, 10)) : 0;
    double took = static_cast<double>(run->endQpc - run->startQpc) * 1000.0 /
                  static_cast<double>(run->frequency);
    if (form->test != kNoDlls && run->traced[0] == 0)
        AddFailure(state, L"the run was not traced: give it trace=");
    else if (form->test != kNoDlls)
        ExpectDlls(state, run, *form, words, count);
    else if (WordIs(words[1], L"record"))
        ExpectRecord(state, run);
    else if (run->payloadCount == 0 && wcsncmp(words[1].start, L"payload-", 8) == 0)
        AddFailure(state, L"no payload was started");
    else if (WordIs(words[1], L"payload-ended-first") &&
             (run->payloadEndQpc == 0 || run->payloadEndQpc >= run->endQpc))
        AddFailure(state, L"the payload had not ended when the wrapper did");
    else if (WordIs(words[1], L"payload-without-error-box") &&
             (run->payloadErrorMode == ~0u || !(run->payloadErrorMode & SEM_NOGPFAULTERRORBOX)))
        AddFailure(state, L"the payload ran with error mode %lx, which lets a crash show a box",
                   run->payloadErrorMode);
    else if ((WordIs(words[1], L"took-at-least") && took < bound) ||
             (WordIs(words[1], L"took-under") && took >= bound))
        AddFailure(state, L"the wrapper took %.0f ms", took);
    else if (WordIs(words[1], L"cpu-under") &&
             (run->cpuMilliseconds < 0 || run->cpuMilliseconds >= bound))
        AddFailure(state, L"the wrapper used %.0f ms of CPU", run->cpuMilliseconds);
}
