/*
 * plxprobe: a minimal host for the plug-in (plx_srv_citrix32.dll in the 32-bit build,
 * plx_srv_citrix64.dll in the 64-bit one). It loads the library by path, calls the
 * version-1 (or, with --v2, the version-2) export until a record with data arrives, prints it
 * as text or JSON, optionally keeps printing, and calls icasrv_cleanup at the end.
 * It uses only the public header, LoadLibraryW and GetProcAddress, as any host agent would.
 */
#include <windows.h>
#include <shellapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "plx_build_info.h"
#include "plx_srv_citrix.h"
#include "probe_diagnose.h"
#include "probe_format.h"
#include "probe_version.h"

enum {
    EXIT_DATA_PRINTED = 0,
    EXIT_USAGE = 1,
    EXIT_NO_LIBRARY = 2,   /* the DLL or one of its exports cannot be loaded */
    EXIT_NO_WFAPI = 3,     /* the library returned -10 */
    EXIT_NO_DATA = 4,      /* no record with data within the time limit */
    EXIT_INTERRUPTED = 130 /* Ctrl+C before any data */
};

#define CALL_PERIOD_MS 250

static ClientInfoV2 g_record;    /* the copy the callback makes; ClientInfo is its first part */
static int g_wantV2;
static volatile LONG g_delivered;
static volatile LONG g_interrupted;
static char g_dllVersion[32];    /* the loaded library's file version, printed with each record */

/* Called by the library with its record lock held: copy and return at once. */
static void PLX_CDECL onRecord(void *record) {
    memcpy(&g_record, record, g_wantV2 ? sizeof(ClientInfoV2) : sizeof(ClientInfo));
    InterlockedExchange(&g_delivered, 1);
}

static BOOL WINAPI onConsoleCtrl(DWORD type) {
    if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT || type == CTRL_CLOSE_EVENT) {
        InterlockedExchange(&g_interrupted, 1);
        return TRUE;
    }
    return FALSE;
}

/* Sleeps up to ms, in short steps so Ctrl+C is noticed; returns nonzero if interrupted. */
static int sleepInterruptible(DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    while (!g_interrupted) {
        ULONGLONG now = GetTickCount64();
        if (now >= end) return 0;
        Sleep((DWORD)(end - now < 50 ? end - now : 50));
    }
    return 1;
}

static void toUtf8(const wchar_t *text, char *out, int capacity) {
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, capacity, NULL, NULL) == 0) out[0] = '\0';
}

static void printSystemError(const char *what, const wchar_t *subject, DWORD code) {
    wchar_t *message = NULL;
    char subject8[3 * MAX_PATH], message8[1024];
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   NULL, code, 0, (LPWSTR)&message, 0, NULL);
    toUtf8(subject, subject8, (int)sizeof subject8);
    toUtf8(message ? message : L"(no text)", message8, (int)sizeof message8);
    if (message) LocalFree(message);
    {   /* drop the trailing line break of system texts */
        size_t n = strlen(message8);
        while (n > 0 && (message8[n - 1] == '\n' || message8[n - 1] == '\r' || message8[n - 1] == ' ')) message8[--n] = '\0';
    }
    fprintf(stderr, "plxprobe: %s %s: error %lu: %s\n", what, subject8, (unsigned long)code, message8);
}

