#pragma once
// Shared by test_exports and child_host: the plug-in's exports as a host finds them, and a host
// frame with a structured-exception handler of its own, as an MSVC host's __try/__finally registers.
#include <windows.h>

#include <cstdint>

#include "plx_srv_citrix.h"

struct ProductDll {
    HMODULE module;
    icasrv_get_remote_info_fn get;
    icasrv_get_remote_info_v2_fn getV2;
    icasrv_cleanup_fn cleanup;
    bool complete() const { return module && get && getV2 && cleanup; }
};
// The exports of a loaded module (all null when m is null).
inline ProductDll exportsOf(HMODULE m) {
    const auto proc = [m](const char* f) { return m ? reinterpret_cast<void (*)()>(GetProcAddress(m, f)) : nullptr; };
    return {m, reinterpret_cast<icasrv_get_remote_info_fn>(proc("icasrv_get_remote_info")),
            reinterpret_cast<icasrv_get_remote_info_v2_fn>(proc("icasrv_get_remote_info_v2")),
            reinterpret_cast<icasrv_cleanup_fn>(proc("icasrv_cleanup"))};
}

// What the frame's handler saw. With raiseOnUnwind set, the handler raises that code from its
// next unwind call, as a host destructor or __finally block that fails does.
struct HostFrameLog {
    volatile LONG searched, unwound;
    uint32_t raiseOnUnwind;
};
extern HostFrameLog g_hostFrame;

// Calls fn(arg) inside the frame; returns when fn returns (an exception may unwind past it).
extern "C" void plx_test_host_frame(void (*fn)(void*), void* arg);
