#pragma once
// A host frame with a structured-exception handler of its own, as an MSVC host's __try/__finally
// registers one: shared by test_exports and child_host.
#include <windows.h>

#include <cstdint>

// What the frame's handler saw. With raiseOnUnwind set, the handler raises that code from its
// next unwind call, as a host destructor or __finally block that fails does.
struct HostFrameLog {
    volatile LONG searched, unwound;
    uint32_t raiseOnUnwind;
};
extern HostFrameLog g_hostFrame;

// Calls fn(arg) inside the frame; returns when fn returns (an exception may unwind past it).
extern "C" void plx_test_host_frame(void (*fn)(void*), void* arg);
