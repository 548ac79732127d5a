// A run's record in the cases file's words, its one comparison, and the named checks.

#include "runner.h"

#include <stdarg.h>

// Appends a word as the cases file writes it, barred where it must be, and a blank after it.
static void PutWord(RunResult* run, const wchar_t* word) {
    static wchar_t quoted[kTextCapacity * 2];
    size_t length = wcslen(word), used = run->recordLength;
    int plain = length > 0 && length <= 64;
    for (size_t i = 0; i < length && plain; ++i)
        plain = word[i] > L' ' && wcschr(L"|{}", word[i]) == nullptr;
    if (!plain)
        QuoteText(word, length, quoted, kTextCapacity * 2);
    int size =
        _snwprintf(run->record + used, kRecordCapacity - used - 1, L"%ls ", plain ? word : quoted);
    run->recordFull = run->recordFull || size < 0;
    run->recordLength += size > 0 ? static_cast<size_t>(size) : 0;
    run->record[run->recordLength] = 0;
}

void AddLine(RunResult* run, int count, ...) {
    va_list words;
    va_start(words, count);
    for (int i = 0; i < count; ++i)
        PutWord(run, va_arg(words, const wchar_t*));
    va_end(words);
    if (run->recordLength > 0)
        run->record[run->recordLength - 1] = L'\n';
}

// Name, type, each stretch of text, "nul" for each NUL unit, "hex:XX" for an odd last byte.
static void AddValueLine(RunResult* run, HKEY key, const wchar_t* name) {
    static wchar_t data[35000];
    wchar_t number[16], odd[16];
    DWORD type = 0, size = sizeof(data) - 2;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) !=
        ERROR_SUCCESS)
        return;
    _snwprintf(number, 16, L"%lu", type);
    _snwprintf(odd, 16, L"hex:%02x", data[size / 2] & 0xff);
    data[size / 2] = 0;
    PutWord(run, L"value");
    PutWord(run, name);
    PutWord(run, type == REG_SZ ? L"sz" : type == REG_EXPAND_SZ ? L"expand-sz" : number);
    for (DWORD i = 0; i < size / 2; i += data[i] != 0 ? wcslen(data + i) : 1)
        PutWord(run, data[i] != 0 ? data + i : L"nul");
    if (size % 2 != 0)
        PutWord(run, odd);
    AddLine(run, 0);
}

static int CompareNames(const void* first, const void* second) {
    return _wcsicmp(static_cast<const wchar_t*>(first), static_cast<const wchar_t*>(second));
}

// The entry in a view, if any, values by name (each system orders a key's values its own way).
static void AddEntryLines(RunResult* run, const wchar_t* view) {
    static wchar_t names[32][256];
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | ViewAccess(view),
                      &key) != ERROR_SUCCESS)
        return;
    AddLine(run, 2, L"entry", view);
    DWORD count = 0;
    for (DWORD length = 256; count < 32 && RegEnumValueW(key, count, names[count], &length, nullptr,
                                                         nullptr, nullptr, nullptr) == 0;
         length = 256)
        ++count;
    qsort(names, count, sizeof(names[0]), CompareNames);
    for (DWORD i = 0; i < count; ++i)
        AddValueLine(run, key, names[i]);
    RegCloseKey(key);
}

// The lines of a lab program's record: UTF-16 text, or (narrow) ASCII.
static int ReadLines(const wchar_t* path, int narrow, wchar_t** lines, int capacity) {
    static wchar_t text[kFileCapacity / 2 + 1];
    long size = ReadWholeFile(path, fileBuffer);
    size_t units = 0;
    for (long i = 0; i + (narrow ? 0 : 1) < size && units < kFileCapacity / 2; i += narrow ? 1 : 2)
        text[units++] = narrow ? fileBuffer[i] : fileBuffer[i] | fileBuffer[i + 1] << 8;
    text[units] = 0;
    int count = 0;
    for (wchar_t *line = text, *end; count < capacity && (end = wcschr(line, L'\n')) != nullptr;
         line = end + 1) {
        *end = 0;
        lines[count++] = line;
    }
    return count;
}

static const wchar_t* FieldOf(const wchar_t* line, const wchar_t* key) {
    const wchar_t* at = wcsstr(line, key);
    return at != nullptr ? at + wcslen(key) : L"";
}

