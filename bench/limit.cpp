// SPDX-License-Identifier: MIT
// The machine's limit: a process that uses no C library and only exits. Given
// an argument (x86-64), it first runs cpuid 100 times, to time one.
#if defined(__x86_64__)
asm(".globl _start\n_start: mov (%rsp), %r8; dec %r8; imul $100, %r8\n"
    "1: test %r8, %r8; jz 2f; mov $1, %eax; xor %ecx, %ecx; cpuid; dec %r8; jmp 1b\n"
    "2: mov $60, %eax; xor %edi, %edi; syscall");
#elif defined(__aarch64__)
asm(".globl _start\n_start: mov x8, #93; mov x0, #0; svc #0");
#endif
