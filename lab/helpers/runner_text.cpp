// The cases file: its lines, their words, the placeholders in words; a case's failures.

#include "runner.h"

static wchar_t fileText[kDataFileCapacity + 1];

const wchar_t* const kSystemKindNames[kSystemKinds] = {L"wine64", L"wine32", L"windows64",
                                                       L"windows32"};

// "cases N" first, then "not-here KIND N" lines; 0 when line is neither.
static int ReadHeaderLine(const wchar_t* line, DataFile* data) {
    wchar_t kind[16];
    int count = 0;
    if (data->declared < 0)
        return swscanf(line, L"cases %d", &data->declared) == 1;
    for (int i = 0; i < kSystemKinds; ++i)
        if (swscanf(line, L"not-here %15ls %d", kind, &count) == 2 &&
            wcscmp(kind, kSystemKindNames[i]) == 0)
            return data->notHere[i] = count, 1;
    return 0;
}

// Keeps the lines of the file, in UTF-8, that are neither comments nor empty.
int ReadDataFile(const wchar_t* path, DataFile* data, wchar_t* error, size_t capacity) {
    long size = ReadWholeFile(path, fileBuffer);
    int units = size > 0 ? MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS,
                                               reinterpret_cast<char*>(fileBuffer),
                                               static_cast<int>(size), fileText, kDataFileCapacity)
                         : 0;
    if (units == 0 && size != 0) {
        Say(error, capacity, L"cannot read the cases file as UTF-8 text (error %lu): %ls",
            GetLastError(), path);
        return 0;
    }
    fileText[units] = 0;
    ZeroMemory(data, sizeof(*data));
    data->declared = -1;
    FillMemory(data->notHere, sizeof(data->notHere), 0xFF);          // -1 each
    wchar_t* next = fileText[0] == 0xFEFF ? fileText + 1 : fileText; // past a byte order mark
    for (int number = 1; next != nullptr; ++number) {
        wchar_t* line = next;
        size_t length = wcscspn(line, L"\n");
        next = line[length] != 0 ? line + length + 1 : nullptr;
        while (length > 0 && wcschr(L" \t\r", line[length - 1]) != nullptr)
            --length;
        line[length] = 0;
        int indent = static_cast<int>(wcsspn(line, L" \t"));
        int starts = indent == 0 && wcsncmp(line, L"case ", 5) == 0;
        if (line[indent] == 0 || line[indent] == L'#' ||
            (indent == 0 && data->caseCount == 0 && ReadHeaderLine(line, data)))
            continue;
        if (data->declared < 0 || data->lineCount == kLineCapacity ||
            (!starts && (indent == 0 || data->caseCount == 0))) {
            Say(error, capacity, L"line %d: the header first, then cases (%d lines at most): %ls",
                number, kLineCapacity, line);
            return 0;
        }
        if (starts)
            data->caseLines[data->caseCount++] = data->lineCount;
        data->lines[data->lineCount++] = DataLine{number, indent, line + indent};
    }
    if (data->declared < 0)
        Say(error, capacity, L"no header \"cases N\" in %ls", path);
    return data->declared >= 0;
}

// Words are parted by blanks; a bar starts a stretch that runs to the next bar, blanks and all.
int SplitWords(const wchar_t* text, Word* words, int capacity) {
    int count = 0;
    for (text += wcsspn(text, L" \t"); *text != 0; text += wcsspn(text, L" \t")) {
        if (count == capacity)
            return -1;
        Word word = {text, 0, 0};
        for (; *text != 0 && *text != L' ' && *text != L'\t'; ++text) {
            if (*text == L'|')
                text = wcschr(text + 1, L'|');
            if (text == nullptr)
                return -1;
            word.barred = word.barred || *text == L'|';
        }
        word.length = static_cast<size_t>(text - word.start);
        words[count++] = word;
    }
    return count;
}

int WordIs(const Word& word, const wchar_t* text) {
    return !word.barred && wcsncmp(word.start, text, word.length) == 0 && text[word.length] == 0;
}

