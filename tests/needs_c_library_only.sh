#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: needs_c_library_only.sh READELF BINARY static|dynamic
# Fails when BINARY cannot be read, needs the C++ runtime, or, when static,
# asks for a program interpreter.
set -eu
readelf=$1 binary=$2 linkage=$3
headers=$("$readelf" -W -d -l "$binary") || { echo "cannot read $binary" >&2; exit 1; }
if printf '%s\n' "$headers" | grep -E 'NEEDED.*(libstdc\+\+|libgcc_s)'; then
    echo "$binary needs the C++ runtime" >&2
    exit 1
fi
if [ "$linkage" = static ] && printf '%s\n' "$headers" | grep -E 'INTERP|program interpreter'; then
    echo "$binary is static but asks for a program interpreter" >&2
    exit 1
fi
