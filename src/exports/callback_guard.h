#pragma once
// Calls a host callback inside a structured-exception frame of the library's own.
//
// Whatever the host's code raises (an MSVC-built host's C++ throw is SEH exception 0xE06D7363,
// an access violation, RaiseException of its own) is taken here: the host's frames between the
// raise and this guard are unwound with their destructors, and the guard returns to the library,
// which reports the failure through its usual exception path. Without it such an exception would
// pass the library's frames without releasing its locks (32-bit GCC code registers no SEH frames)
// or end the host process.
//
// On x86_64 a GCC C++ exception is left to the library's own catch handlers, which can catch it
// across modules there. On i686 a GCC C++ exception of another module never becomes an SEH
// exception (it unwinds by DWARF tables that cannot see the library's frames), so it cannot be
// caught at all: the host's runtime terminates the process.
#include <cstdint>

#include "plx_srv_citrix.h"

// The exception that a guarded callback raised, carried back to the library's catch handlers.
struct HostCallbackException {
    uint32_t code;
};

// Calls callback(record) through the guard; an exception raised in it is thrown as a
// HostCallbackException, after a line that names its code.
void callHostCallback(RemoteInfoCallback callback, void* record);
