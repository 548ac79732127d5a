// What a run did, as the cases file writes it (its record), and the one comparison of that record
// with the case's expected one; then the named checks for what is not equality: time bounds, and
// lists of DLLs.

#include "runner.h"

#include <stdarg.h>

static unsigned char fileBuffer[kFileCapacity];
static unsigned char otherBuffer[kFileCapacity];

// In a record, words are parted by kWordBreak and lines ended by kLineBreak: a box's text may
// hold a line feed.
const wchar_t kWordBreak = L'\x1f';
const wchar_t kLineBreak = L'\x1e';
const int kRecordLineCapacity = 96;

// Appends a line of count words to the run's record.
static void AddLine(RunResult* run, int count, ...) {
    va_list words;
    va_start(words, count);
    for (int i = 0; i < count; ++i) {
        const wchar_t* word = va_arg(words, const wchar_t*);
        size_t length = wcslen(word);
        if (run->recordLength + length + 2 >= kRecordCapacity) {
            run->recordFull = 1;
            break;
        }
        wcscpy(run->record + run->recordLength, word);
        run->recordLength += length;
        run->record[run->recordLength++] = i + 1 < count ? kWordBreak : kLineBreak;
    }
    va_end(words);
    run->record[run->recordLength] = 0;
}

static const wchar_t* Hex(DWORD value, wchar_t* out) {
    _snwprintf(out, 16, L"%lx", value);
    return out;
}

// A value's data as the cases file writes it: its type, then each stretch of text, "nul" for each
// NUL unit, and "hex:XX" for an odd last byte.
static void AddValueLine(RunResult* run, const wchar_t* name, DWORD type, const unsigned char* data,
                         size_t size) {
    static wchar_t line[kTextCapacity * 2];
    wchar_t kind[16];
    _snwprintf(kind, 16, L"%lu", type);
    _snwprintf(line, kTextCapacity, L"value%lc%ls%lc%ls", kWordBreak, name, kWordBreak,
               type == REG_SZ          ? L"sz"
               : type == REG_EXPAND_SZ ? L"expand-sz"
                                       : kind);
    size_t used = wcslen(line);
    for (size_t i = 0; i + 1 < size && used + 8 < kTextCapacity * 2; i += 2) {
        wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        int starts = unit == 0 || i == 0 || (data[i - 2] | data[i - 1]) == 0;
        if (starts)
            line[used++] = kWordBreak;
        if (unit == 0)
            used += static_cast<size_t>(_snwprintf(line + used, 4, L"nul"));
        else
            line[used++] = unit;
    }
    if (size % 2 != 0)
        used += static_cast<size_t>(
            _snwprintf(line + used, 8, L"%lchex:%02x", kWordBreak, data[size - 1]));
    line[used] = 0;
    AddLine(run, 1, line);
}

// The uninstall entry in each view: "entry VIEW" where it exists, then its values by name.
static void AddEntryLines(const Setting* setting, RunResult* run) {
    static unsigned char data[70000];
    const wchar_t* views[2] = {L"64", L"32"};
    for (int v = 0; v < (setting->is64 ? 2 : 1); ++v) {
        HKEY key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | ViewAccess(views[v]),
                          &key) != ERROR_SUCCESS)
            continue;
        AddLine(run, 2, L"entry", views[v]);
        static wchar_t names[32][256];
        int count = 0;
        for (DWORD length = 256;
             count < 32 && RegEnumValueW(key, static_cast<DWORD>(count), names[count], &length,
                                         nullptr, nullptr, nullptr, nullptr) == 0;
             length = 256)
            ++count;
        // By name: the order of a key's values is each system's own.
        for (int i = 1; i < count; ++i)
            for (int j = i; j > 0 && _wcsicmp(names[j - 1], names[j]) > 0; --j) {
                wchar_t swap[256];
                wcscpy(swap, names[j]);
                wcscpy(names[j], names[j - 1]);
                wcscpy(names[j - 1], swap);
            }
        for (int i = 0; i < count; ++i) {
            DWORD type = 0, size = sizeof(data);
            if (RegQueryValueExW(key, names[i], nullptr, &type, data, &size) == ERROR_SUCCESS)
                AddValueLine(run, names[i], type, data, size);
        }
        RegCloseKey(key);
    }
}

