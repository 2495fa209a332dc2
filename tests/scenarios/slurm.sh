#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage, as root: tests/scenarios/slurm.sh GPU-ARCH.deb DRIVER-TREE.sh
#
# The Slurm scenarios, under a real systemd: two Debian 12 containers, n1
# (slurmctld and a node) and n2 (a node), each in its own network namespace
# and authenticating with munge,
# the package installed in both and README's commands run in them as written.
# Rows check what systemd hands slurmd, the features that slurmctld holds,
# where constrained jobs run and what the journal says. Every container it
# starts is stopped; it gives up after 20 minutes.
set -euo pipefail
if [ "${1:-}" != --inside-time-limit ]; then
    exec timeout 1200 "$0" --inside-time-limit "$@"
fi
deb=$2
export GPU_ARCH_DRIVER_TREE=$3
here=$(cd "$(dirname "$0")" && pwd)
. "$here/container.sh"
trap containers_cleanup EXIT
trap 'exit 1' TERM INT

on_failure() {
    for name in "${container_names[@]}"; do
        echo "--- journal of $name"
        in_container "$name" journalctl -b --no-pager -n 40 -o short-monotonic || true
    done
}
site_options='-Z --conf "CPUs=1 Feature=site_a"'
set_options() { # node, the line of /etc/default/slurmd
    printf '%s\n' "$2" | in_container "$1" sh -c 'cat >/etc/default/slurmd'
}
enable_drop_in=$(readme_command 'ln -sf .*slurmd.service.d')
restart=$(readme_command 'systemctl daemon-reload')
[ -n "$enable_drop_in" ] && [ -n "$restart" ] || fail "README shows no commands that enable the slurmd drop-in"

boot_container n1 "$deb" || fail "container n1 did not boot"
boot_container n2 "$deb" || fail "container n2 did not boot"
link_containers n1 n2

# Slurm authenticates with munge, as sites do: one key for both nodes, and
# munged started in each.
munge_key=$(head -c 1024 /dev/urandom | base64 -w0)
for node in n1 n2; do
    base64 -d <<<"$munge_key" | in_container "$node" sh -c 'cat >/etc/munge/munge.key &&
        chown munge: /etc/munge/munge.key && chmod 0400 /etc/munge/munge.key && systemctl start munge' ||
        fail "munged did not start on $node"
    in_container "$node" sh -c "cat >/etc/slurm/slurm.conf" <<'EOF'
ClusterName=gpuarch
SlurmctldHost=n1(192.0.2.1)
AuthType=auth/munge
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=/var/lib/slurm/slurmctld
SlurmdSpoolDir=/var/lib/slurm/slurmd
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
MpiDefault=none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
JobCompType=jobcomp/none
RebootProgram=/usr/local/sbin/reboot-node
ResumeTimeout=300
AccountingStorageType=accounting_storage/none
MaxNodeCount=8
Nodeset=site Feature=site_a
Nodeset=gpus Feature=quarn1000
PartitionName=debug Nodes=site Default=YES MaxTime=INFINITE State=UP
PartitionName=gpu Nodes=gpus MaxTime=INFINITE State=UP
Nodeset=older Feature=quarn904
PartitionName=older Nodes=older MaxTime=INFINITE State=UP
EOF
    # slurmd's reboot asks the host, which boots the container again.
    printf '#!/bin/sh\ntouch /mnt/requests/reboot\n' |
        in_container "$node" sh -c 'cat >/usr/local/sbin/reboot-node && chmod +x /usr/local/sbin/reboot-node'
    in_container "$node" sh -c "$enable_drop_in" || fail "README's command to enable the drop-in failed on $node"
done
set_options n1 "SLURMD_OPTIONS='$site_options'"
in_container n1 systemctl start slurmctld || fail "slurmctld did not start"
await in_container n1 scontrol ping || fail "slurmctld does not answer"
driver_tree n1 'isa_major 10'
in_container n1 sh -c "$restart" || fail "README's command to restart slurmd failed"

