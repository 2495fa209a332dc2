// SPDX-License-Identifier: MIT
// The node's name and scontrol, as the Slurm consumers share them.
#include "scontrol.hpp"

#include <unistd.h>

#include <climits>
#include <cstring>

#include "messages.hpp"

std::string node_name_or_host(const std::string &named)
{
    if (!named.empty()) {
        return named;
    }
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    name[strcspn(name, ".")] = '\0';
    return name;
}

Run run_scontrol(const std::vector<std::string> &words)
{
    std::vector<std::string> argv = {"scontrol"};
    argv.insert(argv.end(), words.begin(), words.end());
    return run_bounded(argv, scontrol_seconds, true);
}

bool unknown_node(const Run &run)
{
    return run.exited && run.status != 0 &&
           (run.output.find("Invalid node name") != std::string::npos ||
            (run.output.rfind("Node ", 0) == 0 && run.output.find(" not found") != std::string::npos));
}

std::string scontrol_failure(const Run &run, const char *program)
{
    std::string output;
    for (const char c : run.output) {
        if (c == '\n') {
            output += "; ";
        } else {
            output += c;
        }
    }
    output.erase(output.find_last_not_of("; ") + 1);
    return std::string(program) + " " + run.failure + (output.empty() ? "" : ": " + quote_for_message(output));
}
