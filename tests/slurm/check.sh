#!/bin/sh
# SPDX-License-Identifier: MIT
# Usage, as root, with gpu_arch installed from its package: check.sh
#
# Runs Debian's slurmctld and one slurmd on this machine, in private mount and
# network namespaces (only their own loopback), with made-up driver trees
# mounted over /sys/devices/virtual, and checks, row by row, the features the
# node gets and where constrained jobs run: for a dynamic node started the way
# slurmd.service starts it with the drop-in enabled by README's command, and
# for a node of slurm.conf whose line comes from gpu_arch-slurm node-line run
# through srun. Every daemon and job it starts is stopped; it gives up after
# ten minutes.
set -eu
if [ "${1:-}" != --inside ]; then
    exec timeout 600 unshare --mount --net --propagation private "$0" --inside
fi

work=$(mktemp -d)
host=$(hostname -s)
nodes=/sys/devices/virtual/zerdo/qlvn/layout/nodes
env_file=/run/gpu_arch/slurmd.env
export SLURM_CONF="$work/slurm.conf"
# Slurm looks up its listening address with AI_ADDRCONFIG, which wants an
# address beyond 127.0.0.0/8: one from the documentation range, on loopback.
ip link set lo up && ip addr add 192.0.2.1/32 dev lo
mount -t tmpfs tmpfs /sys/devices/virtual
mount -t tmpfs tmpfs /run
mkdir -p /etc/systemd/system && mount -t tmpfs tmpfs /etc/systemd/system
# Named by the package's own drop-in.
script=$(sed -n 's/^ExecStartPre=\([^ ]*gpu_arch-slurm\) .*/\1/p' /usr/share/gpu_arch/slurmd.service.d/gpu_arch.conf)

fail() {
    echo "FAILED: $*" >&2
    tail -n 20 "$work"/*.log "$work/journal" >&2 2>/dev/null || true
    exit 1
}
# Waits up to 30 s for a command to succeed.
await() {
    for _ in $(seq 150); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
    return 1
}
stop() { # daemon
    [ -f "$work/$1.pid" ] || return 0
    pid=$(cat "$work/$1.pid") && rm -f "$work/$1.pid"
    kill "$pid" 2>/dev/null && await sh -c "! kill -0 $pid" || kill -9 "$pid" 2>/dev/null || true
}
cleanup() {
    scancel --quiet --full "--user=$(id -un)" 2>/dev/null || true
    stop slurmd
    stop slurmctld
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' TERM INT
node_is_idle() { sinfo -h -n "$host" -o %T | grep -q '^idle'; }

# Makes the driver tree: one node per comma-separated properties line, or none.
make_tree() { # properties lines | none
    rm -rf /sys/devices/virtual/*
    [ "$1" != none ] || return 0
    i=0
    for line in $(printf '%s' "$1" | tr ' ,' '+ '); do
        mkdir -p "$nodes/$i" && printf '%s\n' "$line" | tr + ' ' >"$nodes/$i/properties"
        i=$((i + 1))
    done
}
write_conf() { # the node or node set lines
    cat >"$SLURM_CONF" <<EOF
ClusterName=gpuarch
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
AuthType=auth/none
CredType=cred/none
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$work/state
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
JobCompType=jobcomp/none
AccountingStorageType=accounting_storage/none
MaxNodeCount=4
$1
EOF
}
start_slurmctld() {
    mkdir -p "$work/state" "$work/spool"
    slurmctld -D >"$work/slurmctld.out" 2>&1 &
    await scontrol ping || fail "slurmctld did not start"
}
# Starts slurmd as slurmd.service does with the drop-ins in
# /etc/systemd/system/slurmd.service.d: each command with the environment
# files read just before it, the site's (as /etc/default/slurmd) first.
start_slurmd() { # the site's SLURMD_OPTIONS, [another line of its /etc/default/slurmd]
    printf 'SLURMD_OPTIONS="%s"\n%s\n' "$(printf '%s' "$1" | sed 's/"/\\"/g')" "${2:-}" >"$work/default"
    unit_env='set -a; . "$work/default"; [ ! -f '"$env_file"' ] || . '"$env_file"'; set +a'
    sed -n 's/^ExecStartPre=//p' /etc/systemd/system/slurmd.service.d/*.conf >"$work/pre"
    while read -r command; do
        (eval "$unit_env" && eval "$command") </dev/null 2>>"$work/journal" || fail "ExecStartPre=$command failed"
    done <"$work/pre"
    (eval "$unit_env" && eval "exec slurmd -D -s $SLURMD_OPTIONS") >"$work/slurmd.out" 2>&1 &
    await node_is_idle || fail "the node did not come up: $(sinfo -h -N -o '%N %T')"
}
features() { scontrol show node "$host" | sed -n 's/^ *AvailableFeatures=\([^ ]*\).*/\1/p'; }
# A job constrained to $1 runs on the node; one constrained to $2 is refused
# or waits with Slurm's reason.
check_jobs() { # runs refused
    rm -f "$work/job.out"
    job=$(sbatch --parsable -C "$1" -o "$work/job.out" --wrap 'echo "$SLURMD_NODENAME"') ||
        fail "a job constrained to $1 was refused"
    await sh -c "[ -z \"\$(squeue -h -j $job)\" ]" || fail "job $job ($1) did not finish: $(squeue -j "$job")"
    [ "$(cat "$work/job.out")" = "$host" ] || fail "job $job ($1) did not run on $host"
    if job=$(sbatch --parsable -C "$2" --wrap true 2>"$work/refused"); then
        sleep 2
        reason=$(squeue -h -j "$job" -o '%T %r')
        scancel "$job"
        case $reason in PENDING*) ;; *) fail "a job constrained to $2 was not held back: $reason" ;; esac
    else
        grep -q -E 'Invalid feature|Requested node configuration is not available' "$work/refused" ||
            fail "a job constrained to $2 was refused for another reason: $(cat "$work/refused")"
    fi
}

