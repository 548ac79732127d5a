// What a run of the wrapper must have shown: the expectations of the cases file.

#include "runner.h"

static unsigned char fileBuffer[kFileCapacity];
static unsigned char otherBuffer[kFileCapacity];

static void Quote(const wchar_t* text, wchar_t* out) {
    QuoteText(text, wcslen(text), out, kTextCapacity);
}

static void ExpectText(CaseState* state, const wchar_t* what, const wchar_t* got,
                       const wchar_t* want) {
    if (wcscmp(got, want) == 0)
        return;
    static wchar_t gotQuoted[kTextCapacity], wantQuoted[kTextCapacity];
    Quote(got, gotQuoted);
    Quote(want, wantQuoted);
    AddFailure(state, L"%ls: got %ls, want %ls", what, gotQuoted, wantQuoted);
}

static void ExpectNumber(CaseState* state, const wchar_t* what, unsigned long got,
                         unsigned long want) {
    if (got != want)
        AddFailure(state, L"%ls: got %lu, want %lu", what, got, want);
}

static void DescribeBoxes(const RunResult* run, wchar_t* out, size_t capacity) {
    wcscpy(out, run->boxCount == 0 ? L"none" : L"");
    static wchar_t text[kTextCapacity], caption[kTextCapacity];
    for (int i = 0; i < run->boxCount; ++i) {
        const MessageBoxCall& box = run->boxes[i];
        Quote(box.text, text);
        Quote(box.caption, caption);
        size_t used = wcslen(out);
        _snwprintf(out + used, capacity - used, L"%ls(owner %lx, %ls, %ls, style %lx)",
                   i > 0 ? L", " : L"", box.owner, text, caption, box.style);
    }
    out[capacity - 1] = 0;
}

static void ExpectNoBox(CaseState* state, const RunResult* run) {
    static wchar_t shown[kTextCapacity];
    if (run->boxCount == 0)
        return;
    DescribeBoxes(run, shown, kTextCapacity);
    AddFailure(state, L"message boxes: got %ls, want none", shown);
}

static void ExpectStarted(CaseState* state, const RunResult* run, const wchar_t* module,
                          const wchar_t* commandLine) {
    ExpectNumber(state, L"wrapper exit status", run->exitCode, 0);
    ExpectNoBox(state, run);
    ExpectNumber(state, L"payload starts", static_cast<unsigned long>(run->payloadCount), 1);
    if (run->payloadCount == 0)
        return;
    ExpectText(state, L"payload started", run->payloads[0].module, module);
    ExpectText(state, L"payload command line", run->payloads[0].commandLine, commandLine);
}

static void ExpectRefused(CaseState* state, const RunResult* run, const wchar_t* message,
                          const wchar_t* caption) {
    ExpectNumber(state, L"wrapper exit status", run->exitCode, 1);
    const MessageBoxCall* box = run->boxCount == 1 ? &run->boxes[0] : nullptr;
    if (box == nullptr || box->owner != 0 || box->style != MB_ICONERROR ||
        wcscmp(box->text, message) != 0 || wcscmp(box->caption, caption) != 0) {
        static wchar_t shown[kTextCapacity], text[kTextCapacity], title[kTextCapacity];
        DescribeBoxes(run, shown, kTextCapacity);
        Quote(message, text);
        Quote(caption, title);
        AddFailure(state, L"message boxes: got %ls, want (owner 0, %ls, %ls, style 10)", shown,
                   text, title);
    }
    ExpectNumber(state, L"payload starts", static_cast<unsigned long>(run->payloadCount), 0);
}

// Started (exit 0, no box, one payload), or else refused with this box.
static void ExpectStartedOrRefused(CaseState* state, const RunResult* run, const wchar_t* message,
                                   const wchar_t* caption) {
    if (run->payloadCount > 0) {
        ExpectNumber(state, L"wrapper exit status", run->exitCode, 0);
        ExpectNoBox(state, run);
        ExpectNumber(state, L"payload starts", static_cast<unsigned long>(run->payloadCount), 1);
    } else {
        ExpectRefused(state, run, message, caption);
    }
}

