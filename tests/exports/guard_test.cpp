// The callback guard as Windows judges it: what a host's registers, exception chain, frames and
// floating-point state look like after a callback raised, and which exceptions it must not take.
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "dll_host.h"
#include "exports/callback_guard.h"

// What plx_test_sentinel_call saw after the get call; every field is 64 bits wide, so that both
// architectures share the offsets the shim writes to.
struct ShimRun {
    uint64_t result, mxcsr, x87ControlWord, stackDelta, chainBefore, chainAfter;
    uint64_t registers[8];  // i686: ebx, esi, edi, ebp; x86_64: rbx, rbp, rdi, rsi, r12-r15
    uint32_t x87Environment[8];  // fnstenv's 28 bytes: the tag word is the low half of the third
    uint8_t xmm[10][16];         // x86_64: xmm6-xmm15
};
static_assert(offsetof(ShimRun, registers) == 48 && offsetof(ShimRun, x87Environment) == 112 &&
              offsetof(ShimRun, xmm) == 144);

// The host's values that the shim loads before the call.
extern "C" const uint64_t plx_test_gpr_sentinels[8] = {0x1B1B1B1B5A5A0001, 0x2B2B2B2B5A5A0002, 0x3B3B3B3B5A5A0003,
    0x4B4B4B4B5A5A0004, 0x5B5B5B5B5A5A0005, 0x6B6B6B6B5A5A0006, 0x7B7B7B7B5A5A0007, 0x0B0B0B0B5A5A0008};
extern "C" const uint64_t plx_test_xmm_sentinels[20] = {0x0606060606060606, 0x6006, 0x0707070707070707, 0x7007,
    0x0808080808080808, 0x8008, 0x0909090909090909, 0x9009, 0x0A0A0A0A0A0A0A0A, 0xA00A, 0x0B0B0B0B0B0B0B0B, 0xB00B,
    0x0C0C0C0C0C0C0C0C, 0xC00C, 0x0D0D0D0D0D0D0D0D, 0xD00D, 0x0E0E0E0E0E0E0E0E, 0xE00E, 0x0F0F0F0F0F0F0F0F, 0xF00F};
// MXCSR rounding toward zero, all exceptions masked; x87 53-bit precision, rounding toward zero.
extern "C" const uint32_t plx_test_fp_sentinels[2] = {0x7F80, 0x0E7F};
extern "C" { uintptr_t plx_test_saved_sp = 0; }  // the shim's stack pointer before the call

// plx_test_sentinel_call(get, callback, run): keeps its caller's registers, loads the sentinels
// into every callee-saved register and the floating-point control state, calls get(callback,
// NULL) and records what the registers, the exception chain and the stack look like afterwards.
extern "C" void plx_test_sentinel_call(icasrv_get_remote_info_fn get, RemoteInfoCallback callback, ShimRun* run);

