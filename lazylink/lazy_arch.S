/* The lazy-binding trampolines, for x86-64: the build links libcups
 * dynamically on other processors.
 *
 * The generated lazy_stubs.S includes this file and then invokes
 *   LAZY_BEGIN count
 *   LAZY_STUB  symbol, index      (once per function)
 *   LAZY_END
 *
 * For every function the macros emit
 *   - a hidden global stub "symbol" that jumps through lazy_slots[index];
 *   - a first-call thunk that passes the index to lazy_common;
 *   - the initial slot value (the thunk's address) in .data.
 * lazy_common saves every register that can carry arguments (the integer
 * and vector argument registers, %al with the vararg count and %r10, the
 * static chain), calls lazy_resolve(index), restores them
 * and tail-jumps to the resolved function, so the callee sees exactly the
 * caller's arguments and returns directly to the caller.
 *
 * Each stub lives in its own section so that --gc-sections can drop stubs
 * whose callers were dropped.  The stubs are hidden: the executable must not
 * export them, otherwise a library loaded later could bind its own internal
 * calls to them.
 */

#if defined(__x86_64__)

        .macro LAZY_BEGIN count
        .section .data.lazy_slots,"aw",@progbits
        .p2align 3
        .globl lazy_slots
        .hidden lazy_slots
        .type lazy_slots,@object
        .size lazy_slots, 8*\count
lazy_slots:
        .endm

        .macro LAZY_STUB name, idx
        .pushsection .data.lazy_slots,"aw",@progbits
        .quad .Llazy_first_\idx
        .popsection
        .section .text.lazy.\name,"ax",@progbits
        .globl \name
        .hidden \name
        .type \name,@function
        .p2align 4
\name:
        .cfi_startproc
        jmp *lazy_slots+8*\idx(%rip)
.Llazy_first_\idx:
        pushq $\idx
        .cfi_adjust_cfa_offset 8
        jmp lazy_common
        .cfi_endproc
        .size \name, .-\name
        .endm

        .macro LAZY_END
        .text
        .p2align 4
        .type lazy_common,@function
lazy_common:
        .cfi_startproc
        /* entry: (%rsp) = index, 8(%rsp) = caller's return address */
        .cfi_def_cfa_offset 16
        pushq %rbp
        .cfi_def_cfa_offset 24
        .cfi_offset %rbp, -24
        movq %rsp, %rbp
        .cfi_def_cfa_register %rbp
        subq $192, %rsp
        andq $-16, %rsp
        movdqa %xmm0, 0(%rsp)
        movdqa %xmm1, 16(%rsp)
        movdqa %xmm2, 32(%rsp)
        movdqa %xmm3, 48(%rsp)
        movdqa %xmm4, 64(%rsp)
        movdqa %xmm5, 80(%rsp)
        movdqa %xmm6, 96(%rsp)
        movdqa %xmm7, 112(%rsp)
        movq %rdi, 128(%rsp)
        movq %rsi, 136(%rsp)
        movq %rdx, 144(%rsp)
        movq %rcx, 152(%rsp)
        movq %r8, 160(%rsp)
        movq %r9, 168(%rsp)
        movq %rax, 176(%rsp)
        movq %r10, 184(%rsp)
        movq 8(%rbp), %rdi
        call lazy_resolve
        movq %rax, %r11
        movdqa 0(%rsp), %xmm0
        movdqa 16(%rsp), %xmm1
        movdqa 32(%rsp), %xmm2
        movdqa 48(%rsp), %xmm3
        movdqa 64(%rsp), %xmm4
        movdqa 80(%rsp), %xmm5
        movdqa 96(%rsp), %xmm6
        movdqa 112(%rsp), %xmm7
        movq 128(%rsp), %rdi
        movq 136(%rsp), %rsi
        movq 144(%rsp), %rdx
        movq 152(%rsp), %rcx
        movq 160(%rsp), %r8
        movq 168(%rsp), %r9
        movq 176(%rsp), %rax
        movq 184(%rsp), %r10
        movq %rbp, %rsp
        popq %rbp
        .cfi_def_cfa %rsp, 16
        addq $8, %rsp
        .cfi_def_cfa_offset 8
        jmp *%r11
        .cfi_endproc
        .size lazy_common, .-lazy_common
        .section .note.GNU-stack,"",@progbits
        .endm

#else
#error "lazy_arch.S: no trampolines for this architecture; link the libraries normally"
#endif
