#include "exports/callback_guard.h"

#include <windows.h>

#include <plog/Log.h>

#include "utils/string_utils.h"

// GCC has no __try, so each architecture gets a small routine that sets up the frame itself:
// 0 when callback(record) returned; 1 when an exception was raised inside it, with its code in
// *exceptionCode and the host's frames already unwound.
extern "C" int plx_guarded_callback(RemoteInfoCallback callback, void* record, uint32_t* exceptionCode);

#if defined(__i386__)

// The guard pushes an exception registration record on the thread's fs:[0] chain and calls the
// callback above it. Its stack from the record up: +0 next record, +4 handler, +8 edi, +12 esi,
// +16 ebx, +20 ebp, +24 return address, +28 callback, +32 record, +36 exceptionCode.
// The landing point runs with esp at the registration record and eax holding the result.
asm(R"(
    .text
    .globl _plx_guarded_callback
    .def _plx_guarded_callback; .scl 2; .type 32; .endef
_plx_guarded_callback:
    pushl %ebp
    movl %esp, %ebp
    pushl %ebx
    pushl %esi
    pushl %edi
    pushl $_plx_guard_handler_x86
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    # Back at the registration record, whether the callback was cdecl or popped its argument.
    leal -20(%ebp), %esp
    xorl %eax, %eax
_plx_guard_landing_x86:
    movl (%esp), %ecx
    movl %ecx, %fs:0
    addl $8, %esp
    popl %edi
    popl %esi
    popl %ebx
    popl %ebp
    cld
    ret

    # plx_guard_unwind_x86(frame, exceptionRecord): unwinds every registration above the guard's
    # (the host's frames run their destructors and __finally blocks), then continues at the
    # landing point with result 1. It never returns. RtlUnwind may not keep ebx, esi and edi,
    # so the frame is read back from the argument slot after the call.
    .globl _plx_guard_unwind_x86
    .def _plx_guard_unwind_x86; .scl 2; .type 32; .endef
_plx_guard_unwind_x86:
    pushl $0
    pushl 12(%esp)
    pushl $0
    pushl 16(%esp)
    call _RtlUnwind@16
    movl 4(%esp), %esp
    movl $1, %eax
    jmp _plx_guard_landing_x86
)");
// The DLL carries no safe-handler table (no load configuration directory) and is not marked
// NO_SEH, so Windows accepts a handler anywhere in its image.

extern "C" [[noreturn]] void plx_guard_unwind_x86(void* frame, EXCEPTION_RECORD* record);

extern "C" EXCEPTION_DISPOSITION __cdecl plx_guard_handler_x86(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                              void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    **reinterpret_cast<uint32_t**>(static_cast<char*>(frame) + 36) = record->ExceptionCode;
    plx_guard_unwind_x86(frame, record);
}

#elif defined(__x86_64__)

// The guard's unwind data names its handler. Its frame after the prologue: 32 bytes of home
// space for the callback, then the exceptionCode pointer at +32. The establisher frame that the
// dispatcher hands the handler is that stack pointer. RtlUnwindEx resumes at the landing point
// with the stack as after the prologue and rax set to 1.
asm(R"(
    .text
    .globl plx_guarded_callback
    .def plx_guarded_callback; .scl 2; .type 32; .endef
    .seh_proc plx_guarded_callback
plx_guarded_callback:
    pushq %rbp
    .seh_pushreg %rbp
    subq $48, %rsp
    .seh_stackalloc 48
    .seh_endprologue
    .seh_handler plx_guard_handler_x64, @except
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    .globl plx_guard_landing_x64
plx_guard_landing_x64:
    addq $48, %rsp
    popq %rbp
    ret
    .seh_endproc
)");

extern "C" void plx_guard_landing_x64();

namespace {
// Flags of an unwind pass (unwinding, exit unwind, target unwind, collided unwind).
constexpr DWORD kUnwindFlags = 0x66;
// GCC's own C++ exceptions travel as SEH exceptions with "GCC" in their low bytes; the library's
// catch handlers take them, with their type and text, so the guard lets them pass.
constexpr DWORD kGccMagicMask = 0x00FFFFFF, kGccMagic = 0x00474343;
}  // namespace

extern "C" EXCEPTION_DISPOSITION plx_guard_handler_x64(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                      DISPATCHER_CONTEXT* dispatch) {
    if (record->ExceptionFlags & kUnwindFlags) return ExceptionContinueSearch;
    if ((record->ExceptionCode & kGccMagicMask) == kGccMagic) return ExceptionContinueSearch;
    **reinterpret_cast<uint32_t**>(static_cast<char*>(frame) + 32) = record->ExceptionCode;
    RtlUnwindEx(frame, reinterpret_cast<void*>(&plx_guard_landing_x64), record, reinterpret_cast<void*>(1),
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx continues at the landing point
}

#else
#error "the callback guard is written for i686 and x86_64"
#endif

void callHostCallback(RemoteInfoCallback callback, void* record) {
    uint32_t code = 0;
    if (plx_guarded_callback(callback, record, &code) == 0) return;
    char text[80];
    OxeUtils::formatString(text, sizeof text, "The host's callback raised exception 0x%08X; the call returns -3",
                           static_cast<unsigned>(code));
    PLOGW << text;
    throw HostCallbackException{code};
}
