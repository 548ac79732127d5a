#pragma once

#include <cstddef>

#include "text/wide_text.h"

// Where the argument text starts in a full process command line: after the program name and
// the blanks that follow it. The rest of the line is the argument text, kept as it stands.
size_t SkipProgramName(const WideUnit* commandLine);