#if defined(__i386__)
asm(R"(
    .text
    .globl _plx_test_sentinel_call
    .def _plx_test_sentinel_call; .scl 2; .type 32; .endef
_plx_test_sentinel_call:
    .irp r, ebp, ebx, esi, edi
    pushl %\r
    .endr
    subl $12, %esp
    stmxcsr (%esp)
    fnstcw 4(%esp)
    ldmxcsr _plx_test_fp_sentinels
    fldcw _plx_test_fp_sentinels+4
    movl 40(%esp), %eax
    movl %fs:0, %ecx
    movl %ecx, 32(%eax)
    movl %esp, _plx_test_saved_sp
    movl 32(%esp), %edx
    movl 36(%esp), %ecx
    movl _plx_test_gpr_sentinels, %ebx
    movl _plx_test_gpr_sentinels+8, %esi
    movl _plx_test_gpr_sentinels+16, %edi
    movl _plx_test_gpr_sentinels+24, %ebp
    pushl $0
    pushl %ecx
    call *%edx
    addl $8, %esp
    movl %esp, %ecx
    subl _plx_test_saved_sp, %ecx
    movl _plx_test_saved_sp, %esp
    movl 40(%esp), %edx
    movl %eax, (%edx)
    movl %ecx, 24(%edx)
    movl %ebx, 48(%edx)
    movl %esi, 56(%edx)
    movl %edi, 64(%edx)
    movl %ebp, 72(%edx)
    movl %fs:0, %ecx
    movl %ecx, 40(%edx)
    stmxcsr 8(%edx)
    fnstcw 16(%edx)
    fnstenv 112(%edx)
    fninit
    fldcw 4(%esp)
    ldmxcsr (%esp)
    addl $12, %esp
    .irp r, edi, esi, ebx, ebp
    popl %\r
    .endr
    ret
)");
#else
// Registers go in the order of ShimRun::registers; the caller's own are kept in the frame, with
// unwind data, since an exception that the guard lets through passes this frame.
asm(R"(
    .text
    .globl plx_test_sentinel_call
    .def plx_test_sentinel_call; .scl 2; .type 32; .endef
    .seh_proc plx_test_sentinel_call
plx_test_sentinel_call:
    .irp r, rbp, rbx, rdi, rsi, r12, r13, r14, r15
    pushq %\r
    .seh_pushreg %\r
    .endr
    subq $216, %rsp
    .seh_stackalloc 216
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movdqa %xmm\n, 16*\n-48(%rsp)
    .seh_savexmm %xmm\n, 16*\n-48
    .endr
    .seh_endprologue
    movq %r8, 32(%rsp)
    stmxcsr 40(%rsp)
    fnstcw 44(%rsp)
    ldmxcsr plx_test_fp_sentinels(%rip)
    fldcw plx_test_fp_sentinels+4(%rip)
    movq %rsp, plx_test_saved_sp(%rip)
    movq %rcx, %rax
    movq %rdx, %rcx
    xorl %edx, %edx
    .set plx_off, 0
    .irp r, rbx, rbp, rdi, rsi, r12, r13, r14, r15
    movq plx_test_gpr_sentinels+plx_off(%rip), %\r
    .set plx_off, plx_off+8
    .endr
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movdqu plx_test_xmm_sentinels+16*\n-96(%rip), %xmm\n
    .endr
    call *%rax
    movq %rsp, %rcx
    subq plx_test_saved_sp(%rip), %rcx
    movq plx_test_saved_sp(%rip), %rsp
    movq 32(%rsp), %rdx
    movl %eax, (%rdx)
    movq %rcx, 24(%rdx)
    .set plx_off, 48
    .irp r, rbx, rbp, rdi, rsi, r12, r13, r14, r15
    movq %\r, plx_off(%rdx)
    .set plx_off, plx_off+8
    .endr
    stmxcsr 8(%rdx)
    fnstcw 16(%rdx)
    fnstenv 112(%rdx)
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movdqu %xmm\n, 16*\n+48(%rdx)
    movdqa 16*\n-48(%rsp), %xmm\n
    .endr
    fninit
    fldcw 44(%rsp)
    ldmxcsr 40(%rsp)
    addq $216, %rsp
    .irp r, r15, r14, r13, r12, rsi, rdi, rbx, rbp
    popq %\r
    .endr
    ret
    .seh_endproc
)");
#endif

namespace {

#ifdef _WIN64
#define PLX_STDCALL
#else
#define PLX_STDCALL __stdcall
#endif
constexpr int kRegisters = sizeof(void*) == 8 ? 8 : 4;  // the callee-saved general registers ShimRun holds

void PLX_STDCALL returnsStdcall(void*) {}
void raiseMsvcThrow(void*) {  // what an MSVC-built host's `throw` raises
    const ULONG_PTR info[4] = {0x19930520, 0, 0, 0};
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, sizeof(void*) == 8 ? 4 : 3, info);
}
void PLX_STDCALL throwsStdcall(void* record) { raiseMsvcThrow(record); }
void PLX_CDECL throwsThroughHostFrame(void*) { plx_test_host_frame(raiseMsvcThrow, nullptr); }
// Other rounding, 24-bit precision and three values on the x87 stack, then an error of its own.
void PLX_CDECL leavesFpStateThenRaises(void*) {
    const uint32_t mxcsr = 0x3F80;
    const uint16_t x87 = 0x007F;
    asm volatile("ldmxcsr %0\n\tfldcw %1\n\tfld1\n\tfld1\n\tfld1" : : "m"(mxcsr), "m"(x87));
    RaiseException(0xE0000001, 0, 0, nullptr);
}

