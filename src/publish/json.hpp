// SPDX-License-Identifier: MIT
// The architectures as JSON, for Ansible's local facts and scripts: json.
#pragma once

#include "detect.hpp"

// {"architectures": [...], "gpus": {...}, "success": ..., "last_success":
// ...} and, after a failure, "error": ..., and a newline.
std::string json_text(const Answer &answer);

int json(const std::vector<std::string> &arguments, Pass &pass);
