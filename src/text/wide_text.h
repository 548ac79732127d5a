#pragma once

#include <cstddef>

#include "text/text_unit.h"

// Length of text, but never looks past limit units: returns limit + 1 when text is longer.
size_t BoundedTextLength(const WideUnit* text, size_t limit);

// Appends text to the NUL-terminated buffer of capacity units (terminator included).
// Returns 0, or 1 without touching buffer when the result would not fit.
int AppendText(WideUnit* buffer, size_t capacity, const WideUnit* text);

// Copies the first count units of source into buffer and terminates it.
// Returns 0, or 1 without touching buffer when count units and a NUL do not fit.
int CopyTextPrefix(WideUnit* buffer, size_t capacity, const WideUnit* source, size_t count);