// The stand-in payload's record: its starts (module, command line, directory in hex) and end.
static void AddPayloadLines(const Setting* setting, RunResult* run) {
    static const wchar_t* const keys[3] = {L"module=", L"cmdline=", L"cwd="};
    static wchar_t fields[3][kTextCapacity];
    wchar_t* lines[kEventCapacity];
    wchar_t build[8] = L"";
    int count = ReadLines(setting->payloadLog, 1, lines, kEventCapacity);
    for (int i = 0; i < count; ++i) {
        if (wcsncmp(lines[i], L"end ", 4) == 0 && run->payloadCount > 0)
            run->payloadEndQpc = _wcstoi64(FieldOf(lines[i], L"qpc="), nullptr, 10);
        if (wcsncmp(lines[i], L"start ", 6) != 0)
            continue;
        if (run->payloadCount++ == 0)
            run->payloadErrorMode = wcstoul(FieldOf(lines[i], L"errormode="), nullptr, 16);
        for (int f = 0; f < 3; ++f) {
            const wchar_t* hex = FieldOf(lines[i], keys[f]);
            long size = DecodeHex(hex, wcscspn(hex, L" "), reinterpret_cast<BYTE*>(fields[f]),
                                  2 * kTextCapacity - 2);
            fields[f][size > 0 ? size / 2 : 0] = 0;
        }
        MaskCopyFolder(setting, fields[0]);
        swscanf(FieldOf(lines[i], L"build="), L"%7ls", build);
        AddLine(run, 5, L"payload", fields[0], fields[1], fields[2], build);
    }
}

void MakeRecord(const CaseState* state, RunResult* run) {
    wchar_t* lines[kEventCapacity];
    wchar_t number[16];
    AddPayloadLines(state->setting, run);
    // The lab's NSIS installer appends three lines a start: its event, cmdline= and parameters=.
    int count = ReadLines(state->setting->installerRecord, 0, lines, kEventCapacity);
    for (int i = 0; i + 2 < count; i += 3)
        AddLine(run, 4, L"installer", lines[i], FieldOf(lines[i + 1], L"cmdline="),
                FieldOf(lines[i + 2], L"parameters="));
    AddEntryLines(run, L"64");
    if (state->setting->is64)
        AddEntryLines(run, L"32");
    _snwprintf(number, 16, L"%lu", run->exitCode);
    AddLine(run, 2, L"exit", number);
}

// --- The comparison --------------------------------------------------------------------------

// The lines of one record that the other lacks, each after mark.
static void AddMissingLines(const wchar_t* from, const wchar_t* other, wchar_t mark,
                            wchar_t* diff) {
    for (; *from != 0; from += wcscspn(from, L"\n") + 1) {
        size_t length = wcscspn(from, L"\n") + 1, used = wcslen(diff);
        const wchar_t* same = other;
        while (*same != 0 && wcsncmp(same, from, length) != 0)
            same += wcscspn(same, L"\n") + 1;
        if (*same != 0)
            continue;
        _snwprintf(diff + used, kFailuresCapacity - used, L"\n      %lc %.*ls", mark,
                   static_cast<int>(length - 1), from);
        diff[kFailuresCapacity - 1] = 0;
    }
}

// The item lines below, their words filled in, as a record (kept as a run's is) against the run's.
static void ExpectRecord(CaseState* state, const RunResult* run) {
    static RunResult want;
    static wchar_t word[kTextCapacity], diff[kFailuresCapacity];
    ZeroMemory(&want, sizeof(want));
    diff[0] = 0;
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i) {
        Word words[kWordCapacity];
        int count = SplitWords(state->data->lines[i].text, words, kWordCapacity);
        for (int k = 0; k < count; ++k) {
            if (!Expand(state, words, k, word, kTextCapacity))
                return;
            PutWord(&want, word);
        }
        AddLine(&want, 0);
    }
    if (want.recordFull || run->recordFull)
        AddFailure(state, L"a record is longer than the runner keeps");
    if (wcscmp(want.record, run->record) == 0)
        return;
    AddMissingLines(want.record, run->record, L'-', diff);
    AddMissingLines(run->record, want.record, L'+', diff);
    if (diff[0] == 0)
        AddMissingLines(run->record, L"", L' ', diff);
    AddFailure(state,
               L"the run's record differs (-: expected alone, +: the run's alone; else the "
               L"run's, as expected but for order or number):%ls",
               diff);
}

// --- The named checks ------------------------------------------------------------------------

