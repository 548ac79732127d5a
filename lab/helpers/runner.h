#pragma once

// The end-to-end runner's parts. A part calls only those below it: e2e_runner, case, expect,
// safety, text, files.

#include "debugger.h"
#include "helper_util.h"

// Units of one word once its placeholders are filled in, and of a path.
const size_t kTextCapacity = 4096;
const size_t kPathCapacity = 1024;
const int kWordCapacity = 24;
const int kLineCapacity = 16384;
const size_t kDataFileCapacity = 512 * 1024;
const size_t kFailuresCapacity = 32 * 1024;
const int kEventCapacity = 512;
const int kUserValueCapacity = 8;
const size_t kValueDataCapacity = 4096;
const size_t kEnvironmentCapacity = 128 * 1024;
const size_t kFileCapacity = 8 * 1024 * 1024;
const size_t kRecordCapacity = 64 * 1024;
// In the work folder: the mark that makes it the runner's, and the record of what to put back.
const wchar_t kWorkMarkName[] = L"e2e_runner.mark";
const wchar_t kRecordName[] = L"pending-restore.txt";

// A line of the cases file: its number, indentation and text (inside the file's buffer).
struct DataLine {
    int number;
    int indent;
    const wchar_t* text;
};

// A word as written: its text between bars or not. Bars keep blanks inside a word.
struct Word {
    const wchar_t* start;
    size_t length;
    int barred;
};

// The kinds of system, as the header's "not-here" lines name them.
enum SystemKind { kWine64, kWine32, kWindows64, kWindows32, kSystemKinds };

struct DataFile {
    int declared;              // the count the header declares, -1 without a header
    int notHere[kSystemKinds]; // how many cases are not here on each kind, -1 where not said
    int lineCount;
    DataLine lines[kLineCapacity];
    int caseCount;
    int caseLines[kLineCapacity]; // index of each "case" line
};

// What the checks of DLL lists read: a DLL loaded, or the wrapper's own code narrowed the search
// or asked for one.
enum EventKind { kLoaded, kNarrowed, kLibraryAsked };
struct ProcessEvent {
    int kind;
    wchar_t path[kPathCapacity];
};

struct RunResult {
    DWORD exitCode;
    int timedOut;
    long long startQpc, endQpc, frequency;
    double cpuMilliseconds; // the wrapper's own, user and kernel, as GetProcessTimes gives it
    const wchar_t* traced;  // the kinds of call its record shows (trace=); empty: untraced
    long long deadline;     // when the runner ends it
    int boxShown;
    int eventCount;
    ProcessEvent events[kEventCapacity];
    int payloadCount;
    long long payloadEndQpc; // 0 until a payload ended
    DWORD payloadErrorMode;  // the first payload's, 0 unknown
    int atHashRan;
    HANDLE process; // the wrapper's, while it runs
    DWORD processId;
    DWORD hashedAt, hashedCount;     // the buffer of the wrapper's first CryptHashData call
    wchar_t record[kRecordCapacity]; // what the run did, in the cases file's words
    size_t recordLength;
    int recordFull;
};

struct Setting {
    wchar_t work[kPathCapacity];
    wchar_t programs[kPathCapacity];
    wchar_t self[kPathCapacity];
    wchar_t system[kPathCapacity];
    wchar_t wow64System[kPathCapacity];     // the 32-bit system folder's real path, or empty
    wchar_t temp[kPathCapacity];            // the Windows folder's Temp, where pinned builds copy
    wchar_t payloadLog[kPathCapacity];      // the stand-in payload's record of this run
    wchar_t installerRecord[kPathCapacity]; // the lab's NSIS installer's
    int is64;
    int onWine;
};

struct CaseState {
    const Setting* setting;
    const DataFile* data;
    int firstLine, endLine; // its lines, "case" line excluded
    wchar_t folder[kPathCapacity];
    wchar_t exe[kPathCapacity];
    int notHere;                   // it says it does not run here, for reason
    wchar_t reason[kTextCapacity]; // why it, or some of its lines, do not run here
    int atHashLine;                // the item line whose command the run runs at CryptHashData
    int skippedLines;              // lines passed by as Wine's own
    int runs;                      // the runs that took place
    int currentLine;
    RunResult* observing; // the run going on, for at-hash's commands
    RunResult* run;       // the last run, for expect
    wchar_t failures[kFailuresCapacity];
    size_t failuresLength;
};

