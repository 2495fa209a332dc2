#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: driver-tree.sh SYSFS_ROOT [PROPERTIES...]
# Makes a made-up qlvn driver tree below SYSFS_ROOT in place of the one there:
# one node per argument, whose properties file holds it (\n between lines),
# numbered from 0 in the primary location. With no argument there is no tree.
set -eu
root=$1
shift
rm -rf "$root/devices/virtual/zerdo" "$root/devices/virtual/qlvn"
i=0
for properties in "$@"; do
    node=$root/devices/virtual/zerdo/qlvn/layout/nodes/$i
    mkdir -p "$node" && printf '%b\n' "$properties" >"$node/properties"
    i=$((i + 1))
done