// The built DLL once more, copied under another name: a module with state of its own, so that
// these tests make no get call of dll(), whose first call other tests watch. It logs into
// a folder of its own under logRoot() and polls the same substitute session.
struct GuardDll : ProductDll {
    std::string log;  // set once the first call started polling and the next returned 0
    GuardDll() : ProductDll{} {
        static int copies = 0;  // a folder of its own for each copy, which logs afresh
        const std::wstring folder = logRoot() + L"\\guard" + std::to_wstring(++copies), copy = folder + L"\\guard_copy.dll";
        std::filesystem::create_directories(folder);
        std::filesystem::copy_file(exeDir() + L"\\" PLX_DLL_NAME_W, copy, std::filesystem::copy_options::overwrite_existing);
        static_cast<ProductDll&>(*this) = exportsOf(LoadLibraryW(copy.c_str()));
        if (!complete()) return;
        setLogFolder(folder);
        const bool started = get(nullptr, nullptr) == ICASRV_STARTED;  // until polling runs, no callback is called
        setLogFolder(logRoot() + L"\\dll");
        if (started && get(nullptr, nullptr) == ICASRV_OK) log = productLog(folder);
    }
    ~GuardDll() {
        if (cleanup) cleanup();
        if (module) FreeLibrary(module);
    }
};

}  // namespace

TEST(Guard, TakesErrorCodesOnlyAndLetsTheDocumentedOnesPass) {
    // MSVC throw, access violation, division by zero, an error of the host's, a non-continuable exception
    // continued, and a code next to GCC's that is nobody's; an MSVC throw is non-continuable too.
    for (const uint32_t code : {0xE06D7363u, 0xC0000005u, 0xC0000094u, 0xE0000001u, 0xC0000025u, 0xE0474343u})
        EXPECT_TRUE(guardTakesException(code, 0)) << std::hex << code;
    EXPECT_TRUE(guardTakesException(0xE06D7363, EXCEPTION_NONCONTINUABLE));
    // An unwind pass, or an exception raised inside another frame's handler.
    for (const uint32_t flags : {0x02u, 0x04u, 0x20u, 0x40u, 0x10u})
        EXPECT_FALSE(guardTakesException(0xC0000005, flags)) << "flags " << std::hex << flags;
    // Breakpoint, single step, guard page, debug prints, Ctrl+C, Ctrl+Break, thread naming; assertion failure,
    // possible deadlock, heap corruption, stack-buffer overrun, fail-fast, stack overflow; GCC's own C++
    // exceptions (throw, resumed unwind, forced unwind).
    for (const uint32_t code : {0x80000003u, 0x80000004u, 0x80000001u, 0x40010006u, 0x4001000Au, 0x40010005u,
                                0x40010008u, 0x406D1388u, 0xC0000420u, 0xC0000194u, 0xC0000374u, 0xC0000409u,
                                0xC0000602u, 0xC00000FDu, 0x20474343u, 0x21474343u, 0x22474343u})
        EXPECT_FALSE(guardTakesException(code, 0)) << std::hex << code;
}

