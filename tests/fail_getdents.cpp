// SPDX-License-Identifier: MIT
// Usage: fail_getdents COMMAND [ARG...]
//
// Runs COMMAND with a seccomp filter that makes every directory read
// (getdents64, getdents) fail with EIO, so that tests can see how the tool
// reports a failing readdir. Always built for the machine that runs the tests:
// an emulated program may not install filters, but the emulator, started from
// here, inherits this one.

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

#if defined(__x86_64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_X86_64
#elif defined(__aarch64__)
#define HOST_AUDIT_ARCH AUDIT_ARCH_AARCH64
#else
#error "fail_getdents: unknown architecture"
#endif

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: fail_getdents COMMAND [ARG...]\n", stderr);
        return 2;
    }
    constexpr unsigned fail_with_eio = SECCOMP_RET_ERRNO | EIO;
#ifdef __NR_getdents
    constexpr unsigned getdents_number = __NR_getdents;
#else
    constexpr unsigned getdents_number = __NR_getdents64;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, HOST_AUDIT_ARCH, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getdents64, 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, getdents_number, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, fail_with_eio),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        perror("fail_getdents: seccomp");
        return 126;
    }
    execvp(argv[1], argv + 1);
    perror("fail_getdents: exec");
    return 127;
}
