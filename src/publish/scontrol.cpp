// SPDX-License-Identifier: MIT
// The node's name and scontrol, as the Slurm consumers share them.
#include "scontrol.hpp"

#include <unistd.h>

#include <algorithm>
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
    return std::string(program) + " " + run.failure + (output.empty() ? "" : ": " + quote_start(output));
}

NodeState read_node_state(const std::string &shown)
{
    NodeState node;
    size_t at = 0;
    while (at < shown.size()) {
        const size_t end = std::min(shown.find('\n', at), shown.size());
        std::string line = shown.substr(at, end - at);
        at = end + 1;
        line.erase(0, line.find_first_not_of(' '));
        if (line.rfind("State=", 0) == 0) {
            // Whole flags, such as IDLE+DRAIN or DOWN* (not responding),
            // not POWERED_DOWN.
            std::string_view state = std::string_view(line).substr(sizeof "State=" - 1);
            state = state.substr(0, state.find(' '));
            while (!state.empty()) {
                std::string_view flag = state.substr(0, state.find('+'));
                state.remove_prefix(std::min(flag.size() + 1, state.size()));
                flag = flag.substr(0, flag.find('*'));
                node.held = node.held || flag == "DRAIN" || flag == "DRAINED" || flag == "DRAINING" || flag == "DOWN" ||
                            flag == "FAIL" || flag == "FAILING";
            }
        } else if (line.rfind("Reason=", 0) == 0) {
            node.reason = line.substr(sizeof "Reason=" - 1);
            const size_t by = node.reason.rfind(" [");
            if (by != std::string::npos && node.reason.back() == ']') {
                node.reason.erase(by);
            }
        } else if (line.rfind("BootTime=", 0) == 0) {
            node.boot_time = line.substr(sizeof "BootTime=" - 1, line.find(' ') - (sizeof "BootTime=" - 1));
        }
    }
    return node;
}
