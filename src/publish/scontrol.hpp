// SPDX-License-Identifier: MIT
// What the Slurm consumers share: the node's name, scontrol run within
// bounds, and how a run that did not land is said.
#pragma once

#include <string>
#include <vector>

#include "run.hpp"

// One scontrol gets this long: with gpu_arch's 10 s, slurmd's start stays well
// within systemd's 90 s.
constexpr int scontrol_seconds = 20;

// The node's name: named when it is not empty, else the host name up to its
// first dot, as slurmd takes it.
std::string node_name_or_host(const std::string &named);

// scontrol with these words, its standard error merged into its output.
Run run_scontrol(const std::vector<std::string> &words);

// Whether slurmctld answered that it does not know the node.
bool unknown_node(const Run &run);

// Why a run did not land, for a message: how it ended and its output, its
// lines joined into one, the start of them quoted; of scontrol or the
// program named.
std::string scontrol_failure(const Run &run, const char *program = "scontrol");

// The node as slurmctld shows it: whether its state holds it (a DRAIN, DOWN
// or FAIL flag), its reason without the user and time that slurmctld adds,
// and when it booted, as scontrol prints it.
struct NodeState {
    bool held = false;
    std::string reason;
    std::string boot_time;
};
NodeState read_node_state(const std::string &shown);