static double MillisecondsOf(const RunResult* run) {
    return static_cast<double>(run->endQpc - run->startQpc) * 1000.0 /
           static_cast<double>(run->frequency);
}

// "sz |text| nul" as the cases file writes a value.
static void DescribeValue(DWORD type, const unsigned char* data, size_t size, wchar_t* out,
                          size_t capacity) {
    static wchar_t units[kValueDataCapacity];
    static wchar_t quoted[kTextCapacity];
    const wchar_t* kind = type == REG_SZ ? L"sz" : type == REG_EXPAND_SZ ? L"expand-sz" : L"";
    size_t count = size / 2;
    memcpy(units, data, count * 2);
    int terminated = count > 0 && units[count - 1] == 0;
    if (terminated)
        --count;
    if (kind[0] == 0)
        _snwprintf(out, capacity, L"%lu", type);
    else
        _snwprintf(out, capacity, L"%ls", kind);
    if (count > 0) {
        QuoteText(units, count, quoted, kTextCapacity);
        size_t used = wcslen(out);
        _snwprintf(out + used, capacity - used, L" %ls", quoted);
    }
    if (terminated)
        wcsncat(out, L" nul", capacity - wcslen(out) - 1);
    if (size % 2 != 0) {
        size_t used = wcslen(out);
        _snwprintf(out + used, capacity - used, L" hex:%02x", data[size - 1]);
    }
    out[capacity - 1] = 0;
}

// The item lines under the current line ("value ...", "record ...").
static int CountItems(const CaseState* state) {
    int count = 0;
    for (int i = state->currentLine + 1; i < state->endLine && IsItemLine(state->data->lines[i]);
         ++i)
        ++count;
    return count;
}

static void ExpectEntry(CaseState* state, const Word* words, int count) {
    const wchar_t* view = WordIs(words[2], L"32") ? L"32" : L"64";
    wchar_t what[64];
    _snwprintf(what, 64, L"entry in the %ls-bit view", view);
    int wantMissing = count == 4 && WordIs(words[3], L"missing");
    HKEY key;
    LONG opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, kEntryPath, 0, KEY_QUERY_VALUE | ViewAccess(view), &key);
    if (opened != ERROR_SUCCESS) {
        if (!wantMissing)
            AddFailure(state, L"%ls: got missing, want it there", what);
        return;
    }
    static wchar_t described[kTextCapacity], wanted[kTextCapacity];
    static unsigned char data[70000], expected[kValueDataCapacity];
    if (wantMissing) {
        AddFailure(state, L"%ls: got it there, want missing", what);
        RegCloseKey(key);
        return;
    }
    // Each value wanted is there with its type and bytes; then no value beyond them.
    int items = CountItems(state);
    for (int i = 0; i < items; ++i) {
        Word item[kWordCapacity];
        const DataLine& line = state->data->lines[state->currentLine + 1 + i];
        int itemCount = SplitWords(line.text, item, kWordCapacity);
        wchar_t name[256];
        DWORD wantType = 0;
        long wantSize =
            ReadValueData(state, item + 2, itemCount - 2, &wantType, expected, sizeof(expected));
        if (!ExpandWord(state, item[1], name, 256) || wantSize < 0) {
            AddFailure(state, L"line %d: not a value", line.number);
            continue;
        }
        DWORD type = 0, size = sizeof(data);
        DescribeValue(wantType, expected, static_cast<size_t>(wantSize), wanted, kTextCapacity);
        if (RegQueryValueExW(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS) {
            AddFailure(state, L"%ls: %ls: got missing, want %ls", what, name, wanted);
            continue;
        }
        if (type != wantType || size != static_cast<DWORD>(wantSize) ||
            memcmp(data, expected, size) != 0) {
            DescribeValue(type, data, size, described, kTextCapacity);
            AddFailure(state, L"%ls: %ls: got %ls, want %ls", what, name, described, wanted);
        }
    }
    DWORD values = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    if (values != static_cast<DWORD>(items))
        AddFailure(state, L"%ls: got %lu values, want %d", what, values, items);
    RegCloseKey(key);
}

