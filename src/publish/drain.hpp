// SPDX-License-Identifier: MIT
// slurm-drain NODE: the node drained in slurmctld while it has fewer GPUs
// than it should, and resumed when they are back if its reason is still
// one that this program sets.
#pragma once

#include "detect.hpp"
#include "expected.hpp"

int slurm_drain(const std::vector<std::string> &arguments, Pass &pass);
// What the alert holds the node to: what it should have, lowered to what it
// has where a resume by hand accepted the loss, as the drain's note keeps it.
std::vector<Architecture> held_to(int state, const std::string &folder, const Answer &shown,
                                  const Expectation &expected);
