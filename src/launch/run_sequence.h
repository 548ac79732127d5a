#pragma once

#include "launch/launch_plan.h"
#include "platform/platform.h"

// What the process entry does before anything else: narrows the DLL search to the system
// folder, or where it cannot, preloads what system code loads by bare name from the command
// line's split on, then returns the argument text, which lies inside the process command line.
const WideUnit* StartUpWrapper();

// Everything from the entry point to the exit status: composes the plan from the own path,
// argumentText and the system's width, starts the payload, waits for it, runs the
// post-install step. Returns 0 once the payload was started, 1 after a reported error.
int RunSetupWrapper(const WideUnit* argumentText);

// The steps RunSetupWrapper is made of, which a pinned build runs with its check in between.
// Each returns 0, or 1 after it reported an error.
//   PlanLaunch: own path, system width, plan.
//   StartPlannedPayload: starts applicationPath with commandLine and runs everything after;
//   heldPayload (or null) is released as soon as CreateProcessW has returned.
//   ReportStartFailure: the box for a payload that cannot be started.
//   ReportPathError: the box, caption "VUQ Setup", of before + path + after; where nobody can
//   see a box (a service's window station), none. Always 1.
int PlanLaunch(const WideUnit* argumentText, LaunchPlan* plan, int* is64);
int StartPlannedPayload(const WideUnit* applicationPath, WideUnit* commandLine,
                        PlatformHandle heldPayload);
int ReportStartFailure(const WideUnit* applicationPath);
int ReportPathError(const WideUnit* before, const WideUnit* path, const WideUnit* after);