// Each kind of expectation, how many words follow it; for the checks of DLL loads, between which
// events (the first of that kind; kWhole: the start, the end), whether the loads there must match
// the words or not, whether one must (else none may), and what a failure says.
enum { kNoDlls, kMatching, kNotMatching, kPreloaded };
enum { kWhole = -1 };
struct ExpectForm {
    const wchar_t* name;
    int least, most;
    int from, to, test, must;
    const wchar_t* what;
};
static const ExpectForm kExpectations[] = {
    {L"record", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"took-at-least", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"took-under", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"cpu-under", 1, 1, 0, 0, kNoDlls, 0, nullptr},
    {L"payload-ended-first", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"payload-without-error-box", 0, 0, 0, 0, kNoDlls, 0, nullptr},
    {L"same-file", 2, 2, 0, 0, kNoDlls, 0, nullptr},
    {L"length", 2, 2, 0, 0, kNoDlls, 0, nullptr},
    {L"preloaded-before", 2, 8, kWhole, kWhole, kPreloaded, 0, nullptr},
    {L"first-asked", 1, 8, kWhole, kLibraryAsked, kMatching, 0,
     L"DLLs loaded before the wrapper's first LoadLibraryExW"},
    {L"loads-before-narrowing-only-from", 1, 1, kWhole, kNarrowed, kNotMatching, 0,
     L"DLLs from outside that folder before the search was narrowed"},
    {L"not-loaded-before-narrowing", 1, 8, kWhole, kNarrowed, kMatching, 0,
     L"DLLs loaded before the search was narrowed"},
    {L"loaded-after-narrowing", 1, 1, kNarrowed, kWhole, kMatching, 1,
     L"not loaded after the search was narrowed"},
    {L"not-loaded", 1, 8, kWhole, kWhole, kMatching, 0, L"DLLs loaded"},
    {L"loaded", 1, 1, kWhole, kWhole, kMatching, 1, L"never loaded"},
    {L"loads-only-from", 1, 1, kWhole, kWhole, kNotMatching, 0, L"DLLs from outside that folder"},
    {L"none-loaded-from", 1, 1, kWhole, kWhole, kMatching, 0, L"DLLs loaded from that folder"},
};

static const ExpectForm* FindExpectation(const Word& word) {
    for (const ExpectForm& form : kExpectations)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}

const wchar_t* CheckExpectation(const Word* words, int count) {
    const ExpectForm* form = count > 0 ? FindExpectation(words[0]) : nullptr;
    return form == nullptr                                     ? L"no such expectation"
           : count - 1 < form->least || count - 1 > form->most ? L"wrong number of words"
                                                               : nullptr;
}

// The first event of the kind in [from, to), of that path where one is given; -1 if none.
static int FindEvent(const RunResult* run, int kind, const wchar_t* path, int from, int to) {
    for (int i = from; i < to; ++i)
        if (run->events[i].kind == kind &&
            (path == nullptr || _wcsicmp(run->events[i].path, path) == 0))
            return i;
    return -1;
}

// A word from index from on is the load's path, its name, or a folder it lies under.
static int Matches(const wchar_t* path, CaseState* state, const Word* words, int from, int count) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    wchar_t word[kPathCapacity];
    for (int i = from; i < count; ++i)
        if (ExpandWord(state, words[i], word, kPathCapacity) &&
            (_wcsicmp(path, word) == 0 ||
             _wcsicmp(slash != nullptr ? slash + 1 : path, word) == 0 || IsUnder(path, word)))
            return 1;
    return 0;
}

// Each DLL named was asked for by the wrapper's own code, by its full path in the system folder,
// before its first LoadLibraryExW of path, and, where the system has it, loaded then too.
static void ExpectPreloaded(CaseState* state, const RunResult* run, const Word* words, int count) {
    static wchar_t path[kPathCapacity];
    if (!Expand(state, words, 2, path, kPathCapacity))
        return;
    int until = FindEvent(run, kLibraryAsked, path, 0, run->eventCount);
    until = until >= 0 ? until : run->eventCount;
    for (int i = 3; i < count; ++i) {
        wchar_t name[64], wanted[kPathCapacity];
        if (!Expand(state, words, i, name, 64))
            return;
        _snwprintf(wanted, kPathCapacity, L"%ls\\%ls", state->setting->system, name);
        int asked = FindEvent(run, kLibraryAsked, wanted, 0, until) >= 0;
        if (!asked || (GetFileAttributesW(wanted) != INVALID_FILE_ATTRIBUTES &&
                       FindEvent(run, kLoaded, wanted, 0, until) < 0))
            AddFailure(state, L"%ls was not %ls before the wrapper asked for %ls", wanted,
                       asked ? L"loaded" : L"asked for by its full path", path);
    }
}

