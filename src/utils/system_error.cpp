#include "utils/system_error.h"

#include "utils/string_utils.h"

namespace OxeUtils {

std::wstring getSystemErrorText(DWORD code) {
    LPWSTR text = nullptr;
    const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                        FORMAT_MESSAGE_IGNORE_INSERTS;
    const DWORD length = FormatMessageW(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                        reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring result;
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    return result;
}

std::string errorSuffix(DWORD code) {
    return "[" + std::to_string(code) + "] : " + wideToUtf8(getSystemErrorText(code));
}

}  // namespace OxeUtils
