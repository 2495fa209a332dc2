// SPDX-License-Identifier: MIT
// What the node should have: declared by the administrator in
// GPU_ARCH_EXPECTED, which then wins, else learned as the most GPUs of each
// architecture that a fresh answer showed, kept in the state folder in the
// kept answer's format. slurm-expected [reset] shows it and forgets what was
// learned.
#pragma once

#include "detect.hpp"

struct Expectation {
    std::vector<Architecture> architectures;
    bool declared = false;
    bool first = false;               // nothing learned is kept: a new or a lost state folder
    std::string problem;              // damaged or unreadable: what the node has is not judged
    Kept learned;                     // as the state folder keeps it
    std::vector<Architecture> raised; // learned, raised by a fresh answer
    bool forget = false;              // learned again by the next pass, which then asks slurmctld
};

// The expectation, raised by a fresh answer unless declared.
Expectation read_expectation(int state, const std::string &folder, const Answer &shown, Pass &pass);
// What was learned, written when it changed, or forgotten; false after a
// message. The drain and the metrics of a pass learn alike.
bool keep_expectation(int state, const std::string &folder, const Expectation &expected, const Answer &shown);
// Raised to these counts, unless declared.
void raise_expectation(Expectation &expected, const std::vector<Architecture> &architectures);
// Lowered to what the node has: an administrator accepted it.
void accept_what_it_has(Expectation &expected, const Answer &shown);
// What was learned removed: 0, or -1 with errno set.
int forget_learned(int state);

int slurm_expected(const std::vector<std::string> &arguments, Pass &pass);
