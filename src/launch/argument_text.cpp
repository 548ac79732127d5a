#include "launch/argument_text.h"

const WideUnit kQuote = u'"';
const WideUnit kLastBlank = 0x20;

size_t SkipProgramName(const WideUnit* commandLine) {
    // Quotes switch quoting on and off and belong to the name; blanks end it only outside them.
    size_t at = 0;
    int inQuotes = 0;
    while (commandLine[at] != 0 && (inQuotes || commandLine[at] > kLastBlank)) {
        if (commandLine[at] == kQuote)
            inQuotes = !inQuotes;
        ++at;
    }
    // Every unit from 0x01 to 0x20 after the name counts as a blank, tabs and controls included.
    while (commandLine[at] != 0 && commandLine[at] <= kLastBlank)
        ++at;
    return at;
}
