#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage: check.sh PREFIX WORK ARCHITECTURES
# The Meson project and the Autotools configure beside this file find the
# gpu_arch installed below PREFIX through its pkg-config file, with the
# version it declares, and run it from WORK: each must say that it found
# PREFIX/bin/gpu_arch printing ARCHITECTURES (a ;-list), and each must refuse
# a requirement of version 2 or later.
set -eu
prefix=$1 work=$2 expected=$3
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAILED: $*" >&2; exit 1; }
for tool in meson pkg-config autoreconf aclocal; do
    command -v $tool >/dev/null ||
        fail "$tool is missing: apt-get install --no-install-recommends meson pkgconf autoconf automake"
done
# Where the manual says it is, whatever the library layout.
pc=$prefix/share/pkgconfig/gpu_arch.pc
[ -f "$pc" ] || fail "no $pc"
version=$(sed -n 's/^Version: //p' "$pc")
PKG_CONFIG_PATH=$(dirname "$pc")
export PKG_CONFIG_PATH
# Prints the path after "at " in a "found gpu_arch" line, resolved.
found() { sed -n "s/.*found gpu_arch $version at \(.*\): $expected\$/\1/p" "$1" | xargs -r realpath; }
rm -rf "$work" && mkdir -p "$work/autotools"
program=$(realpath "$prefix/bin/gpu_arch")

meson setup "$work/meson" "$here" >"$work/meson.log" 2>&1 || { cat "$work/meson.log"; fail "meson setup"; }
[ "$(found "$work/meson.log")" = "$program" ] || { cat "$work/meson.log"; fail "meson found no $program printing $expected"; }
! meson setup "$work/meson-2" "$here" -Dgpu_arch_version='>=2' >"$work/meson-2.log" 2>&1 ||
    fail "meson accepted gpu_arch $version for >=2"
grep -q "Dependency lookup for gpu_arch with method 'pkgconfig' failed: Invalid version, need 'gpu_arch' \['>=2'\] found '$version'" \
    "$work/meson-2.log" || { cat "$work/meson-2.log"; fail "meson refused >=2 for another reason"; }

cp "$here/configure.ac" "$work/autotools/"
cd "$work/autotools"
autoreconf -i >autoreconf.log 2>&1 || { cat autoreconf.log; fail "autoreconf"; }
./configure >configure.log 2>&1 || { cat configure.log; fail "configure"; }
[ "$(found configure.log)" = "$program" ] || { cat configure.log; fail "configure found no $program printing $expected"; }
! GPU_ARCH_MIN_VERSION=2 ./configure >configure-2.log 2>&1 || fail "configure accepted gpu_arch $version for >= 2"
grep -q "error: gpu_arch >= 2 is required" configure-2.log || { cat configure-2.log; fail "configure refused >= 2 for another reason"; }
# The fleet's architectures, for a partition of a stand-in for Slurm's sinfo.
printf '#!/bin/sh\necho "gpu idle quarn904,ib gpu[1-2]"\necho "gpu down quarn1000 gpu3"\n' >"$work/sinfo" && chmod +x "$work/sinfo"
export PATH="$work:$PATH" GPU_ARCH_FLEET=gpu
program=$(realpath "$prefix/sbin/gpu_arch-publish") expected='quarn1000;quarn904'
./configure >configure-fleet.log 2>&1 && [ "$(found configure-fleet.log)" = "$program" ] ||
    { cat configure-fleet.log; fail "configure found no $program printing $expected"; }
meson setup "$work/meson-fleet" "$here" -Dfleet=gpu >"$work/meson-fleet.log" 2>&1 &&
    [ "$(found "$work/meson-fleet.log")" = "$program" ] || { cat "$work/meson-fleet.log"; fail "meson found no $program printing $expected"; }
echo "meson and autotools found gpu_arch $version at $program: $expected"