// Everything a host relies on after its call, whether the callback returned or raised: its
// callee-saved registers (xmm6-xmm15 too on x86_64), its stack pointer, its floating-point
// control state and an empty x87 stack, and on i686 the head of the thread's exception chain.
TEST(Guard, HostStateSurvivesTheExceptionPath) {
    configureSession();
    const GuardDll guard;
    ASSERT_FALSE(guard.log.empty()) << "the copy did not load, start polling or log";
    struct Case { const char* what; RemoteInfoCallback callback; const char* code; };
    const Case cases[] = {
        {"returns", [](void*) {}, nullptr},
        {"stdcall, returns", reinterpret_cast<RemoteInfoCallback>(returnsStdcall), nullptr},
        {"MSVC throw", [](void* record) { raiseMsvcThrow(record); }, "0xE06D7363"},
        {"stdcall, MSVC throw", reinterpret_cast<RemoteInfoCallback>(throwsStdcall), "0xE06D7363"},
        {"access violation", [](void*) { *static_cast<volatile int*>(nullptr) = 1; }, "0xC0000005"},
        {"through a host frame", throwsThroughHostFrame, "0xE06D7363"},
        {"floating-point state left behind", leavesFpStateThenRaises, "0xE0000001"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LogCapture log(guard.log);
        g_hostFrame = HostFrameLog{};
        ShimRun run{};
        plx_test_sentinel_call(guard.get, c.callback, &run);
        EXPECT_EQ(static_cast<int32_t>(run.result), c.code ? ICASRV_EXCEPTION : ICASRV_OK);
        if (c.code) {
            EXPECT_TRUE(log.has(std::string("The host's callback raised exception ") + c.code + "; the call returns -3",
                                "WARN")) << log.dump();
        }
        EXPECT_EQ(run.stackDelta, 0u);
        for (int i = 0; i < kRegisters; ++i)
            EXPECT_EQ(run.registers[i], plx_test_gpr_sentinels[i] & UINTPTR_MAX) << "register " << i;
#ifdef _WIN64
        EXPECT_EQ(std::memcmp(run.xmm, plx_test_xmm_sentinels, sizeof run.xmm), 0) << "xmm6-xmm15";
#else
        EXPECT_NE(run.chainBefore, 0u);
        EXPECT_EQ(run.chainAfter, run.chainBefore) << "fs:[0]";
#endif
        EXPECT_EQ(run.mxcsr, 0x7F80u);
        EXPECT_EQ(run.x87ControlWord, 0x0E7Fu);
        EXPECT_EQ(run.x87Environment[2] & 0xFFFF, 0xFFFFu) << "x87 tag word: the stack is empty";
        // The host's own frame between the raise and the guard: searched once, unwound once.
        const bool viaFrame = c.callback == throwsThroughHostFrame;
        EXPECT_TRUE(g_hostFrame.searched == viaFrame && g_hostFrame.unwound == viaFrame)
            << g_hostFrame.searched << " searched, " << g_hostFrame.unwound << " unwound";
    }
    EXPECT_EQ(guard.get(cases[0].callback, nullptr), ICASRV_OK) << "the locks were released";
}

// What the guard lets through reaches the host's process as it would without the library: a
// breakpoint (the host's DebugBreak or failed assertion), and an exception raised while the guard
// unwinds the host's frames, which the guard must not take a second time.
TEST(Guard, WhatItLetsThroughEndsTheChildHostAsWithoutTheLibrary) {
    const std::wstring hostDir = exeDir() + L"\\..\\bin-noapi", raise = L"\"" + exeDir() + L"\\" PLX_DLL_NAME_W
        L"\" raise \"" + exeDir() + L"\\" PLX_WFAPI_NAME_W L"\" ";
    // The child's unhandled-exception filter reports what reached it; the process ends with that code.
    // Last, the guard took 0xE0000001 and unwound the host frame, whose unwind raised 0xE0000002.
    const struct { std::wstring args; uint32_t exitCode; const char* output; } cases[] = {
        {L"- alone breakpoint", 0x80000003, "started\r\nunhandled 0x80000003 (host frame: 0 searched, 0 unwound)\r\n"},
        {raise + L"breakpoint", 0x80000003, "started -6\r\nunhandled 0x80000003 (host frame: 0 searched, 0 unwound)\r\n"},
        {raise + L"unwind-raises", 0xE0000002, "started -6\r\nunhandled 0xE0000002 (host frame: 2 searched, 1 unwound)\r\n"}};
    setLogFolder(logRoot() + L"\\raise");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const ChildResult child = runChild(hostDir + L"\\child_host.exe", c.args, hostDir);
        EXPECT_EQ(static_cast<uint32_t>(child.exitCode), c.exitCode);
        EXPECT_EQ(child.output, c.output);
    }
    setLogFolder(logRoot() + L"\\dll");
}
