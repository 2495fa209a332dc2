// SPDX-License-Identifier: MIT
// slurm-drain NODE: the node drained in slurmctld while it has fewer GPUs
// than it should, and resumed when they are back if its reason is still
// the one set here; slurm-expected [reset]: what it should have.
#pragma once

#include "detect.hpp"

int slurm_drain(const std::vector<std::string> &arguments, Pass &pass);
int slurm_expected(const std::vector<std::string> &arguments, Pass &pass);
