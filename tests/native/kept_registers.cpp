// The caller behind kept_registers.h, in assembly: no compiled code may
// stand between the registers it sets and the call, or between the return
// and the registers it records.
#include "native/kept_registers.h"

#include <cstddef>

static_assert(offsetof(KeptRegisters, xmm) == 64 && offsetof(KeptRegisters, rsp_at_call) == 224 &&
              offsetof(KeptRegisters, rsp_after) == 232);

// Win64's callee may use the 32 bytes above its return address.
#if defined(RILL_NATIVE_WIN64_ABI) || defined(_WIN32)
#define WIN64(text) text
#define SHADOW "32"
#else
#define WIN64(text)
#define SHADOW "0"
#endif

// rdi: the loop, esi: count, rdx: before, rcx: after. The six pushes and
// after's own keep the stack aligned to 16 for the call. The count goes in
// both conventions' register.
extern "C" __attribute__((naked, sysv_abi)) void rill_call_with_kept(CompiledLoop, int32_t, const KeptRegisters*,
                                                                     KeptRegisters*) {
    asm(R"(
    .intel_syntax noprefix
    push rbx
    push rbp
    push r12
    push r13
    push r14
    push r15
    push rcx
    mov rax, rdi
    mov r8, rdx
    mov r9d, esi
    sub rsp, )" SHADOW R"(
    mov [rcx + 224], rsp
    mov ecx, r9d
    mov edi, r9d
    mov rbx, [r8]
    mov rbp, [r8 + 8]
    mov r12, [r8 + 16]
    mov r13, [r8 + 24]
    mov r14, [r8 + 32]
    mov r15, [r8 + 40]
)" WIN64(R"(
    mov rsi, [r8 + 48]
    mov rdi, [r8 + 56]
    movdqu xmm6, [r8 + 64]
    movdqu xmm7, [r8 + 80]
    movdqu xmm8, [r8 + 96]
    movdqu xmm9, [r8 + 112]
    movdqu xmm10, [r8 + 128]
    movdqu xmm11, [r8 + 144]
    movdqu xmm12, [r8 + 160]
    movdqu xmm13, [r8 + 176]
    movdqu xmm14, [r8 + 192]
    movdqu xmm15, [r8 + 208]
)") R"(
    call rax
    mov rax, [rsp + )" SHADOW R"(]
    mov [rax + 232], rsp
    mov [rax], rbx
    mov [rax + 8], rbp
    mov [rax + 16], r12
    mov [rax + 24], r13
    mov [rax + 32], r14
    mov [rax + 40], r15
    mov [rax + 48], rsi
    mov [rax + 56], rdi
    movdqu [rax + 64], xmm6
    movdqu [rax + 80], xmm7
    movdqu [rax + 96], xmm8
    movdqu [rax + 112], xmm9
    movdqu [rax + 128], xmm10
    movdqu [rax + 144], xmm11
    movdqu [rax + 160], xmm12
    movdqu [rax + 176], xmm13
    movdqu [rax + 192], xmm14
    movdqu [rax + 208], xmm15
    add rsp, )" SHADOW R"(
    pop rcx
    pop r15
    pop r14
    pop r13
    pop r12
    pop rbp
    pop rbx
    ret
    .att_syntax prefix
)");
}

extern "C" __attribute__((naked)) void RILL_NATIVE_CALL rill_clobbering_loop(int32_t) {
    asm(R"(
    .intel_syntax noprefix
    xor ebx, ebx
    xor esi, esi
    pxor xmm9, xmm9
    ret
    .att_syntax prefix
)");
}
