#pragma once
#include <windows.h>

#include <string>

namespace OxeUtils {

// The system's message for a Windows error code, as FormatMessageW returns it (trailing
// line break included); empty when the system has no text for the code.
std::wstring getSystemErrorText(DWORD code);

// "[code] : text" with the text in UTF-8: the tail of every failure line of a WFAPI or
// Windows call.
std::string errorSuffix(DWORD code);

}  // namespace OxeUtils
