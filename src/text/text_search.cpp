#include "text/text_search.h"

#include <climits>

// Only a-z fold, as towupper does in the C locale that the program never leaves;
// a fixed rule keeps both builds identical whatever their wchar_t is.
static WideUnit FoldCase(WideUnit unit) {
    if (unit >= u'a' && unit <= u'z')
        return static_cast<WideUnit>(unit - (u'a' - u'A'));
    return unit;
}

static int MatchesAt(const WideUnit* text, const WideUnit* pattern) {
    for (size_t i = 0; pattern[i] != 0; ++i) {
        if (text[i] == 0 || FoldCase(text[i]) != FoldCase(pattern[i]))
            return 0;
    }
    return 1;
}

// Compares in place instead of upper-casing copies into scratch storage, so an operand of
// any length is safe and nothing is allocated.
int FindTextNoCase(const WideUnit* text, const WideUnit* pattern) {
    if (text[0] == 0 || pattern[0] == 0)
        return -1;
    for (size_t start = 0; text[start] != 0 && start <= INT_MAX; ++start) {
        if (MatchesAt(text + start, pattern))
            return static_cast<int>(start);
    }
    return -1;
}