// What the lab's NSIS installer appended: per start its event, command line and parameters.
static void AddInstallerLines(const wchar_t* path, RunResult* run) {
    long size = ReadWholeFile(path, fileBuffer);
    static wchar_t text[kFileCapacity / 2 + 1];
    size_t units = size > 0 ? static_cast<size_t>(size) / 2 : 0;
    memcpy(text, fileBuffer, units * 2);
    text[units] = 0;
    const wchar_t* fields[3];
    int field = 0;
    for (wchar_t *line = text, *end; (end = wcschr(line, L'\n')) != nullptr; line = end + 1) {
        *end = 0;
        const wchar_t* prefix = field == 1 ? L"cmdline=" : L"parameters=";
        size_t skip = field > 0 && wcsncmp(line, prefix, wcslen(prefix)) == 0 ? wcslen(prefix) : 0;
        fields[field++] = line + skip;
        if (field == 3)
            AddLine(run, 4, L"installer", fields[0], fields[1], fields[2]);
        field %= 3;
    }
}

void MakeRecord(const CaseState* state, RunResult* run, const wchar_t* traced,
                const wchar_t* installerRecord) {
    wchar_t number[16], owner[16], style[16];
    _snwprintf(number, 16, L"%lu", run->exitCode);
    AddLine(run, 2, L"exit", number);
    for (int i = 0; i < run->boxCount; ++i)
        AddLine(run, 5, L"box", Hex(run->boxes[i].owner, owner), run->boxes[i].text,
                run->boxes[i].caption, Hex(run->boxes[i].style, style));
    for (int i = 0; i < run->payloadCount; ++i) {
        PayloadStart* start = &run->payloads[i];
        size_t length = wcslen(start->directory);
        if (length > 3 && start->directory[length - 1] == L'\\')
            start->directory[length - 1] = 0;
        AddLine(run, 5, L"payload", start->module, start->commandLine, start->directory,
                start->build);
    }
    AddInstallerLines(installerRecord, run);
    if (run->attacked) {
        static wchar_t errors[4][32];
        static const wchar_t* names[4] = {L"write", L"delete", L"rename", L"overwrite"};
        for (int i = 0; i < 4; ++i)
            _snwprintf(errors[i], 32, L"%ls=%lu", names[i], run->attackErrors[i]);
        AddLine(run, 5, L"attack", errors[0], errors[1], errors[2], errors[3]);
    }
    static const wchar_t* traceNames[] = {L"", L"narrowed", L"asked", L"waited"};
    for (int i = 0; i < run->eventCount; ++i) {
        const ProcessEvent& event = run->events[i];
        if (event.kind == kLoaded || wcsstr(traced, traceNames[event.kind]) == nullptr)
            continue;
        _snwprintf(number, 16, L"%08lx", event.value);
        AddLine(run, 2, traceNames[event.kind], event.kind == kLibraryAsked ? event.path : number);
    }
    AddEntryLines(state->setting, run);
}

// --- The comparison --------------------------------------------------------------------------

// A record line as the cases file writes it: words parted by blanks, barred where they must be.
static void PrintLine(const wchar_t* line, wchar_t* out, size_t capacity) {
    out[0] = 0;
    static wchar_t word[kTextCapacity], quoted[kTextCapacity];
    for (const wchar_t* at = line; *at != 0 && *at != kLineBreak;) {
        size_t length = wcscspn(at, L"\x1f\x1e");
        wcsncpy(word, at, length);
        word[length] = 0;
        if (length == 0 || wcspbrk(word, L" \t\n|{}") != nullptr || length > 64)
            QuoteText(word, length, quoted, kTextCapacity);
        else
            wcscpy(quoted, word);
        size_t used = wcslen(out);
        _snwprintf(out + used, capacity - used, L"%ls%ls", used > 0 ? L" " : L"", quoted);
        out[capacity - 1] = 0;
        at += length + (at[length] == kWordBreak);
    }
}

// Splits text into its lines, each ended by kLineBreak; the count, or -1 when there are too many.
static int SplitRecord(const wchar_t* text, const wchar_t** lines) {
    int count = 0;
    for (const wchar_t* at = text; *at != 0; at = wcschr(at, kLineBreak) + 1) {
        if (count == kRecordLineCapacity)
            return -1;
        lines[count++] = at;
    }
    return count;
}

static int LineLength(const wchar_t* line) {
    return static_cast<int>(wcschr(line, kLineBreak) - line);
}

static int SameLine(const wchar_t* first, const wchar_t* second) {
    return LineLength(first) == LineLength(second) &&
           wcsncmp(first, second, static_cast<size_t>(LineLength(first))) == 0;
}

