// SPDX-License-Identifier: MIT
// The architectures as JSON, for Ansible's local facts and scripts: json.
#pragma once

#include "core.hpp"

// {"architectures": [...], "gpus": {...}} and a newline.
std::string json_text(const std::vector<Architecture> &architectures);

int json(const std::vector<std::string> &arguments, Pass &pass);