struct Output {
    wchar_t* text;
    size_t length, capacity;
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

// Fills text in up to end, or in a placeholder's argument (inside) up to the brace that closes
// it; returns where it stopped, or null when a placeholder is unknown or not closed, or out full.
static const wchar_t* ExpandInto(const CaseState* state, const wchar_t* text, const wchar_t* end,
                                 int inside, Output* out) {
    static const wchar_t* const names[] = {L"work",  L"folder", L"exe",    L"payload",
                                           L"other", L"bits",   L"system", L"temp",
                                           L"tab",   L"nl",     L"bar"};
    const Setting* setting = state->setting;
    const wchar_t* const payloads[] = {L"VuqSetup.wzq", L"VuqSetup64.wzq"};
    const wchar_t* const bits[] = {L"32", L"64"};
    int is64 = setting->is64 != 0;
    const wchar_t* const values[] = {
        setting->work, state->folder,   state->exe,    payloads[is64], payloads[1 - is64],
        bits[is64],    setting->system, setting->temp, L"\t",          L"\n",
        L"|"};
    for (; text < end && (!inside || *text != L'}'); ++text) {
        if (*text != L'{') {
            if (*text != L'|')
                Put(out, text, 1);
            continue;
        }
        const wchar_t* start = ++text;
        text += wcscspn(text, L":}");
        wchar_t name[16], argument[kTextCapacity] = L"", *rest = argument;
        Output expanded = {argument, 0, kTextCapacity, 0};
        Say(name, 16, L"%.*ls", static_cast<int>(text - start), start);
        int argued = text < end && *text == L':';
        if (argued)
            text = ExpandInto(state, text + 1, end, 1, &expanded);
        if (text == nullptr || text >= end)
            return nullptr;
        long number = wcstol(argument, &rest, 10);
        int which = 0;
        while (which < 11 && _wcsicmp(name, names[which]) != 0)
            ++which;
        size_t from = out->length;
        if (which < 11 && !argued) {
            Put(out, values[which], wcslen(values[which]));
        } else if (_wcsicmp(name, L"repeat") == 0 && argued && *rest == L':' && number >= 0) {
            for (long i = 0; i < number && !out->full; ++i)
                Put(out, rest + 1, wcslen(rest + 1));
        } else if (_wcsicmp(name, L"long") == 0 && argued && (*rest == L'-' || *rest == 0)) {
            // A folder path C:\ddd...\ of exactly that many units, its names of 200 units at most.
            long size = number - (*rest == L'-' ? static_cast<long>(wcslen(rest + 1)) : 0);
            Put(out, L"C:\\", 3);
            for (long used = 3; used < size; ++used)
                Put(out, used + 1 == size || (used - 3) % 201 == 200 ? L"\\" : L"d", 1);
        } else {
            return nullptr;
        }
        if (name[0] != 0 && wcsspn(name, L"ABCDEFGHIJKLMNOPQRSTUVWXYZ") == wcslen(name))
            CharUpperBuffW(out->text + from, static_cast<DWORD>(out->length - from));
    }
    return (inside && text == end) || out->full ? nullptr : text;
}

int ExpandWord(const CaseState* state, const Word& word, wchar_t* out, size_t capacity) {
    Output output = {out, 0, capacity, 0};
    out[0] = 0;
    return ExpandInto(state, word.start, word.start + word.length, 0, &output) != nullptr;
}

long ReadValueData(const CaseState* state, const Word* words, int count, DWORD* type,
                   unsigned char* data, size_t capacity) {
    if (count < 1 || words[0].barred)
        return -1;
    *type = static_cast<DWORD>(wcstoul(words[0].start, nullptr, 10));
    if (WordIs(words[0], L"sz") || WordIs(words[0], L"expand-sz"))
        *type = WordIs(words[0], L"sz") ? REG_SZ : REG_EXPAND_SZ;
    else if (!iswdigit(words[0].start[0]))
        return -1;
    size_t size = 0;
    static wchar_t text[kTextCapacity];
    for (int i = 1; i < count; ++i) {
        const Word& word = words[i];
        int hex = !word.barred && word.length > 4 && wcsncmp(word.start, L"hex:", 4) == 0;
        int nul = WordIs(word, L"nul"); // one NUL unit
        long bytes = -1;
        if (hex)
            bytes = DecodeHex(word.start + 4, word.length - 4, data + size, capacity - size);
        else if (nul || ExpandWord(state, word, text, kTextCapacity))
            bytes = 2 * static_cast<long>(nul ? 1 : wcslen(text));
        if (bytes < 0 || size + static_cast<size_t>(bytes) > capacity)
            return -1;
        if (!hex)
            memcpy(data + size, nul ? L"" : text, static_cast<size_t>(bytes));
        size += static_cast<size_t>(bytes);
    }
    return static_cast<long>(size);
}

// Control units and bars as the cases file writes them; a long run of one unit shortened.
void QuoteText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity) {
    Output output = {out, 0, capacity, 0};
    Put(&output, L"|", 1);
    for (size_t i = 0; i < length; ++i) {
        size_t run = 1;
        while (i + run < length && text[i + run] == text[i])
            ++run;
        wchar_t piece[48] = {text[i], 0};
        if (run >= 16 && text[i] >= L' ') {
            Say(piece, 48, L"{repeat:%u:%lc}", static_cast<unsigned>(run), text[i]);
            i += run - 1;
        } else if (text[i] == L'\t' || text[i] == L'\n' || text[i] == L'|') {
            Say(piece, 48, L"{%ls}", text[i] == L'\t' ? L"tab" : text[i] == L'\n' ? L"nl" : L"bar");
        } else if (text[i] < L' ') {
            Say(piece, 48, L"{U+%04X}", static_cast<unsigned>(text[i]));
        }
        Put(&output, piece, wcslen(piece));
    }
    Put(&output, L"|", 1);
    if (output.full && capacity > 5)
        wcscpy(out + capacity - 5, L"...|");
}

void Print(const wchar_t* format, ...) {
    static wchar_t text[kFailuresCapacity + kTextCapacity]; // its last unit, never written, is 0
    static char bytes[sizeof(text) / sizeof(wchar_t) * 3];
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(text, kFailuresCapacity + kTextCapacity - 1, format, arguments);
    va_end(arguments);
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes, sizeof(bytes), nullptr, nullptr) > 0)
        fputs(bytes, stdout);
    fflush(stdout);
}

void AddFailure(CaseState* state, const wchar_t* format, ...) {
    // Past the buffer's end a failure is cut, its line ended all the same.
    wchar_t* end = state->failures + state->failuresLength;
    size_t room = kFailuresCapacity - state->failuresLength - 1;
    if (room < 32)
        return;
    int used = _snwprintf(end, 32, L"    line %d: ", state->data->lines[state->currentLine].number);
    va_list arguments;
    va_start(arguments, format);
    _vsnwprintf(end + used, room - static_cast<size_t>(used) - 1, format, arguments);
    va_end(arguments);
    end[room - 1] = 0;
    wcscat(end, L"\n");
    state->failuresLength += wcslen(end);
}

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
