#include "diagnose_registry.h"

namespace diagnose {

bool Key::open(HKEY parent, const wchar_t* path, REGSAM access) {
    close();
    return RegOpenKeyExW(parent, path, 0, access | kView, &handle) == ERROR_SUCCESS;
}

bool Key::create(HKEY parent, const wchar_t* name, DWORD options) {
    close();
    return RegCreateKeyExW(parent, name, 0, nullptr, options, KEY_ALL_ACCESS | kView, nullptr, &handle, nullptr) ==
           ERROR_SUCCESS;
}

bool readRaw(HKEY key, const wchar_t* name, RawValue& out) {
    for (int tries = 0; tries < 4; ++tries) {  // the value may grow between the two calls
        DWORD size = 0;
        if (RegQueryValueExW(key, name, nullptr, &out.type, nullptr, &size) != ERROR_SUCCESS) return false;
        out.data.resize(size + 1);  // never a null buffer, so an empty value reads as empty
        const LONG rc = RegQueryValueExW(key, name, nullptr, &out.type, out.data.data(), &size);
        if (rc == ERROR_SUCCESS) {
            out.data.resize(size);
            return true;
        }
        if (rc != ERROR_MORE_DATA) return false;
    }
    return false;
}

bool writeDword(HKEY key, const wchar_t* name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

bool writeText(HKEY key, const wchar_t* name, const std::wstring& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void deleteIfEmpty(const wchar_t* path) {
    Key k;
    DWORD subkeys = 1, values = 1;
    if (!k.open(HKEY_CURRENT_USER, path) ||
        RegQueryInfoKeyW(k.handle, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return;
    k.close();
    if (subkeys == 0 && values == 0) RegDeleteKeyExW(HKEY_CURRENT_USER, path, kView, 0);
}

}  // namespace diagnose
