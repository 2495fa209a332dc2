// SPDX-License-Identifier: MIT
// Slurm: slurmd-options DIR [WORD...] (the slurmd drop-in), slurm-pending DIR
// (the timer's retry) and node-line (nodes of slurm.conf).
#pragma once

#include "detect.hpp"

// A word written so that systemd, expanding an unquoted $VARIABLE in a
// command line, splits it back into exactly this word.
std::string quote_for_command_line(std::string_view word);

// A value written so that systemd's EnvironmentFile= reads exactly it.
std::string quote_for_environment_file(std::string_view value);

// The comma-separated features that a node has: the site's features that are
// no architecture name, then the architectures, each once.
std::string merge_features(std::string_view site_features, const std::vector<Architecture> &architectures);

// slurmd's command line with the architectures among the features of --conf.
struct SlurmdOptions {
    bool dynamic = false;           // -Z: the node registers itself
    std::string node_name;          // from -N, or empty
    std::string features;           // the node's features after the change
    std::vector<std::string> words; // the command line after the change
};

SlurmdOptions rewrite_slurmd_options(const std::vector<std::string> &words,
                                     const std::vector<Architecture> &architectures);

// The node's line of slurm.conf with its features changed, or why there is
// none that can be reproduced without loss.
struct NodeLine {
    std::string line; // empty when error is set
    std::string error;
};

NodeLine rewrite_node_line(std::string_view slurm_conf, std::string_view node_name,
                           const std::vector<Architecture> &architectures);

int slurmd_options(const std::vector<std::string> &arguments, Pass &pass);
int slurm_pending(const std::vector<std::string> &arguments, Pass &pass);
int node_line(const std::vector<std::string> &arguments, Pass &pass);
