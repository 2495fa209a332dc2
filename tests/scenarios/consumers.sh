#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Usage, as root: tests/scenarios/consumers.sh BUILD GPU-ARCH.deb
#
# The timer's consumers with the real tools, one table each: two node
# exporters (textfile collector only) scraped every second by Prometheus, all
# on 127.0.0.1; node feature discovery's feature files, checked by
# tests/feature-file-check.sh and kubectl; Ansible's local facts. First, the
# timer and its service under a real systemd, enabled as README says. The
# program is BUILD's gpu_arch-publish running BUILD's test build of gpu_arch in
# a made-up tree. Every daemon it starts is stopped; it gives up after 10
# minutes.
set -euo pipefail
if [ "${1:-}" != --inside-time-limit ]; then
    exec timeout 600 "$0" --inside-time-limit "$@"
fi
build=$(realpath "$2")
deb=$3
here=$(cd "$(dirname "$0")" && pwd)
export GPU_ARCH_DRIVER_TREE=$build/driver-tree.sh
. "$here/container.sh"
work=$(mktemp -d)
chmod 755 "$work"
daemons=()
stop_daemons() {
    local pid
    for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${daemons[@]}"; do wait "$pid" 2>/dev/null || true; done
    daemons=()
}
cleanup() {
    stop_daemons
    containers_cleanup
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' TERM INT
on_failure() { tail -n 5 "$work"/*.log 2>/dev/null || true; }

# The kept answer lives here, not in the machine's /var/lib.
export STATE_DIRECTORY=$work/state
# The node's GPUs: a tree (properties lines, comma-separated), none, or
# fail for a program that fails.
export GPU_ARCH_PROGRAM=$work/gpu_arch
set_node() { # tree
    local lines=()
    [ "$1" = none ] || [ "$1" = fail ] || IFS=, read -r -a lines <<<"$1"
    sh "$GPU_ARCH_DRIVER_TREE" "$work/sys" ${lines[@]+"${lines[@]}"}
    if [ "$1" = fail ]; then
        printf '#!/bin/sh\necho quarn1000\nexit 3\n' >"$GPU_ARCH_PROGRAM"
    else
        printf '#!/bin/sh\ncd %s && exec %s\n' "$work" "$build/tests/gpu_arch_tree_root" >"$GPU_ARCH_PROGRAM"
    fi
    chmod 755 "$GPU_ARCH_PROGRAM"
}
# Runs the program with the given folder read-only, or none.
publish() { # read-only folder or -, arguments...
    local folder=$1
    shift
    if [ "$folder" = - ]; then
        "$build/gpu_arch-publish" "$@"
    else
        unshare -m sh -c 'mount --bind -o ro "$0" "$0" && exec "$@"' "$folder" "$build/gpu_arch-publish" "$@"
    fi
}
http_get() { # port path
    exec 3<>"/dev/tcp/127.0.0.1/$1"
    printf 'GET %s HTTP/1.0\r\n\r\n' "$2" >&3
    sed '1,/^\r$/d' <&3
    exec 3<&-
}

# The timer under systemd, enabled as README says, its service sandboxed:
# one pass writes every chosen file into the folders that the node
# exporter's package and NFD make. A folder outside the sandbox's gets the
# line to add in the journal, and once added, the file.
boot_container t1 "$deb" || fail "the container did not boot"
driver_tree t1 'isa_major 10' 'isa_major 9 isa_minor 4'
in_container t1 mkdir -p /var/lib/prometheus/node-exporter /etc/kubernetes/node-feature-discovery/features.d /srv/metrics
# The exporter's folder is its own user's, as its package makes it.
in_container t1 sh -c 'useradd --system prometheus && chown prometheus: /var/lib/prometheus/node-exporter'
in_container t1 sh -c "$(readme_command 'GPU_ARCH_PUBLISH=')"
in_container t1 sh -c "$(readme_command 'enable --now gpu_arch-publish.timer')"
await in_container t1 test -s /var/lib/prometheus/node-exporter/gpu_arch.prom ||
    fail "the timer wrote no metrics: $(in_container t1 journalctl -o cat -u gpu_arch-publish.service)"
await in_container t1 test -s /etc/kubernetes/node-feature-discovery/features.d/gpu_arch || fail "the timer wrote no labels"
in_container t1 grep -q '^gpu_arch_info{arch="quarn904"} 1$' /var/lib/prometheus/node-exporter/gpu_arch.prom ||
    fail "the timer's metrics: $(in_container t1 cat /var/lib/prometheus/node-exporter/gpu_arch.prom)"
in_container t1 cat /etc/kubernetes/node-feature-discovery/features.d/gpu_arch >"$work/gpu_arch"
sh "$here/../feature-file-check.sh" "$work/gpu_arch" || fail "the timer's feature file breaks the rules"
grep -q '/quarn1000=true$' "$work/gpu_arch" || fail "the timer's labels: $(cat "$work/gpu_arch")"
# A failing pass after that one keeps the answer from the service's state.
in_container t1 sh -c 'printf "#!/bin/sh\nexit 3\n" >/usr/local/bin/failing && chmod 755 /usr/local/bin/failing &&
    mkdir -p /etc/systemd/system/gpu_arch-publish.service.d &&
    printf "[Service]\nEnvironment=GPU_ARCH_PROGRAM=/usr/local/bin/failing\n" >/etc/systemd/system/gpu_arch-publish.service.d/failing.conf &&
    systemctl daemon-reload'
! in_container t1 systemctl start gpu_arch-publish.service 2>/dev/null || fail "a failing pass succeeded"
in_container t1 grep -q '^gpu_arch_info{arch="quarn904"} 1$' /var/lib/prometheus/node-exporter/gpu_arch.prom &&
    in_container t1 grep -q '^gpu_arch_detection_success 0$' /var/lib/prometheus/node-exporter/gpu_arch.prom ||
    fail "a failing pass under the service: $(in_container t1 cat /var/lib/prometheus/node-exporter/gpu_arch.prom)"
in_container t1 sh -c 'rm /etc/systemd/system/gpu_arch-publish.service.d/failing.conf && systemctl daemon-reload'
echo "timer: a failing pass keeps the architectures, with success 0"
# Stopped mid-pass, the pass says what it waited on and leaves nothing it started.
in_container t1 sh -c 'printf "#!/bin/sh\nexec sleep 300\n" >/usr/local/bin/hanging && chmod 755 /usr/local/bin/hanging &&
    printf "[Service]\nEnvironment=GPU_ARCH_PROGRAM=/usr/local/bin/hanging\n" >/etc/systemd/system/gpu_arch-publish.service.d/hanging.conf &&
    systemctl daemon-reload && systemctl start --no-block gpu_arch-publish.service && sleep 1 && systemctl stop gpu_arch-publish.service'
in_container t1 journalctl -o cat -u gpu_arch-publish.service |
    grep -q -F "stopped by SIGTERM while waiting for '/usr/local/bin/hanging'" ||
    fail "a stopped pass: $(in_container t1 journalctl -o cat -u gpu_arch-publish.service | tail -n 3)"
! in_container t1 pgrep -x sleep >/dev/null || fail "the stopped pass left gpu_arch running"
in_container t1 sh -c 'rm /etc/systemd/system/gpu_arch-publish.service.d/hanging.conf && systemctl daemon-reload'
echo "timer: a pass stopped by systemctl stop says what it waited on, and leaves no process"
exposure=$(in_container t1 systemd-analyze security gpu_arch-publish.service | sed -n 's/.*Overall exposure level.*: \([0-9.]*\) .*/\1/p')
echo "timer: one pass of the sandboxed service (exposure $exposure) wrote the metrics and the labels"
echo 'GPU_ARCH_PUBLISH="prometheus /srv/metrics/gpu_arch.prom"' | in_container t1 sh -c 'cat >/etc/default/gpu_arch-publish'
in_container t1 systemctl start gpu_arch-publish.service 2>/dev/null || true
line="cannot write '/srv/metrics/gpu_arch.prom': Read-only file system (to let gpu_arch-publish.service write there, add the line ReadWritePaths=/srv/metrics below [Service] with systemctl edit gpu_arch-publish.service)"
in_container t1 journalctl -o cat -u gpu_arch-publish.service | grep -q -F "$line" ||
    fail "the journal does not say which line to add: $(in_container t1 journalctl -o cat -u gpu_arch-publish.service | tail -n 3)"
in_container t1 sh -c 'mkdir -p /etc/systemd/system/gpu_arch-publish.service.d &&
    printf "[Service]\nReadWritePaths=/srv/metrics\n" >/etc/systemd/system/gpu_arch-publish.service.d/site.conf &&
    systemctl daemon-reload && systemctl start gpu_arch-publish.service' || fail "the pass failed with the site's drop-in"
in_container t1 grep -q '^gpu_arch_info{arch="quarn904"} 1$' /srv/metrics/gpu_arch.prom || fail "no metrics in /srv/metrics"
echo "timer: a folder outside the sandbox's gets the line to add, and with it the file"
# The lifetime set in the defaults file: NFD's expiry follows it.
labels=/etc/kubernetes/node-feature-discovery/features.d/gpu_arch
echo 'GPU_ARCH_PUBLISH="nfd /etc/kubernetes/node-feature-discovery/features.d/gpu_arch lifetime 120"' |
    in_container t1 sh -c 'cat >/etc/default/gpu_arch-publish'
in_container t1 systemctl start gpu_arch-publish.service
expiry=$(date -d "$(in_container t1 sed -n 's/^# +expiry-time=//p' $labels)" +%s)
written=$(in_container t1 stat -c %Y $labels)
[ $((expiry - written)) -ge 119 ] && [ $((expiry - written)) -le 121 ] ||
    fail "with lifetime 120, the labels expire $((expiry - written)) s after writing"
echo "timer: lifetime 120 in the defaults file, the labels expire $((expiry - written)) s after writing"

# Prometheus: two node exporters (textfile collector only), a as nobody, as
# in real deployments, scraped every second by Prometheus.
for node in a b; do mkdir -p "$work/$node"; done
port=19100
for node in a b; do
    user=$([ "$node" = a ] && echo nobody || echo root)
    setpriv --reuid="$user" --regid="$(id -g "$user")" --clear-groups prometheus-node-exporter \
        --collector.disable-defaults --collector.textfile --collector.textfile.directory="$work/$node" \
        --web.listen-address="127.0.0.1:$port" >"$work/exporter-$node.log" 2>&1 &
    daemons+=($!)
    port=$((port + 1))
done
cat >"$work/prometheus.yml" <<YAML
global: {scrape_interval: 1s, evaluation_interval: 1s}
scrape_configs:
  - job_name: nodes
    static_configs: [{targets: ['127.0.0.1:19100', '127.0.0.1:19101']}]
rule_files: [$here/../../prometheus/gpu_arch.rules.yml]
YAML
prometheus --config.file="$work/prometheus.yml" --storage.tsdb.path="$work/tsdb" \
    --web.listen-address=127.0.0.1:19090 >"$work/prometheus.log" 2>&1 &
daemons+=($!)

# What node a's exporter serves: gpu_arch_detection_success's value, then
# arch=GPUs and info:arch for each architecture, sorted.
served() {
    local metrics
    metrics=$(http_get 19100 /metrics)
    grep -q '^node_textfile_scrape_error 0$' <<<"$metrics" || fail "scrape error: $metrics"
    sed -n 's/^gpu_arch_detection_success \([01]\)$/\1/p' <<<"$metrics"
    sed -n 's/^gpu_arch_gpus{arch="\([^"]*\)"} \([0-9]*\)$/\1=\2/p' <<<"$metrics" | sort
    sed -n 's/^gpu_arch_info{arch="\([^"]*\)"} 1$/info:\1/p' <<<"$metrics" | sort
}
# Writes node a's file for the tree: ro before it, in a read-only folder;
# late, with the last answer kept from ten minutes ago.
prometheus_row() { # name, tree, success and arch=GPUs served, exit status
    local folder=- tree=$2 got=0 series expected arch
    case $tree in
    ro\ *) tree=${tree#ro } && folder=$work/a ;;
    late\ *) tree=${tree#late } && sed -i "s/^since .*/since $(($(date +%s) - 600))/" "$STATE_DIRECTORY/architectures" ;;
    esac
    set_node "$tree"
    publish "$folder" pass prometheus "$work/a/gpu_arch.prom" 2>"$work/publish.log" || got=$?
    [ "$got" = "$4" ] || fail "prometheus, $1: exit status $got, expected $4: $(cat "$work/publish.log")"
    promtool check metrics <"$work/a/gpu_arch.prom" || fail "prometheus, $1: promtool rejects the file"
    series=$(served | paste -sd ' ' -)
    expected=$3
    for arch in ${3#?}; do expected+=" info:${arch%=*}"; done
    [ "$series" = "$expected" ] || fail "prometheus, $1: the exporter serves $series, expected $expected"
    echo "prometheus, $1: $series"
}
rows prometheus_row <<'ROWS'
three GPUs ¦ isa_major 10\nisa_major 10\nisa_major 9 isa_minor 4 ¦ 1 quarn1000=2 quarn904=1 ¦ 0
failing, the last answer kept ¦ fail ¦ 0 quarn1000=2 quarn904=1 ¦ 1
no GPU ¦ none ¦ 1 ¦ 0
read-only folder, the file kept ¦ ro isa_major 10 ¦ 1 ¦ 1
failing past the lifetime ¦ late fail ¦ 0 ¦ 1
ROWS

# The rules in the real Prometheus: node a, one GPU of the three it has shown
# left, fires the alert of lost GPUs at once (the others need an hour's
# history).
set_node 'isa_major 10'
publish - pass prometheus "$work/a/gpu_arch.prom" 2>"$work/publish.log" || fail "a pass short of GPUs: $(cat "$work/publish.log")"
alert='ALERTS{alertname="GpuArchGpusLost",alertstate="firing"}'
answer=''
for _ in $(seq 60); do
    answer=$(promtool query instant http://127.0.0.1:19090 "$alert" 2>/dev/null)
    case $answer in *'instance="127.0.0.1:19100"'*) break ;; esac
    sleep 0.5
done
case $answer in *'instance="127.0.0.1:19100"'*) echo "rules: $answer" ;; *) fail "no alert for node a: $answer" ;; esac

# Nodes per architecture, as README counts them, fresh answers only: node a
# counts until it fails.
count() { # expected answer, ;-separated
    local answer=''
    for _ in $(seq 60); do
        answer=$(promtool query instant http://127.0.0.1:19090 arch:gpu_arch_nodes:count 2>/dev/null |
            sed 's/ @.*//' | sort | paste -sd ';' -)
        [ "$answer" != "$1" ] || break
        sleep 0.5
    done
    [ "$answer" = "$1" ] || fail "arch:gpu_arch_nodes:count answered $answer, expected $1"
    echo "PromQL arch:gpu_arch_nodes:count: $answer"
}
set_node 'isa_major 10\nisa_major 10\nisa_major 9 isa_minor 4'
publish - prometheus "$work/a/gpu_arch.prom"
set_node 'isa_major 10'
publish - prometheus "$work/b/gpu_arch.prom"
count 'arch:gpu_arch_nodes:count{arch="quarn1000"} => 2;arch:gpu_arch_nodes:count{arch="quarn904"} => 1'
# The same from the rule, for a build: prometheus-fleet's lines, its exit
# status, and what a CMake project configured with the build tree's package
# gets.
fleet() { # name, expected lines (;-separated), exit status, CMake's status line
    local got status=0 configured
    got=$("$build/gpu_arch-publish" prometheus-fleet http://127.0.0.1:19090 2>"$work/fleet.log") || status=$?
    got=$(paste -sd ';' - <<<"$got")
    [ "$got;$status" = "$2;$3" ] || fail "fleet, $1: printed '$got', status $status: $(cat "$work/fleet.log")"
    mkdir -p "$work/consumer"
    printf 'cmake_minimum_required(VERSION 3.25)\nproject(c NONE)\nfind_package(gpu_arch CONFIG REQUIRED)\n%s\n' \
        'gpu_arch_detect(archs FLEET prometheus:http://127.0.0.1:19090 FALLBACK quarn7)' >"$work/consumer/CMakeLists.txt"
    configured=$(cmake -S "$work/consumer" -B "$work/consumer/build" -Dgpu_arch_DIR="$build" 2>&1) ||
        fail "fleet, $1: configuring failed: $configured"
    grep -q -F -- "-- gpu_arch: $4" <<<"$configured" || fail "fleet, $1: CMake did not say '$4': $configured"
    echo "fleet, $1: '$got', status $status, CMake $4"
}
fleet "two nodes" 'quarn1000;quarn904' 0 'quarn1000;quarn904 (fleet)'
set_node fail
! publish - prometheus "$work/a/gpu_arch.prom" 2>/dev/null || fail "prometheus succeeded with a failing program"
count 'arch:gpu_arch_nodes:count{arch="quarn1000"} => 1'
fleet "node a failing" quarn1000 0 'quarn1000 (fleet)'
stop_daemons
fleet "Prometheus stopped" '' 1 'quarn7 (fallback)'

# Node feature discovery: every file written passes the checker and kubectl
# takes each label; the labels expire a lifetime after writing, five minutes
# unless the row gives one.
features=$work/features.d/gpu_arch
nfd_row() { # name, tree, arch=GPUs labelled, exit status[, lifetime]
    local folder=- tree=$2 got=0 before labels expected='' arch expiry gpus=0 lifetime=${5:-300}
    case $tree in ro\ *) tree=${tree#ro } && folder=$work/features.d ;; esac
    set_node "$tree"
    before=$(date +%s)
    publish "$folder" pass nfd "$features" lifetime "$lifetime" 2>"$work/publish.log" || got=$?
    [ "$got" = "$4" ] || fail "nfd, $1: exit status $got, expected $4: $(cat "$work/publish.log")"
    sh "$here/../feature-file-check.sh" "$features" || fail "nfd, $1: the file breaks the rules"
    labels=$(sed '/^#/d' "$features" | sort | paste -sd ' ' -)
    for arch in $3; do
        expected+="gpu-arch.feature.node.kubernetes.io/${arch%=*}.gpus=${arch#*=} "
        expected+="gpu-arch.feature.node.kubernetes.io/${arch%=*}=true "
        gpus=$((gpus + ${arch#*=}))
    done
    expected="gpu-arch.feature.node.kubernetes.io/gpus=$gpus $expected"
    [ "$labels" = "${expected% }" ] || fail "nfd, $1: labels $labels, expected ${expected% }"
    expiry=$(date -d "$(sed -n 's/^# +expiry-time=//p' "$features")" +%s)
    if [ "$4" = 0 ] && { [ $((expiry - before)) -lt "$lifetime" ] || [ $((expiry - before)) -gt $((lifetime + 2)) ]; }; then
        fail "nfd, $1: the labels expire $((expiry - before)) s after writing"
    fi
    printf 'apiVersion: v1\nkind: Node\nmetadata: {name: n1}\n' >"$work/node.yaml"
    for label in $labels; do
        ! command -v kubectl >/dev/null || kubectl label --local -f "$work/node.yaml" "$label" -o yaml >/dev/null ||
            fail "nfd, $1: kubectl refuses $label"
    done
    echo "nfd, $1: $labels"
}
rows nfd_row <<'ROWS'
three GPUs ¦ isa_major 10\nisa_major 10\nisa_major 9 isa_minor 4 ¦ quarn1000=2 quarn904=1 ¦ 0
failing, the file kept ¦ fail ¦ quarn1000=2 quarn904=1 ¦ 1
one GPU ¦ isa_major 9 isa_minor 4 ¦ quarn904=1 ¦ 0
read-only folder, the file kept ¦ ro isa_major 10 ¦ quarn904=1 ¦ 1
no GPU ¦ none ¦  ¦ 0
a lifetime of two minutes ¦ isa_major 10 ¦ quarn1000=1 ¦ 0 ¦ 120
ROWS
command -v kubectl >/dev/null || echo "nfd: kubectl is not installed, label values checked by the checker alone"
! publish - nfd "$features" kubernetes.io 2>"$work/publish.log" &&
    grep -q "cannot use 'kubernetes.io' as the label prefix" "$work/publish.log" || fail "nfd took the prefix kubernetes.io"
[ -z "$(ls -A "$work/features.d" | grep -v '^gpu_arch$')" ] || fail "nfd left other files: $(ls -A "$work/features.d")"

# Ansible, as README sets the fact up: ansible_local's gpu_arch as the setup
# module prints it, without blanks (@program@ for the program, @time@ for
# the last success; Ansible sorts the keys), and what README's slurm.conf
# template makes of it, or how the play fails. "old fail" fails after a
# last answer long gone.
facts=$work/facts.d
fact_command=$(readme_command 'gpu_arch.fact' | sed "s|/etc/ansible/facts.d|$facts|g; s|/usr/sbin/gpu_arch-publish|$build/gpu_arch-publish|")
sh -c "$fact_command"
readme_command 'Features={{' >"$work/slurm.conf.j2"
cat >"$work/play.yml" <<YAML
- hosts: localhost
  connection: local
  gather_facts: false
  tasks:
    - setup: {fact_path: $facts, filter: ansible_local}
    - template: {src: $work/slurm.conf.j2, dest: $work/slurm.conf}
YAML
ansible_row() { # name, tree, fact, template
    local out got rendered tree=$2
    case $tree in old\ *)
        tree=${tree#old }
        sed -i "s/^since .*/since $(($(date +%s) - 1000))/" "$STATE_DIRECTORY/architectures" ;;
    esac
    set_node "$tree"
    out=$(ANSIBLE_LOCALHOST_WARNING=false ansible localhost -c local -m setup -a "filter=ansible_local fact_path=$facts" \
        2>&1) || fail "ansible, $1: $out"
    got=$(tr -d ' \n' <<<"$out" | sed -n 's/.*"ansible_local":{"gpu_arch":\(.*\)}},"changed".*/\1/p' |
        sed 's/"last_success":"[^"]*"/"last_success":"@time@"/')
    [ "$got" = "${3//@program@/$GPU_ARCH_PROGRAM}" ] || fail "ansible, $1: ansible_local.gpu_arch is $got, expected $3"
    rm -f "$work/slurm.conf"
    if out=$(ANSIBLE_LOCALHOST_WARNING=false ansible-playbook -i localhost, "$work/play.yml" 2>&1); then
        rendered=$(cat "$work/slurm.conf")
    else
        rendered="fails: $(sed -n 's/.*AnsibleUndefinedVariable: \(.*\)\. \1.*/\1/p' <<<"$out" | head -n 1)"
    fi
    [ "$rendered" = "${4//@program@/$GPU_ARCH_PROGRAM}" ] || fail "ansible, $1: the template gives $rendered, expected $4: $out"
    echo "ansible, $1: $got; $rendered"
}
rows ansible_row <<'ROWS'
three GPUs ¦ isa_major 10\nisa_major 10\nisa_major 9 isa_minor 4 ¦ {"architectures":["quarn1000","quarn904"],"gpus":{"quarn1000":2,"quarn904":1},"last_success":"@time@","success":true} ¦ Features=quarn1000,quarn904
failing within the lifetime ¦ fail ¦ {"architectures":["quarn1000","quarn904"],"error":"'@program@'failed(exitstatus3)","gpus":{"quarn1000":2,"quarn904":1},"last_success":"@time@","success":false} ¦ Features=quarn1000,quarn904
failing past it ¦ old fail ¦ {"architectures":[],"error":"'@program@'failed(exitstatus3)","gpus":{},"last_success":"@time@","success":false} ¦ fails: gpu_arch failed on localhost: '@program@' failed (exit status 3)
no GPU ¦ none ¦ {"architectures":[],"gpus":{},"last_success":"@time@","success":true} ¦ Features=
ROWS

# Files the readers skip are written, with a warning.
ignored_row() { # name, consumer, path
    publish - "$2" "$work/$3" 2>"$work/publish.log" || fail "ignored path, $1: $(cat "$work/publish.log")"
    grep -q "^gpu_arch-publish: warning: .*$work/$3" "$work/publish.log" || fail "ignored path, $1: no warning"
    echo "ignored path, $1: $(cat "$work/publish.log")"
}
set_node 'isa_major 10'
rows ignored_row <<'ROWS'
no .prom ¦ prometheus ¦ exporter/gpu_arch.txt
a dot-file ¦ nfd ¦ features.d/.gpu_arch
below a subfolder ¦ nfd ¦ features.d/sub/gpu_arch
ROWS

# The timer has kept firing meanwhile: a pass started by the timer itself,
# after the three started by hand.
passes() { in_container t1 journalctl -o cat -u gpu_arch-publish.service | grep -c 'Finished gpu_arch-publish.service' || true; }
for _ in $(seq 240); do
    [ "$(passes)" -lt 4 ] || break
    sleep 0.5
done
[ "$(passes)" -ge 4 ] || fail "the timer did not start the service again: $(passes) passes"
in_container t1 systemctl is-active -q gpu_arch-publish.timer || fail "the timer is not active"
echo "timer: passes by the timer itself, $(passes) in all"

echo "consumers ok"