// The expected record against the run's, line by line as the longest common part aligns them:
// "-" the case's alone, "+" the run's alone.
static void AddDiff(CaseState* state, const wchar_t* want, const wchar_t* got) {
    const wchar_t *wanted[kRecordLineCapacity], *had[kRecordLineCapacity];
    int w = SplitRecord(want, wanted), g = SplitRecord(got, had);
    if (w < 0 || g < 0) {
        AddFailure(state, L"a record of more than %d lines", kRecordLineCapacity);
        return;
    }
    static int common[kRecordLineCapacity + 1][kRecordLineCapacity + 1];
    for (int i = w; i >= 0; --i)
        for (int j = g; j >= 0; --j)
            common[i][j] = i == w || j == g                      ? 0
                           : SameLine(wanted[i], had[j])         ? common[i + 1][j + 1] + 1
                           : common[i + 1][j] > common[i][j + 1] ? common[i + 1][j]
                                                                 : common[i][j + 1];
    if (common[0][0] == w && w == g)
        return;
    static wchar_t printed[kTextCapacity * 2], diff[kFailuresCapacity / 2];
    diff[0] = 0;
    for (int i = 0, j = 0; i < w || j < g;) {
        int both = i < w && j < g && SameLine(wanted[i], had[j]);
        int mine = !both && i < w && (j == g || common[i + 1][j] >= common[i][j + 1]);
        PrintLine(both || mine ? wanted[i] : had[j], printed, kTextCapacity * 2);
        size_t used = wcslen(diff);
        _snwprintf(diff + used, kFailuresCapacity / 2 - used, L"\n      %lc %ls",
                   both   ? L' '
                   : mine ? L'-'
                          : L'+',
                   printed);
        diff[kFailuresCapacity / 2 - 1] = 0;
        i += both || mine;
        j += both || !mine;
    }
    AddFailure(state, L"the run's record differs (-: expected, +: the run's):%ls", diff);
}

// The item lines below the current one, their words filled in, as a record.
static void ExpectRecord(CaseState* state, const RunResult* run) {
    static wchar_t want[kRecordCapacity], word[kTextCapacity];
    size_t used = 0;
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i) {
        Word words[kWordCapacity];
        int count = SplitWords(state->data->lines[i].text, words, kWordCapacity);
        for (int k = 0; k < count; ++k) {
            if (!ExpandWord(state, words[k], word, kTextCapacity) ||
                used + wcslen(word) + 2 >= kRecordCapacity) {
                AddFailure(state, L"line %d: cannot fill in %.*ls", state->data->lines[i].number,
                           static_cast<int>(words[k].length), words[k].start);
                return;
            }
            wcscpy(want + used, word);
            used += wcslen(word);
            want[used++] = k + 1 < count ? kWordBreak : kLineBreak;
        }
    }
    want[used] = 0;
    if (run->recordFull)
        AddFailure(state, L"the run's record is longer than the runner keeps");
    AddDiff(state, want, run->record);
}

// --- The named checks ------------------------------------------------------------------------

static int NarrowedAt(const RunResult* run) {
    for (int i = 0; i < run->eventCount; ++i)
        if (run->events[i].kind == kNarrowed)
            return i;
    return -1;
}

static int NameIn(const wchar_t* path, CaseState* state, const Word* words, int from, int count) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    const wchar_t* name = slash != nullptr ? slash + 1 : path;
    for (int i = from; i < count; ++i) {
        wchar_t word[kPathCapacity];
        if (ExpandWord(state, words[i], word, kPathCapacity) && _wcsicmp(name, word) == 0)
            return 1;
    }
    return 0;
}

// The loads from first to end whose path is (wanted: 1) or is not (0) under folder, or whose
// name is among the words (folder null).
static void ExpectLoads(CaseState* state, const RunResult* run, int first, int end,
                        const wchar_t* folder, int wanted, const Word* words, int count,
                        const wchar_t* what) {
    static wchar_t found[kTextCapacity];
    found[0] = 0;
    for (int i = first; i < end; ++i) {
        const ProcessEvent& event = run->events[i];
        if (event.kind != kLoaded)
            continue;
        int matches = folder != nullptr ? IsUnder(event.path, folder) == wanted
                                        : NameIn(event.path, state, words, 2, count);
        size_t used = wcslen(found);
        if (matches)
            _snwprintf(found + used, kTextCapacity - used, L" %ls", event.path);
        found[kTextCapacity - 1] = 0;
    }
    if (found[0] != 0)
        AddFailure(state, L"%ls:%ls", what, found);
}

