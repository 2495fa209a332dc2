#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage, as root: tests/scenarios/kubernetes.sh BUILD INDEX.oci.tar
#
# The DaemonSet of deploy/kubernetes as a node runs it: its manifests checked
# against Kubernetes' own schemas (tests/kubernetes, after npm ci there), the
# release's image index copied into a registry on 127.0.0.1 with README's
# command and pulled from it, then the DaemonSet's container, read from the
# manifest, run under podman with the host's folders mapped to the test's
# own and a made-up driver tree over /sys/devices/virtual. One table: each
# row starts the container, waits, and checks the feature file, the log,
# the state, the readiness and how it ended. It gives up after 10 minutes.
set -euo pipefail
if [ "${1:-}" != --inside-time-limit ]; then
    exec timeout 600 "$0" --inside-time-limit "$@"
fi
build=$(realpath "$2")
archive=$(realpath "$3")
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
. "$here/container.sh"
work=$(mktemp -d)
# runc, since crun cannot set this machine's limits; the default open-file
# limit is above what root may set here, so both limits are given.
podman=(podman --runtime runc --cgroup-manager cgroupfs)
limits=(--ulimit nofile=1024:1024 --ulimit nproc=1024:1024)
name=gpu-arch-publish-test-$$
registry_pid='' binfmt='' binfmt_mounted=''
declare -A images=()
binfmt_restore() { # the host's binfmt_misc as it was
    [ -z "$binfmt" ] || echo -1 >/proc/sys/fs/binfmt_misc/qemu-aarch64
    [ -z "$binfmt_mounted" ] || umount /proc/sys/fs/binfmt_misc; binfmt='' binfmt_mounted=''; }
