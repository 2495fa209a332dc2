// SPDX-License-Identifier: MIT
// Node feature discovery's feature file: nfd FILE [PREFIX], and the pass's
// nfd-prefix PREFIX.
#pragma once

#include "detect.hpp"

constexpr const char *default_label_prefix = "gpu-arch.feature.node.kubernetes.io";

// Why prefix cannot stand before a node label's name, or an empty string.
std::string label_prefix_problem(std::string_view prefix);

// A presence label and a GPU count per architecture under prefix, valid
// until expiry (RFC 3339).
std::string feature_file_text(const std::vector<Architecture> &architectures, std::string_view prefix,
                              std::string_view expiry);

int nfd(const std::vector<std::string> &arguments, Pass &pass);
int nfd_prefix(const std::vector<std::string> &arguments, Pass &pass);
