# SPDX-License-Identifier: MIT
# Cross build for Linux on AArch64 with Debian's cross compiler
# (g++-aarch64-linux-gnu); tests run under qemu-user (qemu-aarch64).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

set(GPU_ARCH_AARCH64_SYSROOT /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH ${GPU_ARCH_AARCH64_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L lets the emulator find the AArch64 dynamic loader and libraries. The
# loader would still take the C library from the machine's own cache, which
# lists a multiarch libc6:arm64 of another build where one is installed (it is
# for cross-building the .deb); a loader and C library of two builds hang at
# the first fork, so the sysroot's libraries come first.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${GPU_ARCH_AARCH64_SYSROOT}
    -E LD_LIBRARY_PATH=${GPU_ARCH_AARCH64_SYSROOT}/lib)
