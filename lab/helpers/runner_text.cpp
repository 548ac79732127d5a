// The cases file: its lines, the words of a line, and the placeholders inside words; a case's
// failures.

#include "runner.h"

#include <stdarg.h>

static wchar_t fileText[kDataFileCapacity + 1];

void Say(wchar_t* error, size_t capacity, const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(error, capacity - 1, format, arguments);
    va_end(arguments);
    error[capacity - 1] = 0;
}

static int IsBlank(wchar_t unit) {
    return unit == L' ' || unit == L'\t';
}

const wchar_t* const kSystemKindNames[kSystemKinds] = {L"wine64", L"wine32", L"windows64",
                                                       L"windows32"};

// "not-here KIND N": how many cases do not run on that kind of system.
static int ReadNotHereLine(const wchar_t* line, DataFile* data) {
    wchar_t kind[16];
    int count = 0;
    for (int i = 0; i < kSystemKinds; ++i)
        if (swscanf(line, L"not-here %15ls %d", kind, &count) == 2 &&
            wcscmp(kind, kSystemKindNames[i]) == 0)
            return data->notHere[i] = count, 1;
    return 0;
}

// Reads the file whole, in UTF-8, and keeps its lines that are not comments or empty: the header,
// then the cases.
int ReadDataFile(const wchar_t* path, DataFile* data, wchar_t* error, size_t capacity) {
    long size = ReadWholeFile(path, fileBuffer);
    int skip = size >= 3 && memcmp(fileBuffer, "\xEF\xBB\xBF", 3) == 0 ? 3 : 0;
    int units = size < 0 || size >= static_cast<long>(kDataFileCapacity)
                    ? 0
                    : MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                          reinterpret_cast<char*>(fileBuffer) + skip,
                                          static_cast<int>(size) - skip, fileText,
                                          static_cast<int>(kDataFileCapacity));
    if (units == 0 && size != skip) {
        Say(error, capacity, L"cannot read the cases file as UTF-8 text (error %lu): %ls",
            GetLastError(), path);
        return 0;
    }
    fileText[units] = 0;
    ZeroMemory(data, sizeof(*data));
    data->declared = -1;
    for (int kind = 0; kind < kSystemKinds; ++kind)
        data->notHere[kind] = -1;
    wchar_t* next = fileText;
    for (int number = 1; next != nullptr; ++number) {
        wchar_t* line = next;
        next = wcschr(line, L'\n');
        if (next != nullptr)
            *next++ = 0;
        size_t length = wcslen(line);
        while (length > 0 && (IsBlank(line[length - 1]) || line[length - 1] == L'\r'))
            line[--length] = 0;
        int indent = 0;
        while (IsBlank(line[indent]))
            ++indent;
        const wchar_t* wrong = nullptr;
        if (line[indent] == 0 || line[indent] == L'#')
            continue;
        if (data->declared < 0)
            wrong = indent == 0 && swscanf(line, L"cases %d", &data->declared) == 1
                        ? nullptr
                        : L"the header \"cases N\" must come first";
        else if (indent == 0 && data->caseCount == 0 && ReadNotHereLine(line, data))
            continue;
        else if (data->lineCount == kLineCapacity)
            wrong = L"more lines than the runner takes";
        else if (indent == 0 && wcsncmp(line, L"case ", 5) != 0)
            wrong = L"a line at the margin must start a case";
        else if (indent > 0 && data->caseCount == 0)
            wrong = L"a case's line before any case";
        if (wrong != nullptr) {
            Say(error, capacity, L"line %d: %ls: %ls", number, wrong, line);
            return 0;
        }
        if (indent == 0 && wcsncmp(line, L"case ", 5) == 0)
            data->caseLines[data->caseCount++] = data->lineCount;
        else if (indent == 0)
            continue; // the header
        DataLine kept = {number, indent, line + indent};
        data->lines[data->lineCount++] = kept;
    }
    if (data->declared < 0) {
        Say(error, capacity, L"no header \"cases N\" in %ls", path);
        return 0;
    }
    return 1;
}

// Words are parted by blanks; a bar starts a stretch that runs to the next bar, blanks and all.
int SplitWords(const wchar_t* text, Word* words, int capacity) {
    int count = 0;
    while (*text != 0) {
        while (IsBlank(*text))
            ++text;
        if (*text == 0)
            break;
        if (count == capacity)
            return -1;
        Word* word = &words[count++];
        word->start = text;
        word->barred = 0;
        while (*text != 0 && !IsBlank(*text)) {
            if (*text == L'|') {
                word->barred = 1;
                const wchar_t* end = wcschr(text + 1, L'|');
                if (end == nullptr)
                    return -1;
                text = end;
            }
            ++text;
        }
        word->length = static_cast<size_t>(text - word->start);
    }
    return count;
}

int WordIs(const Word& word, const wchar_t* text) {
    return !word.barred && wcslen(text) == word.length &&
           wcsncmp(word.start, text, word.length) == 0;
}

