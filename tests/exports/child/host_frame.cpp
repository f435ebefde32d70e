#include "host_frame.h"

#include <utility>

HostFrameLog g_hostFrame{};

// The handler is called once while a handler is searched for and once when the frame is unwound.
extern "C" EXCEPTION_DISPOSITION __cdecl plx_test_host_frame_handler(EXCEPTION_RECORD* record, void*, CONTEXT*,
                                                                     void*) {
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) {
        InterlockedIncrement(&g_hostFrame.unwound);
        // Once: the process's last handler unwinds this frame again before the process ends.
        if (const uint32_t code = std::exchange(g_hostFrame.raiseOnUnwind, 0)) RaiseException(code, 0, 0, nullptr);
    } else {
        InterlockedIncrement(&g_hostFrame.searched);
    }
    return ExceptionContinueSearch;
}

#if defined(__i386__)
// An exception registration record on the thread's fs:[0] chain, removed again on return.
asm(R"(
    .text
    .globl _plx_test_host_frame
    .def _plx_test_host_frame; .scl 2; .type 32; .endef
_plx_test_host_frame:
    pushl %ebp
    movl %esp, %ebp
    pushl $_plx_test_host_frame_handler
    pushl %fs:0
    movl %esp, %fs:0
    pushl 12(%ebp)
    call *8(%ebp)
    movl -8(%ebp), %ecx
    movl %ecx, %fs:0
    leave
    ret
)");
#else
// Unwind data that names the handler for both the search and the unwind pass. The nop keeps the
// return address out of the epilogue, where the unwinder would not call the handler.
asm(R"(
    .text
    .globl plx_test_host_frame
    .def plx_test_host_frame; .scl 2; .type 32; .endef
    .seh_proc plx_test_host_frame
plx_test_host_frame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler plx_test_host_frame_handler, @except, @unwind
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");
#endif