cleanup() {
    "${podman[@]}" rm -f -t 0 "$name" >/dev/null 2>&1 || true
    [ ${#images[@]} = 0 ] || { "${podman[@]}" image unmount "${images[@]}" && "${podman[@]}" rmi "${images[@]}"; } >/dev/null 2>&1 || true
    binfmt_restore
    [ -z "$registry_pid" ] || { kill "$registry_pid" 2>/dev/null; wait "$registry_pid" 2>/dev/null || true; }
    rm -rf "$work"
    containers_cleanup
}
trap cleanup EXIT
on_failure() {
    "${podman[@]}" logs "$name" 2>&1 | tail -n 20 || true
    cat "$work/features.d/gpu_arch" 2>/dev/null || true
}

# The manifests, valid; and a value of the wrong type, refused.
node "$top/tests/kubernetes/manifests.mjs" validate "$top/deploy/kubernetes"
cp -r "$top/deploy/kubernetes" "$work/broken"
sed -i 's/allowPrivilegeEscalation: false/allowPrivilegeEscalation: "no"/' "$work/broken/daemonset.yaml"
! node "$top/tests/kubernetes/manifests.mjs" validate "$work/broken" 2>/dev/null ||
    fail "a DaemonSet with allowPrivilegeEscalation: \"no\" passed the schemas"
rendered=$(kubectl kustomize "$top/deploy/kubernetes")
grep -q "image: $(sed -n 's/.*newName: //p' "$top/deploy/kubernetes/kustomization.yaml"):" <<<"$rendered" ||
    fail "kubectl kustomize does not name the image"
read -ra architectures < <(node "$top/tests/kubernetes/manifests.mjs" check "$top/deploy/kubernetes" \
    "$(sed -n 's/^  VERSION //p' "$top/CMakeLists.txt")" <<<"$rendered" | sed 's/.*: //')
echo "kubectl kustomize: rendered, for ${architectures[*]}"

# The index into a registry on loopback, with README's command.
port=$((20000 + $$ % 10000))
mkdir "$work/registry"
printf 'version: 0.1\nstorage:\n  filesystem:\n    rootdirectory: %s\nhttp:\n  addr: 127.0.0.1:%s\n' \
    "$work/registry" "$port" >"$work/registry.yml"
docker-registry serve "$work/registry.yml" >"$work/registry.log" 2>&1 &
registry_pid=$!
await bash -c "echo >/dev/tcp/127.0.0.1/$port" || fail "the registry did not start: $(cat "$work/registry.log")"
copy=$(readme_command 'skopeo copy --all oci-archive:')
[ -n "$copy" ] || fail "README shows no skopeo copy --all"
version=$(sed -n 's/.*newTag: //p' "$top/deploy/kubernetes/kustomization.yaml")
copy=${copy//REGISTRY/127.0.0.1:$port} copy=${copy//<version>/$version}
(cd "$(dirname "$archive")" && eval "${copy/skopeo copy /skopeo copy --quiet --dest-tls-verify=false }")
reference=127.0.0.1:$port/gpu_arch:$version
# The index for the DaemonSet's architectures, each image's programs for its machine.
[ "$(skopeo inspect --raw --tls-verify=false "docker://$reference" | grep -o '"architecture":"[a-z0-9]*","os":"linux"' |
    cut -d'"' -f4 | sort | paste -sd' ' -)" = "${architectures[*]}" ] || fail "the index is not for ${architectures[*]}"
declare -A machines=([amd64]='Advanced Micro Devices X86-64' [arm64]=AArch64)
for architecture in "${architectures[@]}"; do
    image=$("${podman[@]}" pull --quiet --tls-verify=false --arch "$architecture" "$reference")
    images[$architecture]=$image root=$("${podman[@]}" image mount "$image")
    [ "$(readelf -h "$root"/usr/bin/gpu_arch "$root"/usr/sbin/gpu_arch-publish | grep -c "Machine: *${machines[$architecture]}$")" = 2 ] ||
        fail "$architecture: the programs are not for it"
    "${podman[@]}" image unmount "$image" >/dev/null
done

# The DaemonSet's container: its options, then the image, then its args.
mkdir -p "$work/features.d" "$work/state" "$work/test" "$work/sys/devices/virtual"
mapfile -d '' words < <(node "$top/tests/kubernetes/manifests.mjs" podman "$top/deploy/kubernetes" \
    /etc/kubernetes/node-feature-discovery/features.d="$work/features.d" /var/lib/gpu_arch-publish="$work/state")
options=() args=() created=()
for word in "${words[@]}"; do
    if [ "${word%%=*}" = CREATE ]; then
        created+=("${word#CREATE=}")
    elif [ "$word" = IMAGE ]; then
        options=("${args[@]}") args=()
    else
        args+=("$word")
    fi
done
g++ -std=c++20 -O2 -static -o "$work/test/orphaning" "$top/tests/kubernetes/orphaning.cpp"
export GPU_ARCH_DRIVER_TREE=$build/driver-tree.sh
tree() { # the made-up GPUs, each a properties text
    rm -rf "$work/sys/devices/virtual"/*
    sh "$GPU_ARCH_DRIVER_TREE" "$work/sys" "$@"
}
start() { # more podman options; the image is $image. The folders the kubelet makes, made.
    mkdir -p "${created[@]}"
    "${podman[@]}" run -d --name "$name" "${limits[@]}" "${options[@]}" --health-interval=disable \
        --volume="$work/sys/devices/virtual:/sys/devices/virtual:ro" --volume="$work/test:/test:ro" "$@" \
        "$image" "${args[@]}" >/dev/null
}
labels() { grep -v '^#' "$work/features.d/gpu_arch" | paste -sd' ' -; }
ready() { "${podman[@]}" healthcheck run "$name" >/dev/null 2>&1; } # the manifest's readiness check, as the kubelet runs it
expiry() { sed -n 's/^# +expiry-time=//p' "$work/features.d/gpu_arch"; }
# Ended by SIGTERM as a pod's stop ends it: within a second, status 0. The
# second counts from when podman has sent the signal, which under load can
# itself take a while.
stop() {
    local sent
    "${podman[@]}" kill --signal TERM "$name" >/dev/null
    sent=$(date +%s.%N)
    [ "$("${podman[@]}" wait "$name")" = 0 ] || fail "SIGTERM did not end it with status 0"
    awk -v sent="$sent" -v ended="$(date -d "$("${podman[@]}" inspect -f '{{.State.FinishedAt}}' "$name" |
        sed 's/ +0000 UTC$//')" +%s.%N)" 'BEGIN { exit !(ended - sent < 1) }' || fail "SIGTERM took a second or more"
    "${podman[@]}" logs "$name" >"$work/log" 2>&1
    "${podman[@]}" rm "$name" >/dev/null
}
# Waits up to 70 s, past the interval, for the labels.
labels_become() {
    for _ in $(seq 350); do [ "$(labels 2>/dev/null)" = "$1" ] && return 0; sleep 0.2; done
    fail "the labels are '$(labels 2>/dev/null)', not '$1'"
}
p=gpu-arch.feature.node.kubernetes.io

image=${images[amd64]}
# Two GPUs, one of them gone by the next pass, then a stop: the file stays.
tree "isa_major 10" "isa_major 9 isa_minor 4"
start
labels_become "$p/quarn1000=true $p/quarn1000.gpus=1 $p/quarn904=true $p/quarn904.gpus=1 $p/gpus=2"
sh "$top/tests/feature-file-check.sh" "$work/features.d/gpu_arch"
[ "$("${podman[@]}" inspect -f '{{.HostConfig.ReadonlyRootfs}} {{.EffectiveCaps}}' "$name")" = "true []" ] ||
    fail "the container is not read-only without capabilities"
await ready || fail "a pod that publishes is not ready"
tree "isa_major 10"
labels_become "$p/quarn1000=true $p/quarn1000.gpus=1 $p/gpus=1"
kept=$(cat "$work/features.d/gpu_arch")
stop
[ "$(cat "$work/features.d/gpu_arch")" = "$kept" ] || fail "the stop changed the feature file"
[ "$(sed 's/^gpu_arch-publish: //' "$work/log" | paste -sd'|' -)" = "the node has quarn1000 (1), quarn904 (1)|the node has quarn1000 (1); before, quarn1000 (1), quarn904 (1)" ] || fail "the log does not tell each change once: $(cat "$work/log")"
echo "labels, changed at the next pass, kept through a stop: $(labels)"

# Restarted where gpu_arch fails: the last answer, with its expiry, stays.
since=$(sed -n 's/^since //p' "$work/state/architectures")
start --env=GPU_ARCH_PROGRAM=/test/missing
logged() { "${podman[@]}" logs "$name" 2>&1 | grep -q "$1"; }
await logged 'kept until' || fail "the restart said nothing of the kept answer"
stop
[ "$(cat "$work/features.d/gpu_arch")" = "$kept" ] || fail "a failing restart changed the labels"
grep -q "the last answer, from $(date -u -d "@$since" +%Y-%m-%dT%H:%M:%SZ), is kept until $(expiry)" "$work/log" ||
    fail "the log does not say the answer is kept until $(expiry): $(cat "$work/log")"
echo "failing restart: the labels kept until $(expiry)"

# On a node where node feature discovery has not made its folder, without
# the program: the pod starts, writes the kept labels where they will be
# read, and is not ready, so that a rollout stops there.
rm -rf "$work/features.d" "$work/state/last-pass"
start --env=GPU_ARCH_PROGRAM=/test/missing
await grep -q ' 1$' "$work/state/last-pass" || fail "no pass was recorded: $(cat "$work/state/last-pass" 2>&1)"
[ "$("${podman[@]}" inspect -f '{{.State.Running}}' "$name")" = true ] || fail "the pod did not start without features.d"
! ready || fail "a pod whose program is missing is ready"
[ "$(cat "$work/features.d/gpu_arch")" = "$kept" ] || fail "the kept labels are not in the new features.d"
stop
echo "without features.d nor the program: started, kept labels written, not ready"

# A gpu_arch that leaves an orphan: the orphan is the container's first
# process's to reap, and leaves no zombie.
rm "$work/features.d/gpu_arch"
start --env=GPU_ARCH_PROGRAM=/test/orphaning
first=$("${podman[@]}" inspect -f '{{.State.Pid}}' "$name")
labels_become "$p/quarn1000=true $p/quarn1000.gpus=1 $p/gpus=1"
children() { ps -o stat=,comm= --ppid "$first" | awk '{ print $1 ~ /^Z/ ? "zombie" : "", $2 }' | paste -sd' ' -; }
[ "$(children)" = " orphaning" ] || fail "no orphan was left to PID 1: '$(children)'"
await sh -c "[ -z \"\$(ps -o pid= --ppid $first)\" ]" || fail "PID 1 left '$(children)'"
stop
echo "orphan reaped"

# The arm64 image's programs, run through qemu-user, give the same labels.
mountpoint -q /proc/sys/fs/binfmt_misc || { mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc && binfmt_mounted=1; }
[ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
    { /lib/systemd/systemd-binfmt /usr/lib/binfmt.d/qemu-aarch64.conf && binfmt=1; }
image=${images[arm64]}
tree "isa_major 10" "isa_major 9 isa_minor 4"
start
labels_become "$p/quarn1000=true $p/quarn1000.gpus=1 $p/quarn904=true $p/quarn904.gpus=1 $p/gpus=2"
sh "$top/tests/feature-file-check.sh" "$work/features.d/gpu_arch"
stop
binfmt_restore
echo "arm64 image under qemu-user: $(labels)"
echo "kubernetes ok"
