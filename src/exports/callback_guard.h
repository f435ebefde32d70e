#pragma once
// Calls a host callback inside a structured-exception frame of the library's own.
//
// The guard takes the failures of the host's code: an MSVC-built host's C++ throw (SEH exception
// 0xE06D7363), an access violation, any RaiseException with an error code. The host's frames
// between the raise and this guard are unwound with their destructors and __finally blocks, the
// floating-point control state the host had when it called is put back, and the guard returns to
// the library, which reports the failure through its usual exception path. Without it such an
// exception would pass the library's frames without releasing its locks (32-bit GCC code registers
// no SEH frames) or end the host process.
//
// Debugger notifications and the failures after which no process should go on are let through to
// the host's own handlers, its unhandled-exception filter or the debugger (see
// guardTakesException). So is every exception raised while the guard unwinds the host's frames:
// the guard never takes its own failure a second time.
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

namespace guard_codes {
// ExceptionFlags of a dispatch that the guard must not act on: an unwind pass (unwinding, exit
// unwind, target unwind, collided unwind) or an exception raised inside another frame's handler.
constexpr uint32_t kUnwindPass = 0x02 | 0x04 | 0x20 | 0x40;
constexpr uint32_t kNestedCall = 0x10;

// libgcc's own C++ exceptions on x86_64 (throw, resumed unwind, forced unwind).
constexpr uint32_t kGccThrow = 0x20474343, kGccUnwind = 0x21474343, kGccForced = 0x22474343;

// Error-severity codes that are let through all the same: a debugger or the host's own filter
// must see them, and continuing after them would run the host on a broken heap or stack.
constexpr uint32_t kAssertionFailure = 0xC0000420, kPossibleDeadlock = 0xC0000194, kHeapCorruption = 0xC0000374,
                   kStackBufferOverrun = 0xC0000409, kFailFast = 0xC0000602, kStackOverflow = 0xC00000FD;
}  // namespace guard_codes

// The one decision of the guard, for both architectures: true when it takes an exception with this
// code and these flags. It takes error-severity codes only (the top two bits set: 0xC... and
// 0xE..., the MSVC C++ code 0xE06D7363 and access violations among them), except the six above.
// Everything of lower severity passes, so breakpoints, single steps, guard pages, debug prints,
// Ctrl+C and Ctrl+Break, thread naming (0x406D1388) and GCC's own C++ exceptions reach whoever
// handles them above the library.
constexpr bool guardTakesException(uint32_t code, uint32_t flags) {
    using namespace guard_codes;
    if (flags & (kUnwindPass | kNestedCall)) return false;
    // GCC's exceptions are the library's catch handlers' business (their severity is "success" anyway).
    if (code == kGccThrow || code == kGccUnwind || code == kGccForced) return false;
    if ((code >> 30) != 3) return false;
    switch (code) {
    case kAssertionFailure: case kPossibleDeadlock: case kHeapCorruption:
    case kStackBufferOverrun: case kFailFast: case kStackOverflow:
        return false;
    default:
        return true;
    }
}
