#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Generates driver trees and measures gpu_arch on them as whole processes.

Called by bench/run, which builds the binaries. Prints the results and writes
them as a Markdown report.
"""

import argparse
import datetime
import os
import platform
import random
import re
import shutil
import statistics
import subprocess
import time

SIZES = (10, 64, 1024)
NODES = "sys/devices/virtual/zerdo/qlvn/layout/nodes"

# What a user would write instead of the tool: one awk process over the files.
AWK_PROGRAM = r"""
{
    major = 0; minor = 0
    if (match($0, /isa_major[ \t]*[-+]?[0-9]+/)) {
        v = substr($0, RSTART + 9, RLENGTH - 9); gsub(/[ \t]/, "", v); major = v + 0
    }
    if (match($0, /isa_minor[ \t]*[-+]?[0-9]+/)) {
        v = substr($0, RSTART + 9, RLENGTH - 9); gsub(/[ \t]/, "", v); minor = v + 0
    }
    if (major != 0) printf "quarn%d\n", major * 100 + minor
}
"""


def gpu_properties(index):
    """About 40 lines of counts, sizes, identifiers and clocks, as a driver
    publishes them for one GPU node."""
    major, minor = (10, 3) if index % 2 else (9, 4)
    fields = [
        ("node_kind", 2), ("core_count", 76 + index % 4), ("lanes_per_core", 64),
        ("engines_count", 4), ("arrays_per_engine", 2), ("cores_per_array", 10),
        ("waves_per_core_max", 16), ("wave_width", 32), ("shared_mem_kb", 64),
        ("global_sync_slots", 64), ("scratch_slots_per_core", 32), ("register_file_kb", 512),
        ("l1_cache_kb", 16), ("l2_cache_kb", 4096), ("l3_cache_mb", 96),
        ("memory_banks", 1), ("memory_size_mb", 24576), ("memory_width_bits", 384),
        ("memory_clock_mhz", 1250), ("core_clock_min_mhz", 500), ("core_clock_max_mhz", 2500),
        ("power_cap_w", 355), ("pci_domain", 0), ("pci_location", 768 + index * 256),
        ("vendor_code", 0x51A7), ("device_code", 0x7440 + index % 3), ("revision", 0xC8),
        ("firmware_version", 2216), ("firmware_build", 61), ("capabilities", 0x2A8000),
        ("debug_flags", 0x5D7), ("unique_id", 14467322834526732 + index),
        ("render_minor", 128 + index), ("links_count", 1), ("peer_links_count", 0),
        ("copy_engines", 2), ("copy_engines_xgmi", 0), ("queues_per_engine", 8),
        ("isa_major", major), ("isa_minor", minor), ("isa_stepping", 0),
    ]
    return "".join(f"{key} {value}\n" for key, value in fields)


def cpu_properties():
    return "".join(f"{key} {value}\n" for key, value in [
        ("node_kind", 1), ("cpu_cores", 32), ("core_count", 0), ("memory_banks", 1),
        ("caches_count", 0), ("links_count", 1), ("core_id_base", 0),
        ("isa_major", 0), ("isa_minor", 0), ("isa_stepping", 0)])


def make_tree(root, nodes):
    """A driver tree with the given number of node directories under root;
    node 0 is a CPU. Returns the list of properties files."""
    files = []
    for index in range(nodes):
        node = os.path.join(root, NODES, str(index))
        for cache in range(3):
            os.makedirs(os.path.join(node, "caches", str(cache)))
            with open(os.path.join(node, "caches", str(cache), "properties"), "w") as f:
                f.write(f"type 1\nlevel {cache + 1}\nsize_kb {16 << cache}\nline_size 128\n")
        os.makedirs(os.path.join(node, "links", "0"))
        with open(os.path.join(node, "links", "0", "properties"), "w") as f:
            f.write("type 11\nnode_from 0\nnode_to 1\nweight 20\n")
        with open(os.path.join(node, "properties"), "w") as f:
            f.write(cpu_properties() if index == 0 else gpu_properties(index))
        files.append(os.path.join(NODES, str(index), "properties"))
    return files


def spawn_and_wait(cwd, argv):
    """Runs argv in cwd with stdout to /dev/null; returns the microseconds it took."""
    os.chdir(cwd)
    actions = [(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)]
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, os.environ, file_actions=actions)
    _, status = os.waitpid(pid, 0)
    elapsed = (time.perf_counter_ns() - start) / 1000
    if status != 0:
        raise SystemExit(f"{argv[0]} failed with status {status}")
    return elapsed


def time_commands(commands, rounds):
    """Runs every (cwd, argv) command once per round, interleaved and in a new
    random order each round, so that the machine's drift and the cache left
    behind by the previous command touch all alike; returns the median
    microseconds of each."""
    samples = {key: [] for key in commands}
    order = list(commands)
    shuffler = random.Random(1)
    started = time.monotonic()
    for done in range(1, rounds + 1):
        shuffler.shuffle(order)
        for key in order:
            cwd, argv = commands[key]
            samples[key].append(spawn_and_wait(cwd, argv))
        print(f"round {done}/{rounds}: {len(order)} runs, {time.monotonic() - started:.1f} s so far", flush=True)
    return {key: statistics.median(values) for key, values in samples.items()}


def peak_rss_kib(peak_rss, argv):
    """Peak resident memory of one run, through the tiny peak_rss launcher."""
    return int(subprocess.run([peak_rss] + argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              text=True, check=True).stderr.split()[-1])


def count_syscalls(tool):
    """Total system calls of one run, from strace -c."""
    out = subprocess.run(["strace", "-c", "-o", "/dev/stdout", tool],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True).stdout
    return int(re.search(r"^\S+\s+\S+\s+\S+\s+(\d+)\s+(?:\d+\s+)?total$", out, re.M).group(1))


def count_allocations(tool):
    """(allocations, frees) of one run, from valgrind's heap summary."""
    err = subprocess.run(["valgrind", tool], stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr
    match = re.search(r"total heap usage: ([\d,]+) allocs, ([\d,]+) frees", err)
    return tuple(int(group.replace(",", "")) for group in match.groups())


def machine_description():
    """Architecture, core count and kernel: enough to compare runs, and the
    same words on any vendor's machine."""
    return f"{platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}"


def filesystem(path):
    """The type of the file system that holds path, from /proc/mounts."""
    best, kind = "", "unknown"
    with open("/proc/mounts") as f:
        for line in f:
            mount_point, fs_type = line.split()[1:3]
            if os.path.realpath(path).startswith(mount_point) and len(mount_point) > len(best):
                best, kind = mount_point, fs_type
    return kind


TOOLS = ("static", "packaged")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--work", required=True, help="folder for the trees")
    parser.add_argument("--tool", required=True, help="gpu_arch built with the root 'sys', static")
    parser.add_argument("--floor", required=True, help="a static program that does nothing")
    parser.add_argument("--tool-packaged", required=True, help="the same, linked as packaged")
    parser.add_argument("--floor-packaged", required=True, help="a no-op linked as packaged")
    parser.add_argument("--peak-rss", required=True, help="the peak_rss launcher")
    parser.add_argument("--rounds", type=int, default=500)
    parser.add_argument("--report", required=True, help="Markdown file to write")
    args = parser.parse_args()

    tools = {"static": (args.tool, args.floor), "packaged": (args.tool_packaged, args.floor_packaged)}
    awk = shutil.which("awk")
    commands = {}
    for size in SIZES:
        print(f"Generating a tree of {size} nodes", flush=True)
        tree = os.path.join(args.work, f"tree-{size}")
        shutil.rmtree(tree, ignore_errors=True)
        files = make_tree(tree, size)
        for kind, (tool, floor) in tools.items():
            commands[(f"{kind} floor", size)] = (tree, [floor])
            commands[(kind, size)] = (tree, [tool])
        commands[("awk", size)] = (tree, [awk, AWK_PROGRAM] + files)
    print(f"Timing {len(commands)} commands, {args.rounds} rounds", flush=True)
    medians = time_commands(commands, args.rounds)

    print("Counting system calls, allocations and peak memory", flush=True)
    rows = []
    syscalls = {}
    allocations = {}
    for size in SIZES:
        os.chdir(os.path.join(args.work, f"tree-{size}"))
        syscalls[size] = count_syscalls(args.tool)
        allocations[size] = count_allocations(args.tool_packaged)
        times = {name: medians[(name, at)] for name, at in commands if at == size}
        peak_kib = {name: peak_rss_kib(args.peak_rss, commands[(name, size)][1]) for name in ("static floor", "static")}
        rows.append((size, times, peak_kib))

    small, large = 64, 1024
    per_node_syscalls = (syscalls[large] - syscalls[small]) / (large - small)
    per_node_allocs = (allocations[large][0] - allocations[small][0]) / (large - small)

    lines = [
        "# gpu_arch performance",
        "",
        f"Measured by `bench/run` on {datetime.date.today().isoformat()}: {machine_description()}; "
        f"trees on {filesystem(args.work)}.",
        f"Whole processes, all sizes and commands run interleaved, in a new random order each round; "
        f"medians of {args.rounds} runs each. Each build is measured against a floor of its own kind: "
        "the static build against a statically linked program that does nothing, the packaged build "
        "(dynamically linked, position-independent, full RELRO with immediate binding, fortified, "
        "stack protector) against a no-op built and linked with the same flags. awk is one awk process "
        "over the same `properties` files.",
        "",
        "| nodes | static floor (µs) | static (µs) | static / floor | packaged floor (µs) | packaged (µs) "
        "| packaged / floor | static µs per node over the floor | awk (µs) | awk / static floor "
        "| peak RSS static floor / static (KiB) | system calls | heap allocs / frees |",
        "| ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |",
    ]
    for size, times, peak_kib in rows:
        static_floor, packaged_floor = times["static floor"], times["packaged floor"]
        lines.append(
            f"| {size} | {static_floor:.0f} | {times['static']:.0f} | {times['static'] / static_floor:.2f} "
            f"| {packaged_floor:.0f} | {times['packaged']:.0f} | {times['packaged'] / packaged_floor:.2f} "
            f"| {(times['static'] - static_floor) / size:.2f} | {times['awk']:.0f} "
            f"| {times['awk'] / static_floor:.2f} | {peak_kib['static floor']} / {peak_kib['static']} "
            f"| {syscalls[size]} | {allocations[size][0]} / {allocations[size][1]} |")
    static_times = {size: times["static"] for size, times, _ in rows}
    lines += [
        "",
        f"- Cost of one more node (static): {(static_times[64] - static_times[10]) / 54:.2f} µs from 10 to 64 "
        f"nodes, {(static_times[1024] - static_times[64]) / 960:.2f} µs from 64 to 1024 nodes.",
        f"- System calls per node: {per_node_syscalls:.2f} (strace -c on the static build, {small} against "
        f"{large} nodes).",
        f"- Heap allocations per node: {per_node_allocs:.2f} (valgrind on the packaged build, "
        f"{small} against {large} nodes).",
        "- Peak RSS is read through a small static launcher (`bench/peak_rss.cpp`); the kernel counts the "
        "launcher's pages before exec too, so each figure is an upper bound, comparable with the floor's.",
        "",
    ]
    report = "\n".join(lines)
    print("\n" + report)
    with open(args.report, "w") as f:
        f.write(report)
    print(f"Report written to {args.report}")


if __name__ == "__main__":
    main()
