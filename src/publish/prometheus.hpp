// SPDX-License-Identifier: MIT
// The node exporter's text file: prometheus FILE.
#pragma once

#include "core.hpp"

// One info series and one GPU count per architecture, and whether the
// detection succeeded.
std::string prometheus_text(const std::vector<Architecture> &architectures, bool detected);

// The last answer that the file keeps after a failure, as the state folder
// holds it: one architecture and its GPU count a line.
std::string kept_text(const std::vector<Architecture> &architectures);
std::vector<Architecture> read_kept_text(std::string_view text);

int prometheus(const std::vector<std::string> &arguments, Pass &pass);