# The journal of slurmd's latest start on the node.
slurmd_journal() { # node
    in_container "$1" sh -c 'journalctl -o cat _SYSTEMD_INVOCATION_ID=$(systemctl show -p InvocationID --value slurmd)'
}
restart_slurmd() { # node
    in_container "$1" systemctl daemon-reload
    in_container "$1" systemctl restart slurmd || fail "slurmd did not start on $1"
}
node_state() { in_container n1 sinfo -h -n "$1" -o %T; }
features() { # node
    in_container n1 scontrol show node "$1" | sed -n 's/^ *AvailableFeatures=\([^ ]*\).*/\1/p'
}
await_idle() { # node
    await sh -c "$(declare -f in_container leader_of node_state); container_work=$container_work; node_state $1 | grep -q '^idle'" ||
        fail "node $1 did not come up: $(in_container n1 sinfo -h -N -o '%N %T %f')"
}
# A job constrained to runs lands on the node; one constrained to refused
# is refused or held back with Slurm's reason.
check_jobs() { # node runs refused [partition]
    local job state reason
    job=$(in_container n1 sbatch --parsable ${4:+-p "$4"} -C "$2" -o /dev/null --wrap true) ||
        fail "a job constrained to $2 was refused"
    await sh -c "$(declare -f in_container leader_of); container_work=$container_work;
        in_container n1 scontrol show job $job | grep -q 'JobState=COMPLETED'" ||
        fail "job $job ($2) did not finish: $(in_container n1 scontrol show job "$job")"
    state=$(in_container n1 scontrol show job "$job")
    grep -q " NodeList=$1\$" <<<"$state" || fail "job $job ($2) did not run on $1: $state"
    if job=$(in_container n1 sbatch --parsable ${4:+-p "$4"} -C "$3" -o /dev/null --wrap true 2>&1); then
        sleep 2
        reason=$(in_container n1 squeue -h -j "$job" -o '%T %r')
        in_container n1 scancel "$job"
        case $reason in PENDING*) ;; *) fail "a job constrained to $3 was not held back: $reason" ;; esac
    else
        grep -q -E 'Invalid feature|Requested node configuration is not available' <<<"$job" ||
            fail "a job constrained to $3 was refused for another reason: $job"
    fi
}

# What systemd hands slurmd, with the site's drop-ins, recorded instead of
# starting it: each word in brackets.
record_dropin='[Service]
ExecStart=
ExecStart=/usr/bin/printf [%%s] -D -s $SLURMD_OPTIONS
StandardOutput=truncate:/run/slurmd-words'
recorded_words() { # node, with or without the drop-in
    local dropins=/etc/systemd/system/slurmd.service.d
    in_container "$1" sh -c "mkdir -p $dropins && cat >$dropins/zz-record.conf" <<<"$record_dropin"
    [ "$2" = with ] || in_container "$1" mv $dropins/gpu_arch-publish.conf /root/
    in_container "$1" systemctl daemon-reload
    in_container "$1" systemctl stop slurmd
    in_container "$1" systemctl start slurmd
    await in_container "$1" test -s /run/slurmd-words
    in_container "$1" cat /run/slurmd-words
    in_container "$1" rm -f $dropins/zz-record.conf /run/slurmd-words
    [ "$2" = with ] || in_container "$1" mv /root/gpu_arch-publish.conf $dropins/
}

