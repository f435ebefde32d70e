#pragma once
// How handles appear in log lines.
#include <cstdint>
#include <cstdio>
#include <string>

// The handle's value as upper-case hexadecimal digits, zero-padded to the width of a
// pointer and without any prefix, so that a line may put "0x" in front of it exactly once.
inline std::string handleText(const void* handle) {
    char digits[2 * sizeof(void*) + 1];
    std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
    return digits;
}
