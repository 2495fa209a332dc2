# SPDX-License-Identifier: MIT
# Debian 12 containers booted under their own systemd, for the scenarios that
# need a real one. Sourced by bash scripts that run as root; they call
# stop_containers when they end (containers_cleanup does it on exit).
#
#   boot_container NAME [PACKAGE...]   boot a container of its own, on a copy of
#                                      the cached root, and install the .debs
#   in_container NAME COMMAND...       run a command inside it, as root
#   link_containers NAME1 NAME2        one network between the two
#   reboot_container NAME              boot it again on the same disk, fresh
#   stop_containers                    shut every container down
#   await COMMAND...                   wait up to 60 s for it to succeed
#   readme_command PATTERN             the command README shows that matches
#   rows FUNCTION <<'EOF'              call FUNCTION once per row of a table
#   fail MESSAGE...                    say why and stop, from anywhere
#
# The root is made once with debootstrap, from the Debian mirror that apt
# uses here, and kept in GPU_ARCH_CONTAINER_CACHE (/var/cache/gpu_arch-test);
# each container writes to an overlay of its own, so the root stays clean.
# Each has a network namespace of its own with loopback only, cgroups of
# its own (what it leaves running is killed when it stops), and a tmpfs
# over /sys/devices/virtual where driver_tree puts made-up GPUs with the
# script that GPU_ARCH_DRIVER_TREE names (the build's driver-tree.sh).
# A folder of the host's is bound at /mnt/requests in each, for what a
# container asks of the host (a reboot).

# A failure says why and where, inside functions too (set -E), then what the
# script's on_failure shows (logs, journals), and stops the script.
set -E
fail() {
    echo "FAILED: $*" >&2
    if declare -F on_failure >/dev/null; then on_failure >&2 || true; fi
    exit 1
}
trap 'fail "${BASH_SOURCE[0]##*/} line $LINENO: $BASH_COMMAND failed"' ERR

