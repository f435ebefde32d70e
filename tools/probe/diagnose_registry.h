// Small helpers over the current user's registry, in the view the library reads.
#pragma once

#include <windows.h>

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
    bool open(HKEY parent, const wchar_t* path, REGSAM access = KEY_READ | KEY_WRITE);
    bool create(HKEY parent, const wchar_t* path);  // opens it, creating it and the keys above as needed
};

// A value as stored: its type and its bytes, whatever they are.
struct RawValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

bool readRaw(HKEY key, const wchar_t* name, RawValue& out);          // false: no such value
bool writeRaw(HKEY key, const wchar_t* name, const RawValue& value);  // the very type and bytes
bool writeDword(HKEY key, const wchar_t* name, DWORD value);
DWORD readDword(HKEY key, const wchar_t* name, DWORD fallback);  // fallback unless a 4-byte REG_DWORD
bool keyExists(const wchar_t* path);                            // under HKEY_CURRENT_USER
void deleteIfEmpty(const wchar_t* path);                        // ... only when it holds no value and no key

}  // namespace diagnose
