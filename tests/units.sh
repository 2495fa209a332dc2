#!/bin/sh
# SPDX-License-Identifier: MIT
# The systemd units as systemd reads them without booting: no word from
# systemd-analyze verify, the service's exposure at most 2.0, and the
# directives that the program and the rules rely on.
# Usage: units.sh BUILD_DIR PROGRAM DEFAULTS required|optional
set -eu
build=$1 program=$2 defaults=$3 need=$4
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze is missing: apt-get install systemd"
    [ "$need" = optional ] && echo "skipped: no systemd" && exit 0
    exit 1
fi
units=$(mktemp -d)
trap 'rm -rf "$units"' EXIT
mkdir "$units/slurmd.service.d"
# The units as installed, with the program where this build has it.
installed=$(sed -n 's/^ExecStart=\([^ ]*\) .*/\1/p' "$build/gpu_arch-publish.service")
sed "s|$installed|$program|" "$build/gpu_arch-publish.service" >"$units/gpu_arch-publish.service"
sed "s|$installed|$program|" "$build/slurmd.service.d/gpu_arch-publish.conf" >"$units/slurmd.service.d/gpu_arch-publish.conf"
cp "$(dirname "$0")/../systemd/gpu_arch-publish.timer" "$units/"
printf '[Service]\nExecStart=/bin/true\n' >"$units/slurmd.service"
status=0
said=$(cd "$units" && SYSTEMD_UNIT_PATH="$units:" systemd-analyze verify --man=no \
    gpu_arch-publish.service gpu_arch-publish.timer slurmd.service 2>&1) || status=$?
[ "$status" = 0 ] && [ -z "$said" ] || { echo "systemd-analyze verify: $said"; exit 1; }

exposure=$(systemd-analyze security --offline=true "$units/gpu_arch-publish.service" 2>&1 |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || { echo "exposure '$exposure', above 2.0"; exit 1; }

# Each: unit, a line it must hold, and why.
has() {
    grep -qxF -- "$2" "$units/$1" || { echo "$1 lacks '$2': $3"; exit 1; }
}
has gpu_arch-publish.service "ExecStart=$program pass slurm-pending /run/gpu_arch-slurmd" "the retry of slurmd's update"
has gpu_arch-publish.service "EnvironmentFile=-$defaults" "the consumers come from GPU_ARCH_PUBLISH"
has gpu_arch-publish.service "StateDirectory=gpu_arch-publish" "the last answer and messages are kept there"
has gpu_arch-publish.service "CapabilityBoundingSet=CAP_DAC_OVERRIDE" "the exporter's folder belongs to its own user"
has gpu_arch-publish.service "TimeoutStartSec=50s" "above gpu_arch's 10 s, the lock's 5 s and scontrol's 20 s"
grep -q '^ReadWritePaths=.* -/run/gpu_arch-slurmd' "$units/gpu_arch-publish.service" ||
    { echo "gpu_arch-publish.service cannot write /run/gpu_arch-slurmd"; exit 1; }
has gpu_arch-publish.timer "OnUnitActiveSec=1min" "the rules take a file older than 5 minutes as stale"
has slurmd.service.d/gpu_arch-publish.conf "RuntimeDirectory=gpu_arch-slurmd" "slurmd-options writes there"
has slurmd.service.d/gpu_arch-publish.conf "RuntimeDirectoryMode=0700" "no other user opens its lock"
has slurmd.service.d/gpu_arch-publish.conf "EnvironmentFile=-/run/gpu_arch-slurmd/slurmd.env" "slurmd's options"
echo "units ok, exposure $exposure"
