#pragma once

#include "text/wide_text.h"

// Cuts everything from the first "Beta" (any case) out of one value of the product's
// uninstall entry. Returns 0 when the value holds no tag or was written back shortened,
// 1 when the key could not be opened, the value read or the shorter text written.
int CleanUninstallValue(const WideUnit* valueName);

// Runs after the payload has ended: cleans "Comments", "DisplayName" and "DisplayVersion"
// in that order, each on its own; nothing is reported.
void RunPostInstallStep();
