// Checks SkipProgramName against a model that counts quotes instead of toggling a state, on
// command lines of any units and any length.
//
// Input: read as UTF-16 units; the command line ends at the first NUL unit.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "launch/argument_text.h"
#include "reference_text.h"

namespace {

bool IsBlank(char16_t unit) {
    return unit >= 0x01 && unit <= 0x20;
}

// The name ends at the first blank preceded by an even number of quotes; then blanks go.
size_t ModelArgumentStart(const std::u16string& line) {
    size_t end = 0;
    for (; end < line.size(); ++end) {
        std::u16string before = line.substr(0, end);
        if (IsBlank(line[end]) && std::count(before.begin(), before.end(), u'"') % 2 == 0)
            break;
    }
    while (end < line.size() && IsBlank(line[end]))
        ++end;
    return end;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::u16string line = UpToFirstNul(ReadUnits(data, size / sizeof(char16_t)));
    char16_t* copy = CopyToHeap(line);
    size_t start = SkipProgramName(copy);

    Require(start == ModelArgumentStart(line));
    Require(start == line.size() || !IsBlank(line[start]));
    Require(std::u16string(copy, line.size() + 1) == line + u'\0');
    delete[] copy;
    return 0;
}