static int WasLoaded(const RunResult* run, int first, const wchar_t* path) {
    for (int i = first; i < run->eventCount; ++i)
        if (run->events[i].kind == kLoaded && _wcsicmp(run->events[i].path, path) == 0)
            return 1;
    return 0;
}

static void ExpectDllEvents(CaseState* state, const RunResult* run, const Word* words, int count) {
    wchar_t path[kPathCapacity];
    int narrowed = NarrowedAt(run);
    if ((WordIs(words[1], L"loads-before-narrowing-only-from") ||
         WordIs(words[1], L"not-loaded-before-narrowing") ||
         WordIs(words[1], L"loaded-after-narrowing")) &&
        narrowed < 0) {
        AddFailure(state, L"SetDefaultDllDirectories was never called");
        return;
    }
    if (count == 3 && !Expand(state, words, 2, path, kPathCapacity))
        return;
    if (WordIs(words[1], L"loads-before-narrowing-only-from"))
        ExpectLoads(state, run, 0, narrowed, path, 0, words, count,
                    L"DLLs from outside the system folder before the search was narrowed");
    else if (WordIs(words[1], L"not-loaded-before-narrowing"))
        ExpectLoads(state, run, 0, narrowed, nullptr, 1, words, count,
                    L"DLLs loaded before the search was narrowed");
    else if (WordIs(words[1], L"not-loaded"))
        ExpectLoads(state, run, 0, run->eventCount, nullptr, 1, words, count, L"DLLs loaded");
    else if (WordIs(words[1], L"loads-only-from"))
        ExpectLoads(state, run, 0, run->eventCount, path, 0, words, count,
                    L"DLLs from outside that folder");
    else if (WordIs(words[1], L"none-loaded-from"))
        ExpectLoads(state, run, 0, run->eventCount, path, 1, words, count,
                    L"DLLs loaded from that folder");
    else if (WordIs(words[1], L"loaded-after-narrowing") && !WasLoaded(run, narrowed, path))
        AddFailure(state, L"%ls was not loaded after the search was narrowed", path);
    else if (WordIs(words[1], L"loaded") && !WasLoaded(run, 0, path))
        AddFailure(state, L"%ls was never loaded", path);
}

// Each DLL named was asked for by the wrapper's own code, by its full path in the system folder,
// before its first LoadLibraryExW of path, and, where the system has it, loaded then too.
static void ExpectPreloaded(CaseState* state, const RunResult* run, const Word* words, int count) {
    wchar_t path[kPathCapacity];
    if (!Expand(state, words, 2, path, kPathCapacity))
        return;
    int until = run->eventCount;
    for (int i = 0; i < run->eventCount && until == run->eventCount; ++i)
        if (run->events[i].kind == kLibraryAsked && _wcsicmp(run->events[i].path, path) == 0)
            until = i;
    for (int i = 3; i < count; ++i) {
        wchar_t name[64], wanted[kPathCapacity];
        if (!Expand(state, words, i, name, 64))
            return;
        _snwprintf(wanted, kPathCapacity, L"%ls\\%ls", state->setting->system, name);
        int asked = 0, loaded = 0;
        for (int e = 0; e < until; ++e) {
            asked = asked || (run->events[e].kind == kLibraryAsked &&
                              _wcsicmp(run->events[e].path, wanted) == 0);
            loaded = loaded ||
                     (run->events[e].kind == kLoaded && _wcsicmp(run->events[e].path, wanted) == 0);
        }
        int exists = GetFileAttributesW(wanted) != INVALID_FILE_ATTRIBUTES;
        if (!asked || (exists && !loaded))
            AddFailure(state, L"%ls was not %ls before the wrapper asked for %ls", wanted,
                       asked ? L"loaded" : L"asked for by its full path", path);
    }
}

// The first library the wrapper's own code asked for was path, and none of the DLLs named had
// been loaded by then, from anywhere.
static void ExpectFirstAsked(CaseState* state, const RunResult* run, const Word* words, int count) {
    wchar_t path[kPathCapacity];
    if (!Expand(state, words, 2, path, kPathCapacity))
        return;
    int first = 0;
    while (first < run->eventCount && run->events[first].kind != kLibraryAsked)
        ++first;
    const wchar_t* asked = first < run->eventCount ? run->events[first].path : L"none";
    if (wcscmp(asked, path) != 0)
        AddFailure(state, L"first library the wrapper asked for: got %ls, want %ls", asked, path);
    for (int i = 3; i < count; ++i) {
        wchar_t name[64];
        if (!Expand(state, words, i, name, 64))
            return;
        for (int e = 0; e < first; ++e) {
            const wchar_t* loaded = wcsrchr(run->events[e].path, L'\\');
            if (run->events[e].kind == kLoaded && loaded != nullptr &&
                _wcsicmp(loaded + 1, name) == 0)
                AddFailure(state, L"%ls was loaded before the wrapper asked for %ls",
                           run->events[e].path, path);
        }
    }
}

