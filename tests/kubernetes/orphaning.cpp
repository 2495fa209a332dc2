// SPDX-License-Identifier: MIT
// A stand-in for gpu_arch that leaves an orphan, as a careless wrapper does:
// a child in a session of its own, out of the process group that the
// caller kills, lives on for three seconds after this prints its line and
// exits.
// Built statically, since the image it runs in has no C library.
#include <unistd.h>

#include <cstdio>

int main()
{
    int ready[2];
    if (pipe(ready) != 0) {
        return 1;
    }
    const pid_t child = fork();
    if (child == 0) {
        setsid();
        close(ready[1]);
        sleep(3);
        _exit(0);
    }
    close(ready[1]);
    // The child has left the group once it closed its end.
    char byte = 0;
    if (child < 0 || read(ready[0], &byte, 1) < 0) {
        return 1;
    }
    return puts("quarn1000") < 0 ? 1 : 0;
}