struct Output {
    wchar_t* text;
    size_t length;
    size_t capacity;
    int full;
};

static void Put(Output* out, const wchar_t* text, size_t length) {
    if (out->length + length >= out->capacity) {
        out->full = 1;
        return;
    }
    memcpy(out->text + out->length, text, length * sizeof(wchar_t));
    out->length += length;
    out->text[out->length] = 0;
}

static void PutText(Output* out, const wchar_t* text) {
    Put(out, text, wcslen(text));
}

// A folder path C:\ddd...\ of exactly length units, its names under 255 units each.
static void PutLongFolder(Output* out, long length) {
    PutText(out, L"C:\\");
    static const wchar_t ds[] =
        L"dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
        L"dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd"
        L"dddddddddddddddddddddddddddddddddddddddddddddd";
    for (long used = 3; used < length;) {
        long size = length - used - 1 < 200 ? length - used - 1 : 200;
        Put(out, ds, static_cast<size_t>(size > 0 ? size : 0));
        PutText(out, L"\\");
        used += size + 1;
    }
}

static int ExpandInto(const CaseState* state, const wchar_t* text, size_t length, Output* out);

// The value of {name} or {name:argument}; 0 when there is no such placeholder. In capitals, its
// value in capitals.
static int PutPlaceholder(const CaseState* state, const wchar_t* name, size_t nameLength,
                          const wchar_t* argument, size_t argumentLength, Output* out) {
    const Setting* setting = state->setting;
    static const wchar_t* const names[] = {L"work", L"folder", L"exe",  L"payload", L"other",
                                           L"bits", L"system", L"temp", L"tab",     L"nl",
                                           L"bar",  L"repeat", L"long"};
    const wchar_t* values[] = {setting->work,
                               state->folder,
                               state->exe,
                               setting->is64 ? L"VuqSetup64.wzq" : L"VuqSetup.wzq",
                               setting->is64 ? L"VuqSetup.wzq" : L"VuqSetup64.wzq",
                               setting->is64 ? L"64" : L"32",
                               setting->system,
                               setting->temp,
                               L"\t",
                               L"\n",
                               L"|"};
    int which = -1, capitals = nameLength > 0;
    for (int i = 0; i < 13; ++i)
        if (wcslen(names[i]) == nameLength && _wcsnicmp(name, names[i], nameLength) == 0)
            which = i;
    for (size_t i = 0; i < nameLength; ++i)
        capitals = capitals && iswupper(name[i]);
    wchar_t expanded[kTextCapacity], value[kTextCapacity];
    Output inner = {expanded, 0, kTextCapacity, 0}, own = {value, 0, kTextCapacity, 0};
    expanded[0] = value[0] = 0;
    if (which < 0 || (argument != nullptr) != (which >= 11) ||
        (argument != nullptr && !ExpandInto(state, argument, argumentLength, &inner)))
        return 0;
    wchar_t* rest = expanded;
    long number = argument != nullptr ? wcstol(expanded, &rest, 10) : 0;
    if (which < 11) {
        PutText(&own, values[which]);
    } else if (which == 11) {
        if (*rest != L':' || number < 0)
            return 0;
        for (long i = 0; i < number && !own.full; ++i)
            PutText(&own, rest + 1);
    } else {
        if (*rest != L'-' && *rest != 0)
            return 0;
        PutLongFolder(&own, number - (*rest == L'-' ? static_cast<long>(wcslen(rest + 1)) : 0));
    }
    if (capitals)
        CharUpperBuffW(value, static_cast<DWORD>(own.length));
    Put(out, value, own.length);
    return !own.full;
}

static int ExpandInto(const CaseState* state, const wchar_t* text, size_t length, Output* out) {
    for (size_t i = 0; i < length; ++i) {
        if (text[i] == L'|')
            continue;
        if (text[i] != L'{') {
            Put(out, &text[i], 1);
            continue;
        }
        size_t depth = 1, end = i + 1, colon = 0;
        for (; end < length && depth > 0; ++end) {
            if (text[end] == L'{')
                ++depth;
            else if (text[end] == L'}')
                --depth;
            else if (text[end] == L':' && depth == 1 && colon == 0)
                colon = end;
        }
        if (depth != 0)
            return 0;
        // text[i] is '{', text[end - 1] the '}' that closes it.
        const wchar_t* name = &text[i + 1];
        size_t nameLength = (colon != 0 ? colon : end - 1) - i - 1;
        const wchar_t* argument = colon != 0 ? &text[colon + 1] : nullptr;
        size_t argumentLength = colon != 0 ? end - 1 - colon - 1 : 0;
        if (!PutPlaceholder(state, name, nameLength, argument, argumentLength, out))
            return 0;
        i = end - 1;
    }
    return !out->full;
}

int ExpandWord(const CaseState* state, const Word& word, wchar_t* out, size_t capacity) {
    Output output = {out, 0, capacity, 0};
    out[0] = 0;
    return ExpandInto(state, word.start, word.length, &output);
}

