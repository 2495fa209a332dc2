// SPDX-License-Identifier: MIT
// The architectures of the fleet's nodes, as gpu_arch prints them, from what
// the nodes published: slurm-fleet and prometheus-fleet.
#pragma once

#include <string>
#include <vector>

#include "detect.hpp"

// The outcomes besides 0 (architectures printed) and 2 (usage): the source
// could not be asked or gave no readable answer; it knows no node that
// matches; the nodes that match have no architecture.
constexpr int fleet_unreachable = 1;
constexpr int fleet_no_node = 3;
constexpr int fleet_no_architecture = 4;

// The nodes' features from sinfo: of the partitions named, or of all
// nodes; only those that can run jobs now after the word ready.
int slurm_fleet(const std::vector<std::string> &arguments, Pass &unused);

// The recording rule's architectures, through promtool query, from the
// server at the URL, with promtool's HTTP settings file when given.
int prometheus_fleet(const std::vector<std::string> &arguments, Pass &unused);