# Odd and hostile SLURMD_OPTIONS: slurmd gets, word for word, what systemd
# would hand it without the drop-in (after -D -s), with the architecture in
# --conf, and nothing in them runs. The words with the drop-in are those
# without it plus +[words], or with [word] => [word] changed; \n in the
# line of /etc/default/slurmd is a newline.
options_row() { # name, the line of /etc/default/slurmd, the words without the drop-in, the change with it
    local line=${2//\\n/$'\n'} without="[-D][-s]$3" with got_without got_with
    case $4 in
    +*) with=$without${4#+} ;;
    *) with=${without/"${4%% => *}"/"${4#* => }"} ;;
    esac
    set_options n1 "$line"
    got_without=$(recorded_words n1 without)
    got_with=$(recorded_words n1 with)
    [ "$got_without" = "$without" ] || fail "options, $1: systemd hands slurmd $got_without, the row says $without"
    [ "$got_with" = "$with" ] || fail "options, $1: with the drop-in, slurmd gets $got_with, expected $with"
    in_container n1 sh -c '! ls /tmp/probe /tmp/p /b 2>/dev/null' || fail "options, $1: a command ran"
    echo "options, $1: $got_with"
}
driver_tree n1 'isa_major 10'
rows options_row <<'ROWS'
semicolon ¦ SLURMD_OPTIONS='-Z; echo x >/tmp/probe' ¦ [-Z;][echo][x][>/tmp/probe] ¦ +[--conf][Feature=quarn1000]
and ¦ SLURMD_OPTIONS='-Z --conf "Feature=a" && touch /tmp/p' ¦ [-Z][--conf][Feature=a][&&][touch][/tmp/p] ¦ [Feature=a] => [Feature=a,quarn1000]
pipe ¦ SLURMD_OPTIONS='-Z 2>/tmp/p | touch /tmp/p & touch /tmp/p' ¦ [-Z][2>/tmp/p][|][touch][/tmp/p][&][touch][/tmp/p] ¦ +[--conf][Feature=quarn1000]
expansions ¦ SLURMD_OPTIONS='-Z --conf Feature=a>b # A ~root $(id) `id`' ¦ [-Z][--conf][Feature=a>b][#][A][~root][$(id)][`id`] ¦ [Feature=a>b] => [Feature=a>b,quarn1000]
newline, tab ¦ SLURMD_OPTIONS="-Z\n--conf 'CPUs=1	Feature=site_a'" ¦ [-Z][--conf][CPUs=1	Feature=site_a] ¦ [CPUs=1	Feature=site_a] => [CPUs=1	Feature=site_a,quarn1000]
--conf last ¦ SLURMD_OPTIONS='-Z --conf' ¦ [-Z][--conf] ¦ +[--conf][Feature=quarn1000]
empty words ¦ SLURMD_OPTIONS='-Z --conf= -N name "" \'a\\b\'' ¦ [-Z][--conf=][-N][name][][ab] ¦ [--conf=] => [--conf=Feature=quarn1000]
ROWS

# Dynamic nodes as the GPUs change: the tree (properties lines,
# comma-separated, or none), a program standing in for gpu_arch (or -), the
# node's features, a constraint that runs there and one that does not, and a
# line of the journal.
dynamic_row() { # name, tree, program, features, runs, refused, message
    local lines=()
    [ "$2" = none ] || IFS=, read -r -a lines <<<"$2"
    driver_tree n1 ${lines[@]+"${lines[@]}"}
    in_container n1 rm -rf /etc/systemd/system/slurmd.service.d/program.conf
    if [ "$3" != - ]; then
        printf '#!/bin/sh\n%s\n' "$3" | in_container n1 sh -c 'cat >/usr/local/bin/program && chmod +x /usr/local/bin/program'
        printf '[Service]\nEnvironment=GPU_ARCH_PROGRAM=/usr/local/bin/program\n' |
            in_container n1 sh -c 'cat >/etc/systemd/system/slurmd.service.d/program.conf'
    fi
    restart_slurmd n1
    await_idle n1
    [ "$(features n1)" = "$4" ] || fail "dynamic node, $1: features $(features n1), expected $4"
    slurmd_journal n1 | grep -q -F "$7" || fail "dynamic node, $1: no '$7' in the journal: $(slurmd_journal n1)"
    check_jobs n1 "$5" "$6"
    echo "dynamic node, $1: $4"
}
set_options n1 "SLURMD_OPTIONS='$site_options'"
rows dynamic_row <<'ROWS'
two GPUs ¦ isa_major 10,isa_major 10 ¦ - ¦ site_a,quarn1000 ¦ quarn1000 ¦ quarn2000 ¦ node 'n1' features: 'site_a,quarn1000'
GPU changed ¦ isa_major 9 isa_minor 4 ¦ - ¦ site_a,quarn904 ¦ quarn904 ¦ quarn1000 ¦ node 'n1' features: 'site_a,quarn904'
no GPU ¦ none ¦ - ¦ site_a ¦ site_a ¦ quarn904 ¦ found no supported GPU
junk lines ¦ isa_major 10 ¦ printf 'quarn1000\nrm -rf /\nFeature=x\n' ¦ site_a,quarn1000 ¦ quarn1000 ¦ quarn904 ¦ dropped: 'rm -rf /' 'Feature=x'
failing ¦ isa_major 10 ¦ exit 3 ¦ site_a ¦ site_a ¦ quarn1000 ¦ failed (exit status 3)
ignores SIGTERM ¦ isa_major 10 ¦ trap '' TERM; sleep 300 & sleep 300 ¦ site_a ¦ site_a ¦ quarn1000 ¦ did not finish within 10 s
ROWS
# Nothing of the program that ignored SIGTERM is left.
! in_container n1 pgrep -f 'sleep 300' >/dev/null || fail "the program that ignored SIGTERM is still running"
in_container n1 rm -f /etc/systemd/system/slurmd.service.d/program.conf

# A read-only /run: slurmd's runtime folder stays writable, and the node gets
# its architecture.
driver_tree n1 'isa_major 10'
printf '[Service]\nReadOnlyPaths=/run\n' | in_container n1 sh -c 'cat >/etc/systemd/system/slurmd.service.d/read-only.conf'
restart_slurmd n1
await_idle n1
[ "$(features n1)" = site_a,quarn1000 ] || fail "with a read-only /run: features $(features n1)"
in_container n1 rm /etc/systemd/system/slurmd.service.d/read-only.conf
echo "read-only /run: site_a,quarn1000"

# slurmctld is down while the GPU changes: the journal says that it may hold
# the old architecture, the timer's service sends the update once it is back,
# and then does nothing more.
in_container n1 systemctl stop slurmctld
driver_tree n1 'isa_major 9 isa_minor 4'
restart_slurmd n1
slurmd_journal n1 | grep -q 'may still hold the node.s old GPU architectures' ||
    fail "slurmctld down: the journal does not say so: $(slurmd_journal n1)"
in_container n1 systemctl is-active -q gpu_arch-publish.timer || fail "the drop-in did not start gpu_arch-publish.timer"
in_container n1 systemctl start slurmctld
await_idle n1
in_container n1 systemctl start gpu_arch-publish.service
[ "$(features n1)" = site_a,quarn904 ] || fail "after slurmctld came back: features $(features n1)"
check_jobs n1 quarn904 quarn1000
in_container n1 journalctl -o cat -u gpu_arch-publish.service | grep -q -F "slurmctld now holds the features of node 'n1': 'site_a,quarn904'" ||
    fail "the retry did not say it landed"
in_container n1 test ! -e /run/gpu_arch-slurmd/slurmctld-update || fail "the update is still pending"
echo "slurmctld down during a GPU change: site_a,quarn904 once it is back"

# An update left while the drop-in was enabled is not sent once it is gone:
# the administrator's own features stay.
in_container n1 systemctl stop slurmctld
driver_tree n1 'isa_major 10'
restart_slurmd n1
in_container n1 test -s /run/gpu_arch-slurmd/slurmctld-update || fail "no update is pending"
in_container n1 mv /etc/systemd/system/slurmd.service.d/gpu_arch-publish.conf /root/
restart_slurmd n1
in_container n1 systemctl start slurmctld
await_idle n1
in_container n1 scontrol update NodeName=n1 AvailableFeatures=admin ActiveFeatures=admin
in_container n1 systemctl start gpu_arch-publish.service
[ "$(features n1)" = admin ] || fail "without the drop-in, the pass changed the features to $(features n1)"
in_container n1 journalctl -o cat -u gpu_arch-publish.service | grep -q 'no longer has the drop-in gpu_arch-publish.conf' ||
    fail "the pass did not say why it dropped the update"
in_container n1 mv /root/gpu_arch-publish.conf /etc/systemd/system/slurmd.service.d/
echo "drop-in disabled: its pending update dropped, the administrator's features kept"

# Two nodes, each with its own GPU: constrained jobs go to the node that has
# the architecture.
driver_tree n1 'isa_major 10'
restart_slurmd n1
driver_tree n2 'isa_major 9 isa_minor 4'
set_options n2 "SLURMD_OPTIONS='$site_options'"
restart_slurmd n2
await_idle n1
await_idle n2
[ "$(features n2)" = site_a,quarn904 ] || fail "node n2: features $(features n2)"
check_jobs n1 quarn1000 quarn2000
check_jobs n2 quarn904 quarn2000
echo "two nodes: n1 quarn1000, n2 quarn904"

# A node that loses a GPU, with README's line on n2: a pass drains it with
# the reason and a job constrained to its architecture waits; the GPU put
# back resumes it and the job runs there. An administrator's drain stays; a
# resume by hand with a GPU missing is not undone; a drain that slurmctld,
# stopped, missed lands once it is back.
enable_drain=$(readme_command 'slurm-drain - ')
[ -n "$enable_drain" ] || fail "README shows no command that enables slurm-drain"
n2_gpus() { # how many quarn904 GPUs n2 has; then a pass of the timer's service
    local lines=() i
    for ((i = 0; i < $1; i++)); do lines+=('isa_major 9 isa_minor 4'); done
    driver_tree n2 ${lines[@]+"${lines[@]}"}
    # Passes in quick succession: past systemd's limit on starts too.
    in_container n2 sh -c 'systemctl reset-failed gpu_arch-publish.service; systemctl start gpu_arch-publish.service' || true
}
reason() { in_container n1 sinfo -h -R -n n2 -o %E; }
drain_check() { # what: the state of n2 (once slurmctld hears from it again), its reason and what it should have
    local got tries=0
    until got="$(node_state n2) '$(reason n2)' $(in_container n2 sh -c 'set -a && . /etc/default/gpu_arch-publish &&
        gpu_arch-publish slurm-expected' | tr '\n' ' ')" &&
        [ "$got" = "$2" ] || [ $((tries += 1)) -gt 30 ]; do sleep 1; done
    [ "$got" = "$2" ] || fail "drain, $1: n2 is $got, expected $2"
    echo "drain, $1: $got"
}
in_container n2 sh -c "$enable_drain" || fail "README's line that enables slurm-drain failed"
n2_gpus 2
drain_check "two GPUs" "idle '' quarn904 2 "
n2_gpus 1
drain_check "a GPU lost" "drained 'gpu_arch: 1 of 2 quarn904' quarn904 2 "
job=$(in_container n1 sbatch --parsable -w n2 -C quarn904 -o /dev/null --wrap true)
sleep 2
in_container n1 squeue -h -j "$job" -o %T | grep -q PENDING || fail "a job started on the drained node n2"
n2_gpus 2
await sh -c "$(declare -f in_container leader_of); container_work=$container_work;
    in_container n1 scontrol show job $job | grep -q 'JobState=COMPLETED'" || fail "job $job did not run once n2 resumed"
drain_check "the GPU back" "idle '' quarn904 2 "
in_container n2 journalctl -o cat -u gpu_arch-publish.service | grep -q -F "node 'n2' drained in slurmctld: 'gpu_arch: 1 of 2 quarn904'" ||
    fail "the journal does not say that n2 was drained"
in_container n1 scontrol update NodeName=n2 State=DRAIN Reason=maintenance
n2_gpus 2
drain_check "drained by an administrator" "drained 'maintenance' quarn904 2 "
in_container n1 scontrol update NodeName=n2 State=RESUME
n2_gpus 1
in_container n1 scontrol update NodeName=n2 State=RESUME
n2_gpus 1
n2_gpus 1
drain_check "resumed by hand with a GPU missing" "idle '' quarn904 1 "
n2_gpus 2
in_container n1 systemctl stop slurmctld
n2_gpus 1
in_container n2 journalctl -o cat -u gpu_arch-publish.service | grep -q -F "cannot read the state of node 'n2' in slurmctld" ||
    fail "slurmctld stopped: the journal does not say that the drain waits"
in_container n1 systemctl start slurmctld
await in_container n1 scontrol ping || fail "slurmctld does not answer"
await_idle n2
n2_gpus 1
drain_check "slurmctld stopped during a loss" "drained 'gpu_arch: 1 of 2 quarn904' quarn904 2 "
n2_gpus 2
drain_check "and the GPU back" "idle '' quarn904 2 "
# Slurm's reboots of a drained node, n2 rebooted for real: RebootProgram asks
# the host, which boots n2 again on the same disk with a boot clock started
# anew, so that slurmd reports a new BootTime. After the boot, the driver
# tree comes first, then the link, then munge and slurmd, as on a node.
boot_time() { in_container n1 scontrol show node n2 | sed -n 's/.*BootTime=\([^ ]*\).*/\1/p'; }
rebooted() { # the BootTime before
    local shown
    shown=$(in_container n1 scontrol show node n2) && ! grep -q -E "BootTime=$1 |State=[^ ]*REBOOT" <<<"$shown"
}
reboot_row() { # name, scontrol reboot's words, the reason while it reboots, GPUs after it, n2 then, the journal's line
    local before requested lines=() i
    n2_gpus 1
    drain_check "$1, before the reboot" "drained 'gpu_arch: 1 of 2 quarn904' quarn904 2 "
    before=$(boot_time)
    in_container n1 scontrol reboot $2 n2
    await test -e "$container_work/n2/requests/reboot" || fail "reboot, $1: slurmd did not run RebootProgram"
    [ "$(reason n2)" = "$3" ] || fail "reboot, $1: the reason while it reboots is '$(reason n2)', expected '$3'"
    # Slurm takes a boot for the one asked for when its BootTime, in whole
    # seconds, is later than the request: this one starts a second after, as
    # any real one does.
    requested=$(stat -c %Y "$container_work/n2/requests/reboot")
    rm "$container_work/n2/requests/reboot"
    until [ "$(date +%s)" -gt $((requested + 1)) ]; do sleep 0.2; done
    reboot_container n2 || fail "reboot, $1: n2 did not boot again"
    for ((i = 0; i < $4; i++)); do lines+=('isa_major 9 isa_minor 4'); done
    driver_tree n2 "${lines[@]}"
    link_containers n1 n2
    in_container n2 systemctl start munge slurmd || fail "reboot, $1: slurmd did not start"
    await rebooted "$before" || fail "reboot, $1: slurmctld shows no new boot of n2: $(in_container n1 scontrol show node n2)"
    n2_gpus "$4"
    drain_check "$1, after the reboot" "$5"
    in_container n2 journalctl -b -o cat -u gpu_arch-publish.service | grep -q -F "$6" ||
        fail "reboot, $1: no '$6' in the journal: $(in_container n2 journalctl -b -o cat -u gpu_arch-publish.service)"
    echo "reboot, $1: BootTime $before, then $(boot_time)"
}
rows reboot_row <<'ROWS'
nextstate=resume, the GPU still missing ¦ nextstate=resume ¦ gpu_arch: 1 of 2 quarn904 : reboot issued ¦ 1 ¦ drained 'gpu_arch: 1 of 2 quarn904' quarn904 2  ¦ came back from a reboot with 1 of 2 quarn904: a reboot accepts no loss
plain, the GPUs back ¦  ¦ gpu_arch: 1 of 2 quarn904 : reboot issued ¦ 2 ¦ idle '' quarn904 2  ¦ node 'n2' resumed in slurmctld: it has all its GPUs again
ROWS
# A reimaged node, its state folder gone, with README's declaration: drained
# at its first pass.
declare_gpus=$(readme_command 'GPU_ARCH_EXPECTED=' | sed 's/quarn1000=8/quarn904=2/')
in_container n2 sh -c "rm -rf /var/lib/gpu_arch-publish && $declare_gpus" || fail "README's declaration failed"
n2_gpus 1
drain_check "state folder lost, the GPUs declared" "drained 'gpu_arch: 1 of 2 quarn904' quarn904 2 "
n2_gpus 2
drain_check "and the GPU back" "idle '' quarn904 2 "
# Slurm's own health check, as the manual sets it, drains and resumes alone.
in_container n2 sed -i 's/slurm-drain - //' /etc/default/gpu_arch-publish
for node in n1 n2; do
    printf 'HealthCheckProgram=/usr/share/gpu_arch/slurm-health-check\nHealthCheckInterval=5\nHealthCheckNodeState=ANY\n' |
        in_container "$node" sh -c 'cat >>/etc/slurm/slurm.conf'
done
in_container n1 scontrol reconfigure
driver_tree n2 'isa_major 9 isa_minor 4'
drain_check "by the health check, a GPU lost" "drained 'gpu_arch: 1 of 2 quarn904' quarn904 2 "
driver_tree n2 'isa_major 9 isa_minor 4' 'isa_major 9 isa_minor 4'
drain_check "by the health check, the GPU back" "idle '' quarn904 2 "
for node in n1 n2; do in_container "$node" sed -i '/^HealthCheck/d' /etc/slurm/slurm.conf; done
in_container n1 scontrol reconfigure
in_container n2 sed -i '/^GPU_ARCH_EXPECTED/d' /etc/default/gpu_arch-publish

# Node sets keyed on a feature follow once README's command has run on the
# controller: n1 joins the gpu partition with quarn1000 and leaves it without.
reconfigure=$(readme_command 'scontrol reconfigure')
gpu_partition() { in_container n1 scontrol show partition gpu | sed -n 's/^ *Nodes=\([^ ]*\).*/\1/p'; }
in_container n1 sh -c "$reconfigure"
await sh -c "[ \"\$($(declare -f in_container leader_of gpu_partition); container_work=$container_work; gpu_partition)\" = n1 ]" ||
    fail "the gpu node set holds $(gpu_partition), not n1"
check_jobs n1 quarn1000 quarn904 gpu

# A build on a host without a GPU (n2, its tree emptied for the while) asks
# for the fleet's architectures: the command's lines and exit status, and
# what README's line gives a CMake project there. Drained and down nodes
# count, unless only the nodes that run jobs now are asked for.
older_partition() { in_container n1 scontrol show partition older | sed -n 's/^ *Nodes=\([^ ]*\).*/\1/p'; }
await sh -c "[ \"\$($(declare -f in_container leader_of older_partition); container_work=$container_work; older_partition)\" = n2 ]" ||
    fail "the older node set holds $(older_partition), not n2"
driver_tree n2
[ -z "$(in_container n2 gpu_arch)" ] || fail "n2 still has a GPU"
build_line=$(readme_command 'GPU_ARCH_FLEET=slurm:gpu')
[ -n "$build_line" ] || fail "README shows no line that builds for a partition"
printf 'cmake_minimum_required(VERSION 3.25)\nproject(c NONE)\nfind_package(gpu_arch 1 CONFIG REQUIRED)\n%s\n' \
    'gpu_arch_detect(archs FALLBACK quarn7)' | in_container n2 sh -c 'mkdir -p /root/c && cat >/root/c/CMakeLists.txt'
fleet_row() { # name, slurm-fleet's words, its lines (;-separated), exit status, GPU_ARCH_FLEET, CMake's status line
    local got status=0 configured
    got=$(in_container n2 gpu_arch-publish slurm-fleet $2 2>"$container_work/fleet.err") || status=$?
    got=$(paste -sd ';' - <<<"$got")
    [ "$got;$status" = "$3;$4" ] || fail "fleet, $1: printed '$got', status $status, expected '$3', $4: $(cat "$container_work/fleet.err")"
    # CMake's messages, their wrapped lines joined.
    configured=$(in_container n2 sh -c "cd /root/c && rm -rf build && ${build_line/slurm:gpu/$5} 2>&1" | tr -s ' \n' ' ') || true
    grep -q -F -- "$6" <<<"$configured" || fail "fleet, $1: CMake did not say '$6': $configured"
    echo "fleet, $1: '$got', status $status; CMake: $6"
}
rows fleet_row <<'ROWS'
partition gpu ¦ gpu ¦ quarn1000 ¦ 0 ¦ slurm:gpu ¦ -- gpu_arch: quarn1000 (fleet)
partition older ¦ older ¦ quarn904 ¦ 0 ¦ slurm:older ¦ -- gpu_arch: quarn904 (fleet)
all nodes ¦  ¦ quarn1000;quarn904 ¦ 0 ¦ slurm ¦ -- gpu_arch: quarn1000;quarn904 (fleet)
no such partition ¦ gpx ¦  ¦ 3 ¦ slurm:gpx ¦ gives no architecture: gpu_arch-publish: no node matched: partition 'gpx' has no node
ROWS
in_container n1 scontrol update NodeName=n2 State=DRAIN Reason=fleet
rows fleet_row <<'ROWS'
drained node ¦ older ¦ quarn904 ¦ 0 ¦ slurm:older ¦ -- gpu_arch: quarn904 (fleet)
drained, ready only ¦ ready older ¦  ¦ 3 ¦ slurm:older ¦ -- gpu_arch: quarn904 (fleet)
ROWS
in_container n1 scontrol update NodeName=n2 State=DOWN Reason=fleet
rows fleet_row <<'ROWS'
down node ¦ older ¦ quarn904 ¦ 0 ¦ slurm:older ¦ -- gpu_arch: quarn904 (fleet)
ROWS
in_container n1 scontrol update NodeName=n2 State=RESUME
driver_tree n2 'isa_major 9 isa_minor 4'
driver_tree n1
restart_slurmd n1
await_idle n1
in_container n1 sh -c "$reconfigure"
await sh -c "[ \"\$($(declare -f in_container leader_of gpu_partition); container_work=$container_work; gpu_partition)\" = '(null)' ]" ||
    fail "after losing quarn1000, the gpu node set still holds $(gpu_partition)"
echo "node set: n1 in it with quarn1000, out of it without"

# Nodes of slurm.conf: each node's line, printed through srun by README's
# command, replaces the site's, with the node's other settings kept. The
# timers stop too: what the node keeps comes from the rows below alone.
for node in n1 n2; do
    in_container "$node" systemctl stop slurmd gpu_arch-publish.timer
    in_container "$node" rm -f /etc/systemd/system/slurmd.service.d/gpu_arch-publish.conf /etc/default/slurmd
    in_container "$node" systemctl daemon-reload
done
in_container n1 systemctl stop slurmctld
in_container n1 sh -c 'rm -rf /var/lib/slurm/slurmctld/*'
slurm_conf=$(in_container n1 cat /etc/slurm/slurm.conf)
static_conf() { # node lines
    for node in n1 n2; do
        printf '%s\n%s\nGresTypes=scratch\n' "$slurm_conf" "$1" | in_container "$node" sh -c 'cat >/etc/slurm/slurm.conf'
        printf 'NodeName=n1 Name=scratch Count=1\n' | in_container "$node" sh -c 'cat >/etc/slurm/gres.conf'
    done
}
static_conf "NodeName=n1 NodeAddr=192.0.2.1 CPUs=1 Weight=7 Gres=scratch:1 Features=site_a # GPU node
NodeName=n2 NodeAddr=192.0.2.2 CPUs=1 Features=site_a,quarn1000"
driver_tree n1 'isa_major 10'
driver_tree n2 'isa_major 9 isa_minor 4'
in_container n1 systemctl start slurmctld
for node in n1 n2; do in_container "$node" systemctl start slurmd; done
await_idle n1
await_idle n2
node_lines=$(readme_command 'node-line' | sed 's/<N>/2/')
lines=$(in_container n1 sh -c "$node_lines") || fail "node-line through srun failed: $lines"
expected="NodeName=n1 NodeAddr=192.0.2.1 CPUs=1 Weight=7 Gres=scratch:1 Features=site_a,quarn1000 # GPU node
NodeName=n2 NodeAddr=192.0.2.2 CPUs=1 Features=site_a,quarn904"
[ "$lines" = "$expected" ] || fail "node-line printed $lines, expected $expected"
static_conf "$lines"
in_container n1 sh -c "$reconfigure && $reconfigure"
await sh -c "[ \"\$($(declare -f in_container leader_of gpu_partition); container_work=$container_work; gpu_partition)\" = n1 ]" ||
    fail "static nodes: the gpu node set holds $(gpu_partition), not n1"
[ "$(features n1) $(features n2)" = "site_a,quarn1000 site_a,quarn904" ] ||
    fail "static nodes: features $(features n1) $(features n2)"
in_container n1 scontrol show node n1 | grep -q 'Weight=7 ' || fail "static node n1 lost its weight"
in_container n1 scontrol show node n1 | grep -q 'Gres=scratch:1' || fail "static node n1 lost its Gres"
check_jobs n1 quarn1000 quarn2000
check_jobs n2 quarn904 quarn2000
echo "static nodes: $lines"
# Slurm names the node in a job step; a program that fails makes node-line
# fail, with the answer that the step above kept.
line=$(in_container n1 env SLURMD_NODENAME=n2 gpu_arch-publish node-line)
[ "$line" = "NodeName=n2 NodeAddr=192.0.2.2 CPUs=1 Features=site_a,quarn1000" ] || fail "node-line for n2 on n1: $line"
! line=$(in_container n1 env GPU_ARCH_PROGRAM=/bin/false gpu_arch-publish node-line 2>/dev/null) ||
    fail "node-line succeeded when gpu_arch failed: $line"
[ "$line" = "NodeName=n1 NodeAddr=192.0.2.1 CPUs=1 Weight=7 Gres=scratch:1 Features=site_a,quarn1000 # GPU node" ] ||
    fail "node-line printed $line when gpu_arch failed"

# A node on a line for several nodes gets no line, and the command fails.
static_conf "NodeName=n[1-2] CPUs=1 Features=site_a"
if out=$(in_container n1 env SLURMD_NODENAME=n1 gpu_arch-publish node-line 2>&1); then
    fail "node-line printed a line for a node of a range: $out"
fi
grep -q -F "has no line of its own in slurm.conf, and a line for several nodes may define it ('NodeName=n[1-2]')" <<<"$out" ||
    fail "node-line on a range line said: $out"
echo "range line: refused"
echo "slurm ok"
