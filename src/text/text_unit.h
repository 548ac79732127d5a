#pragma once

// Text is UTF-16 code units on every build, so the logic tested natively is the logic shipped.
// A WideText is a NUL-terminated array of WideUnit; lengths never count the terminator.
typedef char16_t WideUnit;