# Dynamic nodes. Each row: the tree | a program standing in for gpu_arch (or
# -) | the node's features | a constraint that runs | one that does not | a
# message in the journal. The rows run in order on one node, whose GPUs
# change between them.
mkdir -p /etc/systemd/system/slurmd.service.d && ln -sf /usr/share/gpu_arch/slurmd.service.d/gpu_arch.conf /etc/systemd/system/slurmd.service.d/
write_conf "Nodeset=site Feature=site_a
PartitionName=debug Nodes=site Default=YES MaxTime=INFINITE State=UP"
start_slurmctld
while IFS='|' read -r tree program expected runs refused message; do
    [ -n "$tree" ] || continue
    make_tree "$tree"
    : >"$work/journal"
    stop slurmd
    site='-Z --conf "CPUs=1 Feature=site_a"'
    if [ "$program" = - ]; then
        start_slurmd "$site"
    else
        printf '#!/bin/sh\n%s\n' "$program" >"$work/program" && chmod +x "$work/program"
        start_slurmd "$site" "GPU_ARCH_PROGRAM=$work/program"
    fi
    [ "$(features)" = "$expected" ] || fail "dynamic node with $tree: features $(features), expected $expected"
    grep -q "$message" "$work/journal" || fail "dynamic node with $tree: no '$message' in the journal"
    check_jobs "$runs" "$refused"
    echo "dynamic node with $tree: $expected"
done <<'EOF'
isa_major 10,isa_major 10|-|site_a,quarn1000|quarn1000|quarn2000|features: site_a,quarn1000
isa_major 9 isa_minor 4|-|site_a,quarn904|quarn904|quarn1000|features: site_a,quarn904
none|-|site_a|site_a|quarn904|found no supported GPU
isa_major 10|printf 'quarn1000\nrm -rf /\nFeature=x Weight=9\n'|site_a,quarn1000|quarn1000|quarn904|features: site_a,quarn1000
isa_major 10|exit 3|site_a|site_a|quarn1000|failed (exit status 3)
EOF

# Nodes of slurm.conf: the node's line, printed through srun by README's
# command, replaces the site's; both daemons restart with it.
stop slurmd
stop slurmctld
rm -rf "$work/state" "$work/spool"
# slurm.conf with the given node line, and both daemons restarted with it.
restart_with() { # node line
    write_conf "$1
PartitionName=debug Nodes=ALL Default=YES MaxTime=INFINITE State=UP"
    stop slurmd
    stop slurmctld
    start_slurmctld
    start_slurmd ""
}
hardware=$(slurmd -C | head -n 1 | cut -d ' ' -f 2-)
node="NodeName=$host NodeAddr=127.0.0.1 $hardware Features=site_a"
while IFS='|' read -r tree expected runs refused; do
    [ -n "$tree" ] || continue
    make_tree "$tree"
    restart_with "$node"
    node=$(srun --nodes=1 --ntasks-per-node=1 "$script" node-line </dev/null) || fail "node-line through srun failed"
    case $node in *" Features=$expected") ;; *) fail "static node with $tree: $node" ;; esac
    restart_with "$node"
    [ "$(features)" = "$expected" ] || fail "static node with $tree: features $(features), expected $expected"
    check_jobs "$runs" "$refused"
    echo "static node with $tree: $node"
done <<'EOF'
isa_major 10|site_a,quarn1000|quarn1000|quarn2000
isa_major 9 isa_minor 4|site_a,quarn904|quarn904|quarn1000
EOF
echo "slurm ok"
