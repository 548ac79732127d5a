#pragma once

#include "text/wide_text.h"

// What the process entry does before anything else: narrows the DLL search to the system
// folder, then returns the argument text, which lies inside the process command line.
const WideUnit* StartUpWrapper();

// Everything from the entry point to the exit status: composes the plan from the own path,
// argumentText and the system's width, starts the payload, waits for it, runs the
// post-install step. Returns 0 once the payload was started, 1 after a reported error.
int RunSetupWrapper(const WideUnit* argumentText);
