// Small helpers over the current user's registry, in the view the library reads.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace diagnose {

const REGSAM kView = KEY_WOW64_64KEY;  // the view the library reads

// An open key, closed when it goes out of scope.
struct Key {
    HKEY handle = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() { close(); }
    void close() {
        if (handle) RegCloseKey(handle);
        handle = nullptr;
    }
    bool open(HKEY parent, const wchar_t* path, REGSAM access = KEY_READ);
    // Opens the key below parent, creating it when missing (one level) with these options.
    bool create(HKEY parent, const wchar_t* name, DWORD options);
};

// A value as stored: its type and its bytes, whatever they are.
struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

bool readRaw(HKEY key, const wchar_t* name, RawValue& out);  // false: no such value
bool writeDword(HKEY key, const wchar_t* name, DWORD value);
bool writeText(HKEY key, const wchar_t* name, const std::wstring& text);  // REG_SZ
// Deletes the key under HKEY_CURRENT_USER when it holds no value and no key.
void deleteIfEmpty(const wchar_t* path);

}  // namespace diagnose
