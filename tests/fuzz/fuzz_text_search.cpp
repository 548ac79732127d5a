// Checks FindTextNoCase against a plain search, on operands of any units and any length,
// longer than the 511 units of the original scratch areas included.
//
// Input: two bytes give the pattern's length in units (taken modulo the units available),
// the rest is read as UTF-16 units, pattern first, text after. Each operand ends at its
// first NUL unit, as the routine sees it.

#include <cstddef>
#include <cstdint>
#include <string>

#include "reference_text.h"
#include "text/text_search.h"

namespace {

void CheckMatchAt(const std::u16string& text, const std::u16string& pattern, long index) {
    size_t start = static_cast<size_t>(index);
    Require(start + pattern.size() <= text.size());
    for (size_t i = 0; i < pattern.size(); ++i)
        Require(SameUnitIgnoringCase(text[start + i], pattern[i]) != 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    size_t available = (size - 2) / sizeof(char16_t);
    size_t split = ReadLittleEndian16(data) % (available + 1);
    std::u16string units = ReadUnits(data + 2, available);
    std::u16string pattern = UpToFirstNul(units.substr(0, split));
    std::u16string text = UpToFirstNul(units.substr(split));

    char16_t* textCopy = CopyToHeap(text);
    char16_t* patternCopy = CopyToHeap(pattern);
    long found = FindTextNoCase(textCopy, patternCopy);

    Require(found == ReferenceFindNoCase(text, pattern));
    if (found >= 0)
        CheckMatchAt(text, pattern, found);
    Require(std::u16string(textCopy, text.size() + 1) == text + u'\0');
    Require(std::u16string(patternCopy, pattern.size() + 1) == pattern + u'\0');
    delete[] textCopy;
    delete[] patternCopy;
    return 0;
}
