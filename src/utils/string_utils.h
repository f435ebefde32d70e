#pragma once
#include <cstddef>
#include <string>

namespace OxeUtils {

// Bounded printf into a fixed buffer: writes at most size-1 characters and a NUL.
// Returns the length the whole output would have had, or -1 if formatting failed.
int formatString(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(gnu_printf, 3, 4)));

// UTF-16 to UTF-8. Throws std::range_error("bad conversion") on text that cannot be
// converted, such as an unpaired surrogate.
std::string wideToUtf8(const std::wstring& text);

// The same conversion for text that comes from outside and may be malformed: false, and
// `converted` left as it was, when the text is not valid UTF-16.
bool tryWideToUtf8(const std::wstring& text, std::string& converted);

// Copy with every byte passed through tolower() of the "C" locale: only A-Z change.
std::string toLower(const std::string& text);

}  // namespace OxeUtils
