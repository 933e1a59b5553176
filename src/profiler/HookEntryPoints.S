// Entry points the runtime calls on enter, leave and tail call of a hooked function.
// They keep the caller's argument and scratch registers intact around the C++ stubs;
// the odd number of pushes keeps the stack 16-byte aligned at the inner call.

    .text
    .globl EnterNaked
    .type EnterNaked, @function
EnterNaked:
    .cfi_startproc
    push %rax
    push %rsi
    push %rdi
    push %r10
    push %r11
    .cfi_adjust_cfa_offset 40
    call EnterStub
    pop %r11
    pop %r10
    pop %rdi
    pop %rsi
    pop %rax
    .cfi_adjust_cfa_offset -40
    ret
    .cfi_endproc
    .size EnterNaked, .-EnterNaked

    .globl LeaveNaked
    .type LeaveNaked, @function
LeaveNaked:
    .cfi_startproc
    push %rax
    push %rcx
    push %rdx
    push %rsi
    push %rdi
    push %r8
    push %r9
    push %r10
    push %r11
    .cfi_adjust_cfa_offset 72
    call LeaveStub
    pop %r11
    pop %r10
    pop %r9
    pop %r8
    pop %rdi
    pop %rsi
    pop %rdx
    pop %rcx
    pop %rax
    .cfi_adjust_cfa_offset -72
    ret
    .cfi_endproc
    .size LeaveNaked, .-LeaveNaked

    .globl TailcallNaked
    .type TailcallNaked, @function
TailcallNaked:
    .cfi_startproc
    push %rax
    push %rcx
    push %rdx
    push %rsi
    push %rdi
    push %r8
    push %r9
    push %r10
    push %r11
    .cfi_adjust_cfa_offset 72
    call TailcallStub
    pop %r11
    pop %r10
    pop %r9
    pop %r8
    pop %rdi
    pop %rsi
    pop %rdx
    pop %rcx
    pop %rax
    .cfi_adjust_cfa_offset -72
    ret
    .cfi_endproc
    .size TailcallNaked, .-TailcallNaked

    .section .note.GNU-stack,"",@progbits
