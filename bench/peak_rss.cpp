// SPDX-License-Identifier: MIT
// Runs a command and prints its peak resident set size in KiB. Kept tiny and
// static: the kernel counts the launcher's own pages before exec towards the
// child's peak, which would hide the command's own figure behind a large
// launcher such as an interpreter.
#include <cstdio>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        fputs("usage: peak_rss COMMAND [ARG...]\n", stderr);
        return 2;
    }
    pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) < 0 || status != 0) {
        return 1;
    }
    fprintf(stderr, "%ld\n", usage.ru_maxrss);
    return 0;
}
