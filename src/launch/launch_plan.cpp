#include "launch/launch_plan.h"

#include "text/text_search.h"

const WideUnit kCaptionSetup[] = u"VUQ Setup";
const WideUnit kCaptionWrapper[] = u"VUQ Setup Wrapper";
const WideUnit kMessagePathTooLong[] = u"Execute path is too long.";

static const WideUnit kWrapperFileName[] = u"vuqsetup.exe";
static const WideUnit kWrapperBareName[] = u"vuqsetup";
static const WideUnit kNoResetSwitch[] = u"/NoReset ";
static const WideUnit kPayload32[] = u"VuqSetup.wzq";
static const WideUnit kPayload64[] = u"VuqSetup64.wzq";

int SearchExeName(const WideUnit* ownPath) {
    int index = FindTextNoCase(ownPath, kWrapperFileName);
    if (index < 0)
        index = FindTextNoCase(ownPath, kWrapperBareName);
    return index;
}

const WideUnit* ChoosePayloadName(int is64) {
    return is64 ? kPayload64 : kPayload32;
}

static int Refuse(LaunchError* error, const WideUnit* message, const WideUnit* caption) {
    error->message = message;
    error->caption = caption;
    return 1;
}

int ComposeLaunchPlan(const WideUnit* ownPath, const WideUnit* argumentText, int is64,
                      LaunchPlan* plan, LaunchError* error) {
    int folderLength = SearchExeName(ownPath);
    if (folderLength < 0)
        return Refuse(error, u"SearchExeName failed", kCaptionSetup);

    const WideUnit* payloadName = ChoosePayloadName(is64);
    size_t payloadLength = BoundedTextLength(payloadName, kPathLimit);
    if (static_cast<size_t>(folderLength) + payloadLength > kPathLimit)
        return Refuse(error, kMessagePathTooLong, kCaptionWrapper);

    // Any argument at all replaces the switch: the payload then gets exactly what we got.
    const WideUnit* prefix = argumentText[0] == 0 ? kNoResetSwitch : u"";
    size_t prefixLength = BoundedTextLength(prefix, kCommandLineLimit);
    size_t argumentLength = BoundedTextLength(argumentText, kCommandLineLimit);
    if (prefixLength + argumentLength > kCommandLineLimit)
        return Refuse(error, u"Passed command line is too long.", kCaptionWrapper);

    CopyTextPrefix(plan->applicationPath, kApplicationPathCapacity, ownPath,
                   static_cast<size_t>(folderLength));
    AppendText(plan->applicationPath, kApplicationPathCapacity, payloadName);
    CopyTextPrefix(plan->commandLine, kCommandLineCapacity, prefix, prefixLength);
    AppendText(plan->commandLine, kCommandLineCapacity, argumentText);
    return 0;
}
