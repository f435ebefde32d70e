#include "exports/callback_guard.h"

#include <windows.h>

#include <cstddef>

#include <plog/Log.h>

#include "utils/string_utils.h"

// GCC has no __try, so each architecture gets a small routine that sets up the frame itself:
// 0 when callback(record) returned; 1 when an exception was raised inside it, with its code in
// *exceptionCode and the host's frames already unwound.
extern "C" int plx_guarded_callback(RemoteInfoCallback callback, void* record, uint32_t* exceptionCode);

// Both routines save the host's floating-point control state on entry and put it back after an
// exception: the faulting point may have left other rounding or precision modes, unmasked
// exceptions or values on the x87 stack, and the host's code after the call relies on its own.
// (MXCSR needs SSE, which every Windows version a Citrix VDA runs on requires.)

#if defined(__i386__)

// The guard pushes an exception registration record on the thread's fs:[0] chain and calls the
// callback above it; GuardFrameX86 is its stack from that record up. The landing point runs with
// esp at the registration record and eax holding the result.
struct GuardFrameX86 {
    void* next;
    void* handler;
    uint32_t unwinding;  // set once the guard unwinds: what is raised from then on passes it
    uint32_t x87ControlWord;
    uint32_t mxcsr;
    uint32_t edi, esi, ebx, ebp;
    void* returnAddress;
    RemoteInfoCallback callback;
    void* record;
    uint32_t* exceptionCode;
};
static_assert(offsetof(GuardFrameX86, unwinding) == 8 && offsetof(GuardFrameX86, x87ControlWord) == 12 &&
              offsetof(GuardFrameX86, mxcsr) == 16 && offsetof(GuardFrameX86, callback) == 40);

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
    subl $12, %esp
    stmxcsr -16(%ebp)
    movl $0, -20(%ebp)
    fnstcw -20(%ebp)
    movl $0, -24(%ebp)
    pushl $_plx_guard_handler_x86
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    # Back at the registration record, whether the callback was cdecl or popped its argument.
    leal -32(%ebp), %esp
    xorl %eax, %eax
_plx_guard_landing_x86:
    movl (%esp), %ecx
    movl %ecx, %fs:0
    addl $20, %esp
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
    movl 4(%esp), %eax
    movl $1, 8(%eax)
    pushl $0
    pushl 12(%esp)
    pushl $0
    pushl 16(%esp)
    call _RtlUnwind@16
    movl 4(%esp), %esp
    # An empty x87 stack and the host's control words, then the common way out.
    fninit
    fldcw 12(%esp)
    ldmxcsr 16(%esp)
    movl $1, %eax
    jmp _plx_guard_landing_x86
)");
// The DLL carries no safe-handler table (no load configuration directory) and is not marked
// NO_SEH, so Windows accepts this handler; the binaries check of the tests keeps it that way.

extern "C" [[noreturn]] void plx_guard_unwind_x86(GuardFrameX86* frame, EXCEPTION_RECORD* record);

extern "C" EXCEPTION_DISPOSITION __cdecl plx_guard_handler_x86(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                              void*) {
    auto* guard = static_cast<GuardFrameX86*>(frame);
    if (guard->unwinding || !guardTakesException(record->ExceptionCode, record->ExceptionFlags))
        return ExceptionContinueSearch;
    *guard->exceptionCode = record->ExceptionCode;
    plx_guard_unwind_x86(guard, record);
}

#elif defined(__x86_64__)

// The guard's unwind data names its handler. GuardFrameX64 is its frame after the prologue, which
// is also the establisher frame that the dispatcher hands the handler: 32 bytes of home space for
// the callback, then the guard's own slots. RtlUnwindEx resumes at plx_guard_unwound_x64 with the
// stack as after the prologue and rax set to 1.
struct GuardFrameX64 {
    void* homeSpace[4];
    uint32_t* exceptionCode;
    uint32_t unwinding;  // set once the guard unwinds: what is raised from then on passes it
    uint32_t mxcsr;
    uint32_t x87ControlWord;
    uint32_t padding[3];
};
static_assert(offsetof(GuardFrameX64, exceptionCode) == 32 && offsetof(GuardFrameX64, unwinding) == 40 &&
              offsetof(GuardFrameX64, mxcsr) == 44 && offsetof(GuardFrameX64, x87ControlWord) == 48 &&
              sizeof(GuardFrameX64) == 64);

asm(R"(
    .text
    .globl plx_guarded_callback
    .def plx_guarded_callback; .scl 2; .type 32; .endef
    .seh_proc plx_guarded_callback
plx_guarded_callback:
    pushq %rbp
    .seh_pushreg %rbp
    subq $64, %rsp
    .seh_stackalloc 64
    .seh_endprologue
    .seh_handler plx_guard_handler_x64, @except
    movq %r8, 32(%rsp)
    movl $0, 40(%rsp)
    stmxcsr 44(%rsp)
    movl $0, 48(%rsp)
    fnstcw 48(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    xorl %eax, %eax
    jmp 1f
    .globl plx_guard_unwound_x64
plx_guard_unwound_x64:
    fninit
    fldcw 48(%rsp)
    ldmxcsr 44(%rsp)
    movl $1, %eax
1:
    addq $64, %rsp
    popq %rbp
    ret
    .seh_endproc
)");

extern "C" void plx_guard_unwound_x64();

extern "C" EXCEPTION_DISPOSITION plx_guard_handler_x64(EXCEPTION_RECORD* record, void* frame, CONTEXT*,
                                                      DISPATCHER_CONTEXT* dispatch) {
    auto* guard = static_cast<GuardFrameX64*>(frame);
    if (guard->unwinding || !guardTakesException(record->ExceptionCode, record->ExceptionFlags))
        return ExceptionContinueSearch;
    *guard->exceptionCode = record->ExceptionCode;
    guard->unwinding = 1;
    RtlUnwindEx(frame, reinterpret_cast<void*>(&plx_guard_unwound_x64), record, reinterpret_cast<void*>(1),
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached: RtlUnwindEx continues at plx_guard_unwound_x64
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
