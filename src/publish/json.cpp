// SPDX-License-Identifier: MIT
// json: prints the architectures and GPU counts; nothing when gpu_arch fails.
#include <cstdio>

#include "json.hpp"

std::string json_text(const std::vector<Architecture> &architectures)
{
    std::string names;
    std::string gpus;
    for (const Architecture &architecture : architectures) {
        const char *separator = names.empty() ? "\"" : ", \"";
        names.append(separator).append(architecture.name).append("\"");
        gpus.append(separator).append(architecture.name).append("\": ").append(std::to_string(architecture.gpus));
    }
    return std::string("{\"architectures\": [").append(names).append("], \"gpus\": {").append(gpus).append("}}\n");
}

int json(const std::vector<std::string> & /*arguments*/, Pass &pass)
{
    const Detection *detection = detected(pass);
    if (detection == nullptr) {
        return 1;
    }
    if (fputs(json_text(detection->architectures).c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return 0;
}
