#pragma once

#include "launch/wide_text.h"

// Everything from the entry point to the exit status: composes the plan from the own path,
// argumentText and the system's width, starts the payload, waits for it, runs the
// post-install step. Returns 0 once the payload was started, 1 after a reported error.
int RunSetupWrapper(const WideUnit* argumentText);
