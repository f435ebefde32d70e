#include "utils/string_utils.h"

#include <cctype>
#include <codecvt>
#include <cstdarg>
#include <cstdio>
#include <locale>
#include <stdexcept>
#include <utility>

namespace OxeUtils {

int formatString(char* buffer, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    return length < 0 ? -1 : length;
}

std::string wideToUtf8(const std::wstring& text) {
    std::string converted;
    if (!tryWideToUtf8(text, converted)) throw std::range_error("bad conversion");
    return converted;
}

bool tryWideToUtf8(const std::wstring& text, std::string& converted) {
    static_assert(sizeof(wchar_t) == 2, "Windows wide strings are UTF-16");
    try {
        std::wstring_convert<std::codecvt_utf8_utf16<wchar_t>> converter;
        std::string bytes = converter.to_bytes(text);
        // A high surrogate at the very end is taken for the start of a pair still to come:
        // the conversion stops before it without an error. It is as unconvertible as any
        // other unpaired surrogate, and dropping it would change the text.
        if (converter.converted() != text.size()) return false;
        converted = std::move(bytes);
        return true;
    } catch (const std::range_error&) {
        return false;
    }
}

std::string toLower(const std::string& text) {
    std::string lowered(text);
    for (char& c : lowered) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lowered;
}

}  // namespace OxeUtils