// What the lab's NSIS installer appended: per record its event, command line and parameters.
static void ExpectInstallerRecord(CaseState* state, const Word* words, int) {
    wchar_t path[kPathCapacity];
    if (!ExpandWorkPath(state, words, 2, path))
        return;
    long size = ReadWholeFile(path, fileBuffer);
    static wchar_t text[kFileCapacity / 2 + 1];
    size_t units = size > 0 ? static_cast<size_t>(size) / 2 : 0;
    memcpy(text, fileBuffer, units * 2);
    text[units] = 0;
    const wchar_t* lines[3 * 16];
    int lineCount = 0;
    for (wchar_t* line = text; lineCount < 3 * 16;) {
        wchar_t* end = wcschr(line, L'\n');
        if (end == nullptr)
            break;
        *end = 0;
        lines[lineCount++] = line;
        line = end + 1;
    }
    int records = lineCount / 3;
    int items = CountItems(state);
    ExpectNumber(state, L"installer's records", static_cast<unsigned long>(records),
                 static_cast<unsigned long>(items));
    for (int i = 0; i < items && i < records; ++i) {
        Word item[kWordCapacity];
        const DataLine& line = state->data->lines[state->currentLine + 1 + i];
        if (SplitWords(line.text, item, kWordCapacity) != 4)
            continue;
        static wchar_t want[3][kTextCapacity];
        const wchar_t* got[3] = {lines[3 * i], lines[3 * i + 1], lines[3 * i + 2]};
        const wchar_t* prefixes[3] = {L"", L"cmdline=", L"parameters="};
        const wchar_t* names[3] = {L"installer's event", L"installer's command line",
                                   L"installer's parameters"};
        for (int field = 0; field < 3; ++field) {
            if (!ExpandWord(state, item[field + 1], want[field], kTextCapacity))
                continue;
            size_t skip = wcslen(prefixes[field]);
            ExpectText(state, names[field],
                       wcsncmp(got[field], prefixes[field], skip) == 0 ? got[field] + skip
                                                                       : got[field],
                       want[field]);
        }
    }
}

static void ListEvents(const RunResult* run, int kind, wchar_t* out, size_t capacity) {
    out[0] = 0;
    for (int i = 0; i < run->eventCount; ++i) {
        const ProcessEvent& event = run->events[i];
        if (event.kind != kind)
            continue;
        size_t used = wcslen(out);
        if (kind == kLibraryAsked || kind == kLoaded)
            _snwprintf(out + used, capacity - used, L"%ls%ls", used > 0 ? L" " : L"", event.path);
        else
            _snwprintf(out + used, capacity - used, L"%ls%08lx", used > 0 ? L" " : L"",
                       event.value);
        out[capacity - 1] = 0;
    }
}

// The wanted words expanded and joined by blanks, in lower case where paths are compared.
static int JoinWords(CaseState* state, const Word* words, int from, int count, int lower,
                     wchar_t* out, size_t capacity) {
    out[0] = 0;
    for (int i = from; i < count; ++i) {
        wchar_t word[kPathCapacity];
        if (!Expand(state, words, i, word, kPathCapacity))
            return 0;
        if (WordIs(words[i], L"none"))
            continue;
        size_t used = wcslen(out);
        _snwprintf(out + used, capacity - used, L"%ls%ls", used > 0 ? L" " : L"", word);
    }
    out[capacity - 1] = 0;
    if (lower)
        CharLowerW(out);
    return 1;
}

static void ExpectEvents(CaseState* state, const RunResult* run, int kind, const wchar_t* what,
                         const Word* words, int count) {
    static wchar_t got[kTextCapacity], want[kTextCapacity];
    ListEvents(run, kind, got, kTextCapacity);
    int paths = kind == kLibraryAsked;
    if (!JoinWords(state, words, 2, count, paths, want, kTextCapacity))
        return;
    if (paths)
        CharLowerW(got);
    if (wcscmp(got, want) != 0)
        AddFailure(state, L"%ls: got [%ls], want [%ls]", what, got, want);
}

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
    ExpectText(state, L"first library the wrapper asked for",
               first < run->eventCount ? run->events[first].path : L"none", path);
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