// runner_text.cpp
extern const wchar_t* const kSystemKindNames[kSystemKinds];
int ReadDataFile(const wchar_t* path, DataFile* data, wchar_t* error, size_t capacity);
int SplitWords(const wchar_t* text, Word* words, int capacity);
int WordIs(const Word& word, const wchar_t* text);
// The word without its bars, placeholders filled in; 0 when one is unknown or it does not fit.
int ExpandWord(const CaseState* state, const Word& word, wchar_t* out, size_t capacity);
// Registry data from words: TYPE then parts; returns the byte count, or -1.
long ReadValueData(const CaseState* state, const Word* words, int count, DWORD* type,
                   unsigned char* data, size_t capacity);
// The text as the cases file would write it, between bars.
void QuoteText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity);
// Prints as printf would, in UTF-8.
void Print(const wchar_t* format, ...);
void AddFailure(CaseState* state, const wchar_t* format, ...);
// The word at index filled in (or a failure naming it); as a path inside the work folder.
int Expand(CaseState* state, const Word* words, int index, wchar_t* out, size_t capacity);
int ExpandWorkPath(CaseState* state, const Word* words, int index, wchar_t* out);
int IsItemLine(const DataLine& line);

// runner_case.cpp
void RunCaseLines(CaseState* state);
int ValidateDataFile(const DataFile* data, wchar_t* error, size_t capacity);

// runner_expect.cpp
void DoExpect(CaseState* state, const Word* words, int count);
// Appends count words to the run's record and ends its line there.
void AddLine(RunResult* run, int count, ...);
// The rest of the record: the payloads started, the installer's events, the entry, the exit.
void MakeRecord(const CaseState* state, RunResult* run);
// Why the words after "expect" are no expectation, or null.
const wchar_t* CheckExpectation(const Word* words, int count);

// runner_files.cpp
// A message into error, as printf would write it, cut to capacity.
void Say(wchar_t* error, size_t capacity, const wchar_t* format, ...);
int MakeWorkPath(const CaseState* state, const wchar_t* relative, wchar_t* out);
const wchar_t* PlainOf(const wchar_t* path);
int IsUnder(const wchar_t* path, const wchar_t* folder);
// Notes the copy folders ({temp}\VuqSetup-NAME) there now, or (note 0) finds one made since.
int ScanCopyFolders(const Setting* setting, int note, wchar_t* path);
// A path in a copy's folder as records show it: {temp}\VuqSetup-*\NAME.
void MaskCopyFolder(const Setting* setting, wchar_t* path);
int RemovePath(const wchar_t* path);
const wchar_t* EmptyWorkFolder(const wchar_t* work);
int MakeFolders(const CaseState* state, const wchar_t* folder);
long ReadWholeFile(const wchar_t* path, unsigned char* buffer);
// The buffer for a whole file, as each of the runner's parts reads one at a time.
extern unsigned char fileBuffer[kFileCapacity];
int WriteWholeFile(const wchar_t* path, const void* bytes, DWORD size);
int MakeLink(const wchar_t* link, const wchar_t* target);

// runner_safety.cpp
// The refusals at the start, what a killed run left put back, the work folder emptied; 0 (and
// why in error) to refuse.
int PrepareRun(const wchar_t* work, wchar_t* error, size_t capacity);
int BeginSafeRun(const wchar_t* work);
// The entry's values set (or, values null, the entry deleted); 0 when that failed. The stop
// handler waits meanwhile, as for each change the case makes outside the work folder.
int ChangeEntry(const wchar_t* values);
int SetUserValue(const wchar_t* key, const wchar_t* name, DWORD type, const unsigned char* data,
                 DWORD size);
// Everything put back and the record rewritten (its time tells a leftover entry from a later
// installation); after the last case, the record deleted.
void RestoreAfterCase(int last);
void WatchJob(HANDLE job);