# A table's rows, one a line: a name, then its fields, each after " ¦ ";
# blank lines are left out. All rows are read before the first runs, so
# that nothing a row runs can read the rows that follow.
rows() { # function, the rows on standard input
    local line table=() fields=()
    while IFS= read -r line; do
        [ -z "$line" ] || table+=("$line")
    done
    for line in "${table[@]}"; do
        fields=()
        while [[ $line == *' ¦ '* ]]; do
            fields+=("${line%% ¦ *}")
            line=${line#* ¦ }
        done
        fields+=("$line")
        "$1" "${fields[@]}"
    done
}

container_cache=${GPU_ARCH_CONTAINER_CACHE:-/var/cache/gpu_arch-test}
container_packages=systemd,systemd-sysv,dbus,procps,iproute2,slurmd,slurmctld,slurm-client,munge,cmake,make
container_image=$container_cache/bookworm-$(printf '%s' "$container_packages" | sha256sum | cut -c1-12)
container_work=$(mktemp -d)
container_names=()

# The first Debian mirror that apt reads from.
debian_mirror() {
    cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
        grep -o -E 'https?://[^ ]*/debian/?( |$)' | head -n 1 | tr -d ' '
}

make_container_image() {
    mkdir -p "$container_cache"
    (
        flock 9
        [ -f "$container_image/.complete" ] && exit 0
        rm -rf "$container_image.new"
        echo "Making the container root $container_image"
        debootstrap --variant=minbase --include="$container_packages" bookworm "$container_image.new" \
            "$(debian_mirror)" >"$container_work/debootstrap.log" 2>&1 ||
            { tail -n 20 "$container_work/debootstrap.log"; exit 1; }
        # The daemons start when a scenario says so, not at boot.
        chroot "$container_image.new" systemctl disable -q slurmd slurmctld munge
        rm -f "$container_image.new/etc/munge/munge.key"
        touch "$container_image.new/.complete"
        mv "$container_image.new" "$container_image"
    ) 9>"$container_cache/lock"
}

leader_of() { cat "$container_work/$1/leader"; }

in_container() { # name command...
    local leader
    leader=$(leader_of "$1") && shift
    nsenter --target "$leader" --mount --uts --ipc --net --pid --cgroup --time -- \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}

# The container's init: nspawn's child in a PID namespace of its own.
container_init() { # nspawn's process
    local child
    for child in $(pgrep -P "$1"); do
        [ "$(readlink "/proc/$child/ns/pid")" = "$(readlink /proc/self/ns/pid)" ] || { echo "$child"; return 0; }
    done
    return 1
}

# The cgroups a container gets, one in each hierarchy that nspawn uses,
# below the caller's: nspawn puts the container's own below the cgroup it
# starts in, so two containers started from one would share every unit's
# cgroup, and what one left behind would hold up the next one's boot. Each
# boot has a name of its own: a second boot never joins what a first left.
container_boots=0
container_cgroups() { # name
    local own name
    container_boots=$((container_boots + 1))
    name=gpu_arch-test-$$-$container_boots-$1
    own=$(sed -n 's/^0:://p' /proc/self/cgroup)
    if [ "$(stat -fc %T /sys/fs/cgroup)" = cgroup2fs ]; then
        echo "/sys/fs/cgroup${own%/}/$name"
        return 0
    fi
    [ "$(stat -fc %T /sys/fs/cgroup/unified 2>/dev/null)" != cgroup2fs ] ||
        echo "/sys/fs/cgroup/unified${own%/}/$name"
    own=$(sed -n 's/^[0-9]*:name=systemd://p' /proc/self/cgroup)
    [ "$(stat -fc %T /sys/fs/cgroup/systemd 2>/dev/null)" != cgroupfs ] ||
        echo "/sys/fs/cgroup/systemd${own%/}/$name"
}

# What the container's systemd is doing, for a boot that does not end.
container_boot_state() { # name
    local leader
    leader=$(leader_of "$1") || return 0
    echo "systemd: $(timeout 10 nsenter --target "$leader" --mount --pid -- systemctl is-system-running 2>&1)"
    timeout 10 nsenter --target "$leader" --mount --pid -- systemctl list-jobs --no-pager 2>&1 | head -n 20
    timeout 10 nsenter --target "$leader" --mount --pid -- journalctl -b --no-pager -n 30 -o short-monotonic 2>&1
    return 0
}

boot_container_once() { # name [package...]
    local name=$1 dir=$container_work/$1 nspawn leader='' cgroup clock=()
    shift
    mkdir -p "$dir/upper" "$dir/overlay" "$dir/root" "$dir/packages" "$dir/requests"
    # A boot after the first: in a time namespace whose boot clock starts at
    # zero, as a node's does, so that its uptime says it just booted.
    [ -z "${container_fresh_boot:-}" ] || clock=(unshare --time --boottime "-$(cut -d. -f1 /proc/uptime)")
    mount -t overlay overlay -o "lowerdir=$container_image,upperdir=$dir/upper,workdir=$dir/overlay" "$dir/root"
    [ $# -eq 0 ] || cp "$@" "$dir/packages/"
    echo "$name" >"$dir/root/etc/hostname"
    container_cgroups "$name" >"$dir/cgroups"
    # In a session and cgroups of its own: only stop_container stops it.
    (
        while read -r cgroup; do
            { mkdir "$cgroup" && echo "$BASHPID" >"$cgroup/cgroup.procs"; } || exit 1
        done <"$dir/cgroups"
        exec setsid ${clock[@]+"${clock[@]}"} systemd-nspawn --quiet --directory="$dir/root" --boot \
            --register=no --keep-unit --private-network --machine="$name" --console=passive \
            --bind-ro="$dir/packages:/mnt/packages" --bind="$dir/requests:/mnt/requests"
    ) >"$dir/console.log" 2>&1 &
    nspawn=$!
    [[ " ${container_names[*]} " == *" $name "* ]] || container_names+=("$name")
    echo "$nspawn" >"$dir/nspawn"
    for _ in $(seq 100); do
        leader=$(container_init "$nspawn") && break
        sleep 0.1
    done
    [ -n "$leader" ] || { echo "no init in container $name:" && cat "$dir/console.log"; return 1; }
    echo "$leader" >"$dir/leader"
    timeout 120 bash -c "until nsenter --target $leader --mount --pid -- systemctl is-system-running --wait \
        >/dev/null 2>&1; do state=\$(nsenter --target $leader --mount --pid -- systemctl is-system-running 2>&1);
        case \$state in running|degraded) exit 0 ;; esac; kill -0 $nspawn || exit 1; sleep 0.5; done" ||
        { echo "container $name did not come up in 120 s:"; container_boot_state "$name"; cat "$dir/console.log"
            return 1; }
    in_container "$name" sh -c 'ip link set lo up && mount -t tmpfs tmpfs /sys/devices/virtual' || return 1
    if [ $# -gt 0 ]; then
        in_container "$name" sh -c 'DEBIAN_FRONTEND=noninteractive dpkg -i /mnt/packages/*.deb >/dev/null' ||
            return 1
    fi
}

# A veth pair between the two, with 192.0.2.1 and 192.0.2.2 (a range that is
# never routed) and each other's names in /etc/hosts.
link_containers() { # name1 name2
    ip link add gpuarch0 netns "$(leader_of "$1")" type veth peer name gpuarch0 netns "$(leader_of "$2")"
    local i=1 name
    for name in "$1" "$2"; do
        in_container "$name" sh -c "ip addr add 192.0.2.$i/24 dev gpuarch0 && ip link set gpuarch0 up &&
            printf '192.0.2.1 $1\n192.0.2.2 $2\n' >>/etc/hosts"
        i=$((i + 1))
    done
}

# Makes the made-up driver tree in the container: one node per properties
# line given, or none.
driver_tree() { # name line...
    local name=$1
    shift
    in_container "$name" sh -s /sys "$@" <"$GPU_ARCH_DRIVER_TREE"
}

stop_container() { # name
    local dir=$container_work/$1 pid cgroup
    pid=$(cat "$dir/nspawn" 2>/dev/null) || return 0
    # nspawn asks the container's systemd to shut down.
    kill -TERM "$pid" 2>/dev/null || true
    timeout 60 tail --pid="$pid" -f /dev/null || kill -KILL "$pid" 2>/dev/null || true
    timeout 10 tail --pid="$pid" -f /dev/null || true
    # What the container left running ends with it, and its cgroups go.
    while read -r cgroup; do
        for _ in $(seq 50); do
            [ -d "$cgroup" ] || break
            pid=$(find "$cgroup" -name cgroup.procs -exec cat {} + 2>/dev/null || true)
            [ -n "$pid" ] || break
            if [ -f "$cgroup/cgroup.kill" ]; then
                echo 1 >"$cgroup/cgroup.kill" 2>/dev/null || true
            else
                kill -KILL $pid 2>/dev/null || true
            fi
            sleep 0.1
        done
        find "$cgroup" -depth -type d -exec rmdir {} + 2>/dev/null || true
    done < <(cat "$dir/cgroups" 2>/dev/null)
    umount "$dir/root" 2>/dev/null || umount -l "$dir/root" || true
    rm -f "$dir/nspawn"
}

# Boots the container, and once more should the first boot fail.
boot_container() { # name [package...]
    make_container_image
    boot_container_once "$@" && return 0
    echo "container $1: booting again"
    stop_container "$1"
    rm -rf "${container_work:?}/$1"
    boot_container_once "$@"
}

# Shuts the container down and boots it again as a node reboots: its disk
# (the overlay's upper layer) stays, what is in memory (/run, the made-up
# driver tree, its links) goes, and its boot clock starts anew.
reboot_container() { # name
    stop_container "$1"
    container_fresh_boot=1 boot_container_once "$1"
}

stop_containers() {
    local name
    for name in "${container_names[@]}"; do
        stop_container "$name"
    done
    container_names=()
}

await() {
    for _ in $(seq 300); do "$@" >/dev/null 2>&1 && return 0; sleep 0.2; done
    return 1
}

# A command as README shows it, indented, on a line of its own.
readme_command() { # a pattern that only that command matches
    sed -n "s/^    \(.*$1.*\)$/\1/p" "$(dirname "${BASH_SOURCE[0]}")/../../README.md"
}

containers_cleanup() {
    stop_containers
    rm -rf "$container_work"
}
