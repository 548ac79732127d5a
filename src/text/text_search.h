#pragma once

#include "text/wide_text.h"

// Index of the leftmost occurrence of pattern in text, ignoring the case of a-z only;
// -1 when there is none or either operand is empty. The index is also the number of
// units before the occurrence, which is how callers use it.
int FindTextNoCase(const WideUnit* text, const WideUnit* pattern);
