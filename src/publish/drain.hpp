// SPDX-License-Identifier: MIT
// slurm-drain NODE: the node drained in slurmctld while it has fewer GPUs
// than it should, and resumed when they are back if its reason is still
// one that this program sets.
#pragma once

#include "detect.hpp"

int slurm_drain(const std::vector<std::string> &arguments, Pass &pass);