static void ExpectSameFile(CaseState* state, const Word* words) {
    wchar_t first[kPathCapacity], second[kPathCapacity];
    if (!ExpandWorkPath(state, words, 2, first) || !ExpandWorkPath(state, words, 3, second))
        return;
    long size = ReadWholeFile(first, fileBuffer);
    long otherSize = ReadWholeFile(second, otherBuffer);
    if (size < 0 || size != otherSize || memcmp(fileBuffer, otherBuffer, static_cast<size_t>(size)))
        AddFailure(state, L"%ls is no longer the same as %ls", first, second);
}

void DoExpect(CaseState* state, const Word* words, int count) {
    const RunResult* run = state->run;
    if (WordIs(words[1], L"length")) {
        static wchar_t text[kTextCapacity];
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
    const PayloadStart* payload = run->payloadCount > 0 ? &run->payloads[0] : nullptr;
    double bound = count > 2 ? static_cast<double>(wcstoul(words[2].start, nullptr, 10)) : 0;
    double took = static_cast<double>(run->endQpc - run->startQpc) * 1000.0 /
                  static_cast<double>(run->frequency);
    const ExpectForm* form = FindExpectation(words[1]);
    if (form != nullptr && form->traces && !run->traced) {
        AddFailure(state, L"the run was not traced: give it trace=");
    } else if (WordIs(words[1], L"record")) {
        ExpectRecord(state, run);
    } else if (WordIs(words[1], L"preloaded-before")) {
        ExpectPreloaded(state, run, words, count);
    } else if (WordIs(words[1], L"first-asked")) {
        ExpectFirstAsked(state, run, words, count);
    } else if (payload == nullptr && (WordIs(words[1], L"payload-ended-first") ||
                                      WordIs(words[1], L"payload-without-error-box"))) {
        AddFailure(state, L"no payload was started");
    } else if (WordIs(words[1], L"payload-ended-first")) {
        if (!payload->ended || payload->endQpc >= run->endQpc)
            AddFailure(state, L"the payload had not ended when the wrapper did");
    } else if (WordIs(words[1], L"payload-without-error-box")) {
        if (!payload->knowsErrorMode || !(payload->errorMode & SEM_NOGPFAULTERRORBOX))
            AddFailure(state, L"the payload ran with error mode %lx, which lets a crash show a box",
                       payload->errorMode);
    } else if (WordIs(words[1], L"took-at-least") || WordIs(words[1], L"took-under")) {
        if (WordIs(words[1], L"took-at-least") ? took < bound : took >= bound)
            AddFailure(state, L"the wrapper took %.0f ms", took);
    } else if (WordIs(words[1], L"cpu-under")) {
        if (run->cpuMilliseconds < 0 || run->cpuMilliseconds >= bound)
            AddFailure(state, L"the wrapper used %.0f ms of CPU", run->cpuMilliseconds);
    } else {
        ExpectDllEvents(state, run, words, count);
    }
}

static const ExpectForm kExpectations[] = {
    {L"record", 0, 0, 0},
    {L"preloaded-before", 2, 8, 1},
    {L"first-asked", 1, 8, 1},
    {L"took-at-least", 1, 1, 0},
    {L"took-under", 1, 1, 0},
    {L"cpu-under", 1, 1, 0},
    {L"payload-ended-first", 0, 0, 0},
    {L"payload-without-error-box", 0, 0, 0},
    {L"loads-before-narrowing-only-from", 1, 1, 1},
    {L"not-loaded-before-narrowing", 1, 8, 1},
    {L"loaded-after-narrowing", 1, 1, 1},
    {L"not-loaded", 1, 8, 1},
    {L"loaded", 1, 1, 1},
    {L"loads-only-from", 1, 1, 1},
    {L"none-loaded-from", 1, 1, 1},
    {L"same-file", 2, 2, 0},
    {L"length", 2, 2, 0},
};
const ExpectForm* FindExpectation(const Word& word) {
    for (const ExpectForm& form : kExpectations)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}
