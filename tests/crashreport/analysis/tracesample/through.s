# Calls and jumps through a register, written out so that the bytes are fixed:
# call eax (FF D0) and jmp eax (FF E0).
    .text
    .globl __ZN6sample11CallThroughEPFiiEi
__ZN6sample11CallThroughEPFiiEi:
    push %ebp
    mov %esp, %ebp
    sub $8, %esp
    mov 12(%ebp), %edx
    mov %edx, (%esp)
    mov 8(%ebp), %eax
    call *%eax
    leave
    ret
    .globl __ZN6sample11JumpThroughEPFiiEi
__ZN6sample11JumpThroughEPFiiEi:
    mov 8(%esp), %edx
    mov 4(%esp), %eax
    mov %edx, 4(%esp)
    jmp *%eax
