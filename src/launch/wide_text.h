#pragma once

#include <cstddef>

// Text is UTF-16 code units on every build, so the logic tested natively is the logic shipped.
// A WideText is a NUL-terminated array of WideUnit; lengths never count the terminator.
typedef char16_t WideUnit;

// Length of text, but never looks past limit units: returns limit + 1 when text is longer.
size_t BoundedTextLength(const WideUnit* text, size_t limit);

// Appends text to the NUL-terminated buffer of capacity units (terminator included).
// Returns 0, or 1 without touching buffer when the result would not fit.
int AppendText(WideUnit* buffer, size_t capacity, const WideUnit* text);

// Copies the first count units of source into buffer and terminates it.
// Returns 0, or 1 without touching buffer when count units and a NUL do not fit.
int CopyTextPrefix(WideUnit* buffer, size_t capacity, const WideUnit* source, size_t count);
