#include "text/wide_text.h"

size_t BoundedTextLength(const WideUnit* text, size_t limit) {
    size_t length = 0;
    while (length <= limit && text[length] != 0)
        ++length;
    return length;
}

int AppendText(WideUnit* buffer, size_t capacity, const WideUnit* text) {
    size_t used = BoundedTextLength(buffer, capacity);
    if (used >= capacity)
        return 1;
    size_t added = BoundedTextLength(text, capacity);
    if (added >= capacity - used)
        return 1;
    for (size_t i = 0; i <= added; ++i)
        buffer[used + i] = text[i];
    return 0;
}

int CopyTextPrefix(WideUnit* buffer, size_t capacity, const WideUnit* source, size_t count) {
    if (count >= capacity)
        return 1;
    for (size_t i = 0; i < count; ++i)
        buffer[i] = source[i];
    buffer[count] = 0;
    return 0;
}
