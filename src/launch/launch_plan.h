#pragma once

#include "text/wide_text.h"

// Longest application path and longest command line the wrapper hands to the payload.
const size_t kPathLimit = 512;
const size_t kCommandLineLimit = 512;
// The folder part and the application path share one buffer of this size.
const size_t kApplicationPathCapacity = 520;
const size_t kCommandLineCapacity = kCommandLineLimit + 1;

struct LaunchPlan {
    WideUnit applicationPath[kApplicationPathCapacity];
    WideUnit commandLine[kCommandLineCapacity];
};

// A refusal: constant texts, shown in one message box.
struct LaunchError {
    const WideUnit* message;
    const WideUnit* caption;
};

extern const WideUnit kCaptionSetup[];
extern const WideUnit kCaptionWrapper[];
extern const WideUnit kMessagePathTooLong[];

// Number of units before the wrapper's name in ownPath, or -1 when neither the file name
// nor the bare name occurs there.
int SearchExeName(const WideUnit* ownPath);

// The file name of the payload for this system's width.
const WideUnit* ChoosePayloadName(int is64);

// Fills plan and returns 0, or fills error and returns 1. Touches nothing else.
int ComposeLaunchPlan(const WideUnit* ownPath, const WideUnit* argumentText, int is64,
                      LaunchPlan* plan, LaunchError* error);