static void localTimestamp(char *out, size_t size) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    snprintf(out, size, "%04u-%02u-%02u %02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

static void usage(FILE *out) {
    fputs("usage: plxprobe [--v2] [--json] [--timeout S] [--watch N [--count K]] [path\\" PLX_DLL_NAME "]\n"
          "       plxprobe --version [path\\" PLX_DLL_NAME "]\n"
          "  Loads the library (default: " PLX_DLL_NAME " beside plxprobe.exe), calls\n"
          "  icasrv_get_remote_info (or icasrv_get_remote_info_v2 with --v2) every 250 ms until a\n"
          "  record with data arrives, prints it, then calls icasrv_cleanup.\n"
          "  --v2         ask for the version-2 record (version-1 data plus the extension)\n"
          "  --json       print records as JSON instead of text\n"
          "  --timeout S  give up when no data has arrived after S seconds (default 30)\n"
          "  --watch N    keep printing the current record every N seconds until Ctrl+C\n"
          "  --count K    with --watch: stop after K records in all\n"
          "  --version    print the probe's version and the library's file version, then exit\n"
          "  --diagnose   switch the library's log on at debug for this run (in this process only, the\n"
          "               user's settings stay as they are), then tell from it, stage by stage, why\n"
          "               data arrives or not and what to do\n"
          "exit codes: 0 data printed, 1 usage, 2 library not loadable, 3 " PLX_WFAPI_NAME " not loadable,\n"
          "            4 no data within the time limit, 130 interrupted\n",
          out);
}

/* Parses a positive decimal number; returns 0 when the text is not one. */
static long positiveNumber(const wchar_t *text) {
    wchar_t *end = NULL;
    long value = wcstol(text, &end, 10);
    return (end != text && *end == L'\0' && value > 0 && value <= 86400L * 365) ? value : 0;
}

typedef struct {
    int v2, json, version, diagnose;
    long timeoutS, watchS, count;
    wchar_t dllPath[MAX_PATH];
} Options;

static int parseOptions(int argc, wchar_t **argv, Options *o) {
    int i;
    const wchar_t *path = NULL;
    memset(o, 0, sizeof *o);
    o->timeoutS = 30;
    for (i = 1; i < argc; ++i) {
        const wchar_t *a = argv[i];
        if (wcscmp(a, L"--v2") == 0) o->v2 = 1;
        else if (wcscmp(a, L"--json") == 0) o->json = 1;
        else if (wcscmp(a, L"--version") == 0) o->version = 1;
        else if (wcscmp(a, L"--diagnose") == 0) o->diagnose = 1;
        else if (wcscmp(a, L"-h") == 0 || wcscmp(a, L"--help") == 0) { usage(stdout); exit(EXIT_DATA_PRINTED); }
        else if (wcscmp(a, L"--timeout") == 0 || wcscmp(a, L"--watch") == 0 || wcscmp(a, L"--count") == 0) {
            long *target = a[2] == L't' ? &o->timeoutS : a[2] == L'w' ? &o->watchS : &o->count;
            if (i + 1 >= argc || (*target = positiveNumber(argv[i + 1])) == 0) {
                fprintf(stderr, "plxprobe: %ls needs a positive number\n", a);
                return 0;
            }
            ++i;
        } else if (a[0] == L'-' && a[1] == L'-') {
            fprintf(stderr, "plxprobe: unknown option %ls\n", a);
            return 0;
        } else if (path == NULL) path = a;
        else { fputs("plxprobe: more than one library path given\n", stderr); return 0; }
    }
    if (o->count && !o->watchS) { fputs("plxprobe: --count needs --watch\n", stderr); return 0; }
    if (path != NULL) {
        DWORD n = GetFullPathNameW(path, MAX_PATH, o->dllPath, NULL);
        if (n == 0 || n >= MAX_PATH) { fputs("plxprobe: library path too long\n", stderr); return 0; }
    } else {
        DWORD n = GetModuleFileNameW(NULL, o->dllPath, MAX_PATH);
        wchar_t *slash = wcsrchr(o->dllPath, L'\\');
        if (n == 0 || n >= MAX_PATH || slash == NULL ||
            (size_t)(slash + 1 - o->dllPath) + wcslen(PLX_DLL_NAME_W) >= MAX_PATH) {
            fputs("plxprobe: cannot determine the default library path\n", stderr);
            return 0;
        }
        wcscpy(slash + 1, PLX_DLL_NAME_W);
    }
    return 1;
}

/* The record's time of arrival; with --json --diagnose the record is printed at the end, inside
 * the one JSON document that also holds the diagnosis. */
static char g_recordTime[32];

static int deferRecords(const Options *o) { return o->json && o->diagnose; }

static void printRecord(const Options *o, int sequence) {
    localTimestamp(g_recordTime, sizeof g_recordTime);
    if (!deferRecords(o)) probePrintRecord(stdout, &g_record, o->v2, o->json, sequence, g_recordTime, g_dllVersion);
}

/* --diagnose: the diagnosis after the run; with --json one document {"record": ..., "diagnosis": ...}
 * holding the last record (null when none arrived). */
static void printDiagnosis(const Options *o, int status, int printed) {
    if (deferRecords(o)) {
        fputs("{\n\"record\": ", stdout);
        if (printed) probePrintRecord(stdout, &g_record, o->v2, 1, printed, g_recordTime, g_dllVersion);
        else fputs("null\n", stdout);
        fputs(",\n\"diagnosis\": ", stdout);
    }
    probeDiagnoseEnd(status, printed ? (const void *)&g_record : NULL, o->v2, o->json, o->timeoutS);
    if (deferRecords(o)) fputs("\n}\n", stdout);
    fflush(stdout);
}

static const char *explainNoWfapi =
    "plxprobe: the library could not load " PLX_WFAPI_NAME " (result -10). This host is not a Citrix VDA,\n"
    "          or " PLX_WFAPI_NAME " is not on the DLL search path. The library's log names the cause.\n";

int main(void) {
    int argc = 0, status = EXIT_DATA_PRINTED, printed = 0, restarts = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    Options o;
    HMODULE dll;
    icasrv_get_remote_info_fn get;
    icasrv_cleanup_fn cleanup;
    ULONGLONG start;
    int32_t rc = ICASRV_STARTED;
    char path8[3 * MAX_PATH];

    if (argv == NULL || !parseOptions(argc, argv, &o)) { usage(stderr); return EXIT_USAGE; }
    g_wantV2 = o.v2;
    SetConsoleOutputCP(CP_UTF8); /* record texts are printed as UTF-8 */
    toUtf8(o.dllPath, path8, (int)sizeof path8);
    SetConsoleCtrlHandler(onConsoleCtrl, TRUE);
    /* --version only reads resources: it runs no get call and needs no log. */
    if (o.diagnose && !o.version) probeDiagnoseBegin();

    if (o.version) probePrintOwnVersion(stdout);
    dll = LoadLibraryW(o.dllPath);
    if (dll == NULL) {
        printSystemError("cannot load", o.dllPath, GetLastError());
        status = EXIT_NO_LIBRARY;
        goto report;
    }
    probeModuleVersion(dll, g_dllVersion, sizeof g_dllVersion);
    if (o.version) { /* no get call was made: nothing of the library runs yet */
        probePrintLibraryVersion(stdout, dll, g_dllVersion, path8);
        FreeLibrary(dll);
        LocalFree(argv);
        return EXIT_DATA_PRINTED;
    }
    /* Both get exports share one signature; the header names their pointer types. */
    get = (icasrv_get_remote_info_fn)(void (*)(void))GetProcAddress(dll, o.v2 ? "icasrv_get_remote_info_v2"
                                                                              : "icasrv_get_remote_info");
    cleanup = (icasrv_cleanup_fn)(void (*)(void))GetProcAddress(dll, "icasrv_cleanup");
    if (get == NULL || cleanup == NULL) {
        fprintf(stderr, "plxprobe: %s lacks the export %s; is it " PLX_DLL_NAME "?\n", path8,
                get == NULL ? (o.v2 ? "icasrv_get_remote_info_v2" : "icasrv_get_remote_info") : "icasrv_cleanup");
        FreeLibrary(dll);
        status = EXIT_NO_LIBRARY;
        goto report;
    }
    fprintf(stderr, "plxprobe: loaded %s (version %s)\nplxprobe: calling %s every %d ms until data arrives (time limit %ld s)\n",
            path8, g_dllVersion, o.v2 ? "icasrv_get_remote_info_v2" : "icasrv_get_remote_info", CALL_PERIOD_MS, o.timeoutS);

    /* Phase 1: wait for the first record with data. */
    start = GetTickCount64();
    for (;;) {
        ULONGLONG elapsedMs;
        InterlockedExchange(&g_delivered, 0);
        rc = get(onRecord, NULL);
        if (rc == ICASRV_NO_WFAPI) { fputs(explainNoWfapi, stderr); status = EXIT_NO_WFAPI; goto done; }
        if (rc == ICASRV_STARTED) {
            if (restarts++ == 0) fputs("plxprobe: polling started (-6), waiting for the first record", stderr);
            else fprintf(stderr, "\nplxprobe: the polling task had ended and was started again (-6, %d times);"
                                 " the library's log tells why", restarts - 1);
        } else if (rc == ICASRV_EXCEPTION) {
            fputs("\nplxprobe: the library caught an internal error (-3); see its log", stderr);
        } else if (rc == ICASRV_OK && g_delivered && probeHasData(&g_record.base)) {
            fprintf(stderr, "\nplxprobe: data arrived after %.1f s\n", (double)(GetTickCount64() - start) / 1000.0);
            break;
        } else if (rc != ICASRV_OK) {
            fprintf(stderr, "\nplxprobe: unexpected result %ld", (long)rc);
        }
        elapsedMs = GetTickCount64() - start;
        if (elapsedMs >= (ULONGLONG)o.timeoutS * 1000u) {
            fprintf(stderr, "\nplxprobe: no data within %ld s (last result %ld); the record still holds its defaults.\n"
                            "          Is the OXLENS component installed on the client endpoint? See the library's log.\n",
                    o.timeoutS, (long)rc);
            status = EXIT_NO_DATA;
            goto done;
        }
        if (sleepInterruptible(CALL_PERIOD_MS)) { fputs("\nplxprobe: interrupted\n", stderr); status = EXIT_INTERRUPTED; goto done; }
        if (elapsedMs / 1000 != (elapsedMs + CALL_PERIOD_MS) / 1000) fputc('.', stderr);
    }
    printRecord(&o, ++printed);

    /* Phase 2 (--watch): print the current record every N seconds. */
    while (o.watchS && (!o.count || printed < o.count)) {
        if (sleepInterruptible((DWORD)o.watchS * 1000u)) { fputs("plxprobe: stopped by Ctrl+C\n", stderr); break; }
        InterlockedExchange(&g_delivered, 0);
        rc = get(onRecord, NULL);
        if (rc == ICASRV_OK && g_delivered) printRecord(&o, ++printed);
        else if (rc == ICASRV_NO_WFAPI) { fputs(explainNoWfapi, stderr); status = EXIT_NO_WFAPI; break; }
        else if (rc == ICASRV_STARTED) fputs("plxprobe: the polling task had ended and was started again (-6)\n", stderr);
        else fprintf(stderr, "plxprobe: result %ld, no record\n", (long)rc);
    }

done:
    rc = cleanup();
    if (rc != ICASRV_CLEANUP_OK) fprintf(stderr, "plxprobe: icasrv_cleanup returned %ld\n", (long)rc);
    else FreeLibrary(dll); /* after a successful cleanup no thread of the library is left */
report:
    if (o.diagnose && !o.version) printDiagnosis(&o, status, printed);
    LocalFree(argv);
    return status;
}
