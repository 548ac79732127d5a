#pragma once

// Plain models the harnesses compare the code under test against. They are written apart
// from the code under test and share nothing with it, so a fault in one is not copied into
// the other.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Property failures stop the run at once, so libFuzzer keeps the input as a crash.
inline void Require(bool holds) {
    if (!holds)
        __builtin_trap();
}

inline std::u16string ReadUnits(const uint8_t* data, size_t count) {
    std::u16string units(count, u'\0');
    if (count != 0)
        std::memcpy(&units[0], data, count * sizeof(char16_t));
    return units;
}

inline std::u16string UpToFirstNul(const std::u16string& units) {
    return units.substr(0, units.find(u'\0'));
}

inline unsigned ReadLittleEndian16(const uint8_t* data) {
    return static_cast<unsigned>(data[0]) | static_cast<unsigned>(data[1]) << 8u;
}

// Folds by table rather than by arithmetic: only a-z have a capital, nothing else changes.
inline char16_t UpperAsciiLetter(char16_t unit) {
    static const char16_t kLower[] = u"abcdefghijklmnopqrstuvwxyz";
    static const char16_t kUpper[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (size_t i = 0; i < 26; ++i) {
        if (kLower[i] == unit)
            return kUpper[i];
    }
    return unit;
}

inline std::u16string UpperAsciiLetters(const std::u16string& text) {
    std::u16string upper = text;
    for (char16_t& unit : upper)
        unit = UpperAsciiLetter(unit);
    return upper;
}

// Leftmost index of pattern in text ignoring the case of a-z only; -1 when either operand is
// empty or there is no occurrence.
inline long ReferenceFindNoCase(const std::u16string& text, const std::u16string& pattern) {
    if (text.empty() || pattern.empty())
        return -1;
    size_t found = UpperAsciiLetters(text).find(UpperAsciiLetters(pattern));
    return found == std::u16string::npos ? -1 : static_cast<long>(found);
}

// Independent of the fold above: two units match when equal, or when one is a capital A-Z
// and the other lies 32 above it.
inline int SameUnitIgnoringCase(char16_t a, char16_t b) {
    if (a == b)
        return 1;
    if (b >= u'A' && b <= u'Z' && a == b + 32)
        return 1;
    return a >= u'A' && a <= u'Z' && b == a + 32;
}

// An exactly sized heap copy, so the sanitizer sees any read past the terminator.
inline char16_t* CopyToHeap(const std::u16string& text) {
    char16_t* copy = new char16_t[text.size() + 1];
    std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    return copy;
}

// The text in buffer, or a trap when no NUL ends it within capacity units.
inline std::u16string TerminatedText(const char16_t* buffer, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i) {
        if (buffer[i] == 0)
            return std::u16string(buffer, i);
    }
    Require(false);
    return std::u16string();
}