long ReadValueData(const CaseState* state, const Word* words, int count, DWORD* type,
                   unsigned char* data, size_t capacity) {
    if (count < 1)
        return -1;
    if (WordIs(words[0], L"sz"))
        *type = REG_SZ;
    else if (WordIs(words[0], L"expand-sz"))
        *type = REG_EXPAND_SZ;
    else if (!words[0].barred && iswdigit(words[0].start[0]))
        *type = static_cast<DWORD>(wcstoul(words[0].start, nullptr, 10));
    else
        return -1;
    size_t size = 0;
    static wchar_t text[kTextCapacity];
    for (int i = 1; i < count; ++i) {
        const Word& word = words[i];
        if (WordIs(word, L"nul")) {
            if (size + 2 > capacity)
                return -1;
            data[size++] = 0;
            data[size++] = 0;
        } else if (!word.barred && word.length > 4 && wcsncmp(word.start, L"hex:", 4) == 0) {
            long bytes = DecodeHex(word.start + 4, word.length - 4, data + size, capacity - size);
            if (bytes < 0)
                return -1;
            size += static_cast<size_t>(bytes);
        } else {
            if (!ExpandWord(state, word, text, kTextCapacity))
                return -1;
            size_t length = wcslen(text);
            if (size + 2 * length > capacity)
                return -1;
            memcpy(data + size, text, 2 * length);
            size += 2 * length;
        }
    }
    return static_cast<long>(size);
}

// Control units as the cases file writes them; a long run of one unit shortened.
void QuoteText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity) {
    Output output = {out, 0, capacity, 0};
    out[0] = 0;
    PutText(&output, L"|");
    for (size_t i = 0; i < length; ++i) {
        size_t run = 1;
        while (i + run < length && text[i + run] == text[i])
            ++run;
        if (run >= 16 && text[i] >= L' ') {
            wchar_t repeat[48];
            _snwprintf(repeat, 47, L"{repeat:%u:%lc}", static_cast<unsigned>(run), text[i]);
            repeat[47] = 0;
            PutText(&output, repeat);
            i += run - 1;
        } else if (text[i] == L'\t') {
            PutText(&output, L"{tab}");
        } else if (text[i] == L'\n') {
            PutText(&output, L"{nl}");
        } else if (text[i] == L'|') {
            PutText(&output, L"{bar}");
        } else if (text[i] < L' ') {
            wchar_t unit[16];
            _snwprintf(unit, 15, L"{U+%04X}", static_cast<unsigned>(text[i]));
            unit[15] = 0;
            PutText(&output, unit);
        } else {
            Put(&output, &text[i], 1);
        }
    }
    PutText(&output, L"|");
    if (output.full && capacity > 5)
        wcscpy(out + capacity - 5, L"...|");
}

void Print(const wchar_t* format, ...) {
    static wchar_t text[kFailuresCapacity + kTextCapacity];
    static char bytes[sizeof(text) / sizeof(wchar_t) * 3];
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(text, kFailuresCapacity + kTextCapacity - 1, format, arguments);
    va_end(arguments);
    text[kFailuresCapacity + kTextCapacity - 1] = 0;
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr);
    if (length > 1)
        fwrite(bytes, 1, static_cast<size_t>(length - 1), stdout);
    fflush(stdout);
}

// --- A case's failures, and words filled in or failing -------------------------------------

void AddFailure(CaseState* state, const wchar_t* format, ...) {
    static wchar_t line[kFailuresCapacity];
    int number = state->data->lines[state->currentLine].number;
    int used = _snwprintf(line, 64, L"    line %d: ", number);
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(line + used, kFailuresCapacity - static_cast<size_t>(used) - 2, format, arguments);
    va_end(arguments);
    line[kFailuresCapacity - 2] = 0;
    wcscat(line, L"\n");
    size_t length = wcslen(line);
    if (state->failuresLength + length + 16 >= kFailuresCapacity) {
        if (state->failuresLength + 16 < kFailuresCapacity) {
            wcscpy(state->failures + state->failuresLength, L"    ...\n");
            state->failuresLength += 8;
        }
        return;
    }
    wcscpy(state->failures + state->failuresLength, line);
    state->failuresLength += length;
}

// The word at index expanded, or a failure naming it.
int Expand(CaseState* state, const Word* words, int index, wchar_t* out, size_t capacity) {
    if (ExpandWord(state, words[index], out, capacity))
        return 1;
    AddFailure(state, L"cannot fill in %.*ls", static_cast<int>(words[index].length),
               words[index].start);
    return 0;
}

int ExpandWorkPath(CaseState* state, const Word* words, int index, wchar_t* out) {
    wchar_t relative[kPathCapacity];
    if (!Expand(state, words, index, relative, kPathCapacity))
        return 0;
    if (MakeWorkPath(state, relative, out))
        return 1;
    AddFailure(state, L"not a path inside the work folder: %ls", relative);
    return 0;
}

// An item line is indented further than a case's commands: it belongs to the command above.
int IsItemLine(const DataLine& line) {
    return line.indent > 2;
}
