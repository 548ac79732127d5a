#include "launch/run_sequence.h"

#include "cleanup/uninstall_cleanup.h"
#include "launch/argument_text.h"
#include "launch/launch_plan.h"
#include "platform/platform.h"

// The own path must leave room for its terminator; a longer one is refused, never cut.
const size_t kOwnPathCapacity = 512;
// The longest path shown, the longest words around it (a pinned build's refusals are the
// longest), NUL.
const size_t kPathMessageCapacity = kApplicationPathCapacity + 80;

enum OwnPathResult { kOwnPathRead, kOwnPathUnsplit, kOwnPathTooLong };

// Session 0 shows nothing to anybody from Vista on, though its console's window station is
// flagged visible. On XP session 0 is the first user's to log on, seen at the console or when
// that user switches back to it, so a box there is shown as anywhere. An unknown session counts
// as seen.
static int IsInUnseenSession() {
    unsigned long session = 0;
    return QueryProcessSession(&session) && session == 0 && IsSession0Isolated() &&
           QueryConsoleSession() != 0;
}

// A box where nobody sees it would wait for a click that never comes, and the wrapper with it:
// there the exit status alone tells of the error.
static int ReportError(const WideUnit* message, const WideUnit* caption) {
    if (IsInUnseenSession())
        return 1;
    if (IsWindowStationVisible())
        ShowMessageBox(message, caption, kMessageBoxError);
    return 1;
}

// The first element of the split command line names the program as it was invoked.
static OwnPathResult ReadOwnPath(WideUnit* ownPath) {
    int count = 0;
    WideUnit** arguments = SplitCommandLine(ReadProcessCommandLine(), &count);
    if (arguments == nullptr)
        return kOwnPathUnsplit;
    OwnPathResult result = kOwnPathUnsplit;
    if (count >= 1) {
        size_t length = BoundedTextLength(arguments[0], kOwnPathCapacity);
        int copyFailed = CopyTextPrefix(ownPath, kOwnPathCapacity, arguments[0], length);
        result = copyFailed ? kOwnPathTooLong : kOwnPathRead;
    }
    ReleaseSplitCommandLine(arguments);
    return result;
}

// A failed query counts as a 32-bit system.
static int IsSystem64Bit() {
    int isWow64 = 0;
    return QueryWow64Process(&isWow64) != 0 && isWow64 != 0;
}

// Not inlined: its message storage stays out of the run sequence's frame, which then stays
// under the 4 KB above which the compiler would need a stack probe from a runtime library.
[[gnu::noinline]] int ReportPathError(const WideUnit* before, const WideUnit* path,
                                      const WideUnit* after) {
    WideUnit message[kPathMessageCapacity] = {0};
    AppendText(message, kPathMessageCapacity, before);
    AppendText(message, kPathMessageCapacity, path);
    AppendText(message, kPathMessageCapacity, after);
    return ReportError(message, kCaptionSetup);
}

const WideUnit* StartUpWrapper() {
    RestrictDllSearchToSystem();
    PreloadSystemLibraries(kStartUpLibraries);
    const WideUnit* commandLine = ReadProcessCommandLine();
    return commandLine + SkipProgramName(commandLine);
}

int PlanLaunch(const WideUnit* argumentText, LaunchPlan* plan, int* is64) {
    WideUnit ownPath[kOwnPathCapacity];
    OwnPathResult ownPathResult = ReadOwnPath(ownPath);
    if (ownPathResult == kOwnPathUnsplit)
        return ReportError(u"GetCommandLineW failed", kCaptionSetup);
    if (ownPathResult == kOwnPathTooLong)
        return ReportError(kMessagePathTooLong, kCaptionWrapper);

    *is64 = IsSystem64Bit();
    LaunchError error;
    if (ComposeLaunchPlan(ownPath, argumentText, *is64, plan, &error) != 0)
        return ReportError(error.message, error.caption);
    return 0;
}

int StartPlannedPayload(const WideUnit* applicationPath, WideUnit* commandLine,
                        PlatformHandle heldPayload) {
    PayloadProcess payload;
    int started = StartProcess(applicationPath, commandLine, &payload);
    if (heldPayload != nullptr)
        ReleaseHandle(heldPayload);
    if (started == 0)
        return ReportStartFailure(applicationPath);

    // From here on nothing is reported: the payload ran, whatever it or the cleanup did.
    WaitForProcessEnd(payload.process);
    RunPostInstallStep();
    ReleaseHandle(payload.process);
    ReleaseHandle(payload.thread);
    return 0;
}

int ReportStartFailure(const WideUnit* applicationPath) {
    return ReportPathError(u"Cannot start ", applicationPath, u"\n");
}

int RunSetupWrapper(const WideUnit* argumentText) {
    LaunchPlan plan;
    int is64 = 0;
    if (PlanLaunch(argumentText, &plan, &is64) != 0)
        return 1;
    return StartPlannedPayload(plan.applicationPath, plan.commandLine, nullptr);
}
