// SPDX-License-Identifier: MIT
// The node exporter's text file: prometheus FILE.
#pragma once

#include "detect.hpp"

// One info series and one GPU count per architecture, whether this run
// answered, when gpu_arch last did, the lifetime of a kept answer, and when
// and how often the file is written; what the node should have is +Inf
// where it is unknown (damaged), so that the alert fails safe.
std::string prometheus_text(const Answer &answer, const std::vector<Architecture> &expected, long long written,
                            long long interval, bool unknown = false);

int prometheus(const std::vector<std::string> &arguments, Pass &pass);
