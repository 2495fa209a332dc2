// SPDX-License-Identifier: MIT
// The text work of gpu_arch-publish, apart from any I/O so that the suite can
// test it as tables: reading gpu_arch's output, quoting for systemd, and
// rewriting slurmd's options and slurm.conf's node lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One architecture and the number of GPUs that have it.
struct Architecture {
    std::string name;
    unsigned gpus = 0;
};

// What gpu_arch printed: the architectures in the order first met, and the
// lines that were no architecture name.
struct Detection {
    std::vector<Architecture> architectures;
    std::vector<std::string> dropped;
};

// Whether a whole line is an architecture name, as gpu_arch prints them.
bool is_architecture_name(std::string_view line);

Detection read_detection(std::string_view output);

// The line quoted for a message: in single quotes, with control bytes,
// backslashes and quotes written as escapes, so that one message stays one
// line in the journal.
std::string quote_for_message(std::string_view text);

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

// The node exporter's text for the architectures: one info series and one
// GPU count per architecture, and whether the detection succeeded.
std::string prometheus_text(const std::vector<Architecture> &architectures, bool detected);

// The architectures of a file that prometheus_text wrote.
std::vector<Architecture> read_prometheus_text(std::string_view text);

// Why prefix cannot stand before a node label's name, or an empty string.
std::string label_prefix_problem(std::string_view prefix);

// A feature file for node feature discovery: a presence label and a GPU
// count per architecture under prefix, valid until expiry (RFC 3339).
std::string feature_file_text(const std::vector<Architecture> &architectures, std::string_view prefix,
                              std::string_view expiry);

// {"architectures": [...], "gpus": {...}} and a newline.
std::string json_text(const std::vector<Architecture> &architectures);