static void ExpectAttack(CaseState* state, const RunResult* run, const Word* words) {
    if (!run->attacked) {
        AddFailure(state, L"the payload was not attacked mid-hash");
        return;
    }
    static const wchar_t* names[4] = {L"write", L"delete", L"rename", L"overwrite"};
    for (int i = 0; i < 4; ++i) {
        const Word& word = words[2 + i];
        size_t length = wcslen(names[i]);
        if (word.length <= length + 1 || wcsncmp(word.start, names[i], length) != 0)
            continue;
        wchar_t what[64];
        _snwprintf(what, 64, L"error of the attempt to %ls mid-hash", names[i]);
        ExpectNumber(state, what, run->attackErrors[i],
                     wcstoul(word.start + length + 1, nullptr, 10));
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
        if (Expand(state, words, 2, text, kTextCapacity))
            ExpectNumber(state, L"length", static_cast<unsigned long>(wcslen(text)),
                         wcstoul(words[3].start, nullptr, 10));
        return;
    }
    if (WordIs(words[1], L"entry")) {
        ExpectEntry(state, words, count);
        return;
    }
    if (WordIs(words[1], L"installer-record")) {
        ExpectInstallerRecord(state, words, count);
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
    static wchar_t first[kTextCapacity], second[kTextCapacity];
    const PayloadStart* payload = run->payloadCount > 0 ? &run->payloads[0] : nullptr;
    if (WordIs(words[1], L"started")) {
        if (Expand(state, words, 2, first, kTextCapacity) &&
            Expand(state, words, 3, second, kTextCapacity))
            ExpectStarted(state, run, first, second);
    } else if (WordIs(words[1], L"refused")) {
        if (Expand(state, words, 2, first, kTextCapacity) &&
            Expand(state, words, 3, second, kTextCapacity))
            ExpectRefused(state, run, first, second);
    } else if (WordIs(words[1], L"started-or-refused")) {
        if (Expand(state, words, 2, first, kTextCapacity) &&
            Expand(state, words, 3, second, kTextCapacity))
            ExpectStartedOrRefused(state, run, first, second);
    } else if (WordIs(words[1], L"only-builds")) {
        if (Expand(state, words, 2, first, kTextCapacity))
            for (int i = 0; i < run->payloadCount; ++i)
                ExpectText(state, L"build of a payload started", run->payloads[i].build, first);
    } else if (WordIs(words[1], L"preloaded-before")) {
        ExpectPreloaded(state, run, words, count);
    } else if (WordIs(words[1], L"first-asked")) {
        ExpectFirstAsked(state, run, words, count);
    } else if (WordIs(words[1], L"exit")) {
        ExpectNumber(state, L"wrapper exit status", run->exitCode,
                     wcstoul(words[2].start, nullptr, 10));
    } else if (WordIs(words[1], L"no-box")) {
        ExpectNoBox(state, run);
    } else if (WordIs(words[1], L"payload-starts")) {
        ExpectNumber(state, L"payload starts", static_cast<unsigned long>(run->payloadCount),
                     wcstoul(words[2].start, nullptr, 10));
    } else if (payload == nullptr &&
               (WordIs(words[1], L"payload-cwd") || WordIs(words[1], L"payload-build") ||
                WordIs(words[1], L"payload-ended-first") ||
                WordIs(words[1], L"payload-without-error-box"))) {
        AddFailure(state, L"no payload was started");
    } else if (WordIs(words[1], L"payload-cwd")) {
        wcscpy(second, payload->directory);
        size_t length = wcslen(second);
        if (length > 0 && second[length - 1] == L'\\')
            second[length - 1] = 0;
        if (Expand(state, words, 2, first, kTextCapacity))
            ExpectText(state, L"payload's directory", second, first);
    } else if (WordIs(words[1], L"payload-build")) {
        if (Expand(state, words, 2, first, kTextCapacity))
            ExpectText(state, L"payload build", payload->build, first);
    } else if (WordIs(words[1], L"payload-ended-first")) {
        if (!payload->ended || payload->endQpc >= run->endQpc)
            AddFailure(state, L"the payload had not ended when the wrapper did");
    } else if (WordIs(words[1], L"payload-without-error-box")) {
        if (!payload->knowsErrorMode || !(payload->errorMode & SEM_NOGPFAULTERRORBOX))
            AddFailure(state, L"the payload ran with error mode %lx, which lets a crash show a box",
                       payload->errorMode);
    } else if (WordIs(words[1], L"took-at-least") || WordIs(words[1], L"took-under")) {
        double took = MillisecondsOf(run);
        double bound = static_cast<double>(wcstoul(words[2].start, nullptr, 10));
        if (WordIs(words[1], L"took-at-least") ? took < bound : took >= bound)
            AddFailure(state, L"the wrapper took %.0f ms", took);
    } else if (WordIs(words[1], L"cpu-under")) {
        if (run->cpuMilliseconds < 0 ||
            run->cpuMilliseconds >= static_cast<double>(wcstoul(words[2].start, nullptr, 10)))
            AddFailure(state, L"the wrapper used %.0f ms of CPU", run->cpuMilliseconds);
    } else if (WordIs(words[1], L"dll-directories")) {
        ExpectEvents(state, run, kNarrowed, L"SetDefaultDllDirectories calls", words, count);
    } else if (WordIs(words[1], L"waits")) {
        ExpectEvents(state, run, kWaited, L"the wrapper's waits for its payload", words, count);
    } else if (WordIs(words[1], L"wrapper-loads")) {
        ExpectEvents(state, run, kLibraryAsked,
                     L"libraries the wrapper loads itself, by full path, each once", words, count);
    } else if (WordIs(words[1], L"attack")) {
        ExpectAttack(state, run, words);
    } else {
        ExpectDllEvents(state, run, words, count);
    }
}

static const ExpectForm kExpectations[] = {
    {L"started", 2, 2, 0, 0},
    {L"refused", 2, 2, 0, 0},
    {L"started-or-refused", 2, 2, 0, 0},
    {L"only-builds", 1, 1, 0, 0},
    {L"preloaded-before", 2, 8, 0, 1},
    {L"first-asked", 1, 8, 0, 1},
    {L"exit", 1, 1, 0, 0},
    {L"no-box", 0, 0, 0, 0},
    {L"payload-starts", 1, 1, 0, 0},
    {L"payload-cwd", 1, 1, 0, 0},
    {L"payload-build", 1, 1, 0, 0},
    {L"took-at-least", 1, 1, 0, 0},
    {L"took-under", 1, 1, 0, 0},
    {L"cpu-under", 1, 1, 0, 0},
    {L"payload-ended-first", 0, 0, 0, 0},
    {L"payload-without-error-box", 0, 0, 0, 0},
    {L"entry", 1, 2, 1, 0},
    {L"installer-record", 1, 1, 1, 0},
    {L"dll-directories", 1, 8, 0, 1},
    {L"waits", 1, 8, 0, 1},
    {L"wrapper-loads", 1, 8, 0, 1},
    {L"loads-before-narrowing-only-from", 1, 1, 0, 1},
    {L"not-loaded-before-narrowing", 1, 8, 0, 1},
    {L"loaded-after-narrowing", 1, 1, 0, 1},
    {L"not-loaded", 1, 8, 0, 1},
    {L"loaded", 1, 1, 0, 1},
    {L"loads-only-from", 1, 1, 0, 1},
    {L"none-loaded-from", 1, 1, 0, 1},
    {L"attack", 4, 4, 0, 0},
    {L"same-file", 2, 2, 0, 0},
    {L"length", 2, 2, 0, 0},
};
const ExpectForm* FindExpectation(const Word& word) {
    for (const ExpectForm& form : kExpectations)
        if (WordIs(word, form.name))
            return &form;
    return nullptr;
}