// The loads between the form's events that pass its test: one at least, or none.
static void ExpectDlls(CaseState* state, const RunResult* run, const ExpectForm& form,
                       const Word* words, int count) {
    static wchar_t path[kPathCapacity], found[kTextCapacity];
    int end = run->eventCount;
    int from = form.from == kWhole ? 0 : FindEvent(run, form.from, nullptr, 0, end);
    int to = form.to == kWhole ? end : FindEvent(run, form.to, nullptr, 0, end);
    if (from < 0 || to < 0)
        AddFailure(state, L"%ls was never called",
                   form.to == kLibraryAsked ? L"LoadLibraryExW" : L"SetDefaultDllDirectories");
    if (from < 0 || to < 0 || !Expand(state, words, 2, path, kPathCapacity))
        return;
    if (form.to == kLibraryAsked && wcscmp(run->events[to].path, path) != 0)
        AddFailure(state, L"first library the wrapper asked for: got %ls, want %ls",
                   run->events[to].path, path);
    found[0] = 0;
    for (int i = from; i < to; ++i) {
        const wchar_t* loaded = run->events[i].path;
        size_t used = wcslen(found);
        if (run->events[i].kind == kLoaded &&
            Matches(loaded, state, words, form.to == kLibraryAsked ? 3 : 2, count) ==
                (form.test == kMatching))
            _snwprintf(found + used, kTextCapacity - used, L" %ls", loaded);
        found[kTextCapacity - 1] = 0;
    }
    if (form.must && found[0] == 0)
        AddFailure(state, L"%ls %ls", path, form.what);
    else if (!form.must && found[0] != 0)
        AddFailure(state, L"%ls:%ls", form.what, found);
}

void DoExpect(CaseState* state, const Word* words, int count) {
    const RunResult* run = state->run;
    const ExpectForm* form = FindExpectation(words[1]);
    static wchar_t text[kTextCapacity], other[kPathCapacity];
    static unsigned char otherBytes[kFileCapacity];
    double bound = count > 2 ? wcstod(words[2].start, nullptr) : 0;
    if (WordIs(words[1], L"length")) {
        if (Expand(state, words, 2, text, kTextCapacity) &&
            wcslen(text) != wcstoul(words[3].start, nullptr, 10))
            AddFailure(state, L"length: got %lu", static_cast<unsigned long>(wcslen(text)));
    } else if (WordIs(words[1], L"same-file")) {
        if (!ExpandWorkPath(state, words, 2, text) || !ExpandWorkPath(state, words, 3, other))
            return;
        long size = ReadWholeFile(text, fileBuffer);
        if (size < 0 || size != ReadWholeFile(other, otherBytes) ||
            memcmp(fileBuffer, otherBytes, static_cast<size_t>(size)) != 0)
            AddFailure(state, L"%ls is no longer the same as %ls", text, other);
    } else if (run == nullptr) {
        AddFailure(state, L"expect before any run");
    } else if (form->test != kNoDlls && run->traced[0] == 0) {
        AddFailure(state, L"the run was not traced: give it trace=");
    } else if (form->test == kPreloaded) {
        ExpectPreloaded(state, run, words, count);
    } else if (form->test != kNoDlls) {
        ExpectDlls(state, run, *form, words, count);
    } else if (WordIs(words[1], L"record")) {
        ExpectRecord(state, run);
    } else if (run->payloadCount == 0 && wcsncmp(words[1].start, L"payload-", 8) == 0) {
        AddFailure(state, L"no payload was started");
    } else if (WordIs(words[1], L"payload-ended-first") &&
               (run->payloadEndQpc == 0 || run->payloadEndQpc >= run->endQpc)) {
        AddFailure(state, L"the payload had not ended when the wrapper did");
    } else if (WordIs(words[1], L"payload-without-error-box") &&
               !(run->payloadErrorMode & SEM_NOGPFAULTERRORBOX)) {
        AddFailure(state, L"the payload ran with error mode %lx, which lets a crash show a box",
                   run->payloadErrorMode);
    } else if (wcsncmp(words[1].start, L"took-", 5) == 0) {
        double took = static_cast<double>(run->endQpc - run->startQpc) * 1000.0 /
                      static_cast<double>(run->frequency);
        if ((took < bound) == WordIs(words[1], L"took-at-least"))
            AddFailure(state, L"the wrapper took %.0f ms", took);
    } else if (WordIs(words[1], L"cpu-under") &&
               (run->cpuMilliseconds < 0 || run->cpuMilliseconds >= bound)) {
        AddFailure(state, L"the wrapper used %.0f ms of CPU", run->cpuMilliseconds);
    }
}
