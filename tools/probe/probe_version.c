/* Reads the fixed part of a file's VERSIONINFO resource through the Windows version API,
 * as a support engineer's Explorer "Details" tab would show it. */
#include "probe_version.h"

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

/* The module's file path; 0 when it does not fit. */
static int modulePath(HMODULE module, wchar_t *path, DWORD capacity) {
    DWORD n = GetModuleFileNameW(module, path, capacity);
    return n != 0 && n < capacity;
}

static int fileVersion(const wchar_t *path, char *out, size_t size) {
    DWORD ignored = 0, bytes = GetFileVersionInfoSizeW(path, &ignored);
    void *data;
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT fixedSize = 0;
    int ok = 0;
    if (bytes == 0 || (data = malloc(bytes)) == NULL) return 0;
    if (GetFileVersionInfoW(path, 0, bytes, data) && VerQueryValueW(data, L"\\", (void **)&fixed, &fixedSize) &&
        fixed != NULL && fixedSize >= sizeof *fixed && fixed->dwSignature == VS_FFI_SIGNATURE) {
        unsigned build = LOWORD(fixed->dwFileVersionLS);
        if (build != 0)
            snprintf(out, size, "%u.%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                     HIWORD(fixed->dwFileVersionLS), build);
        else
            snprintf(out, size, "%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                     HIWORD(fixed->dwFileVersionLS));
        ok = 1;
    }
    free(data);
    return ok;
}

int probeModuleVersion(HMODULE module, char *out, size_t size) {
    wchar_t path[MAX_PATH];
    if (modulePath(module, path, MAX_PATH) && fileVersion(path, out, size)) return 1;
    snprintf(out, size, "unknown");
    return 0;
}

/* The module's file name without its folder, as UTF-8; "?" when unknown. */
static void moduleFileName(HMODULE module, char *out, size_t size) {
    wchar_t path[MAX_PATH];
    const wchar_t *name;
    if (!modulePath(module, path, MAX_PATH)) { snprintf(out, size, "?"); return; }
    name = wcsrchr(path, L'\\');
    name = name ? name + 1 : path;
    if (WideCharToMultiByte(CP_UTF8, 0, name, -1, out, (int)size, NULL, NULL) == 0) snprintf(out, size, "?");
}

void probePrintOwnVersion(FILE *out) {
    char own[32];
    probeModuleVersion(NULL, own, sizeof own);
    fprintf(out, "plxprobe %s (%d-bit)\n", own, (int)(sizeof(void *) * 8));
    fflush(out);
}

void probePrintLibraryVersion(FILE *out, HMODULE library, const char *version, const char *path) {
    char name[MAX_PATH];
    moduleFileName(library, name, sizeof name);
    fprintf(out, "%s %s (%s)\n", name, version, path);
    fflush(out);
}
