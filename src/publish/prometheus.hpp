// SPDX-License-Identifier: MIT
// The node exporter's text file: prometheus FILE.
#pragma once

#include "detect.hpp"

// One info series and one GPU count per architecture, whether this run
// answered, when gpu_arch last did, the lifetime of a kept answer, and when
// and how often the file is written.
std::string prometheus_text(const Answer &answer, const std::vector<Architecture> &expected, long long written,
                            long long interval);

int prometheus(const std::vector<std::string> &arguments, Pass &pass);
