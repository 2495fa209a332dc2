// SPDX-License-Identifier: MIT
// The fleet's architectures for a build on a host without a GPU: what the
// nodes published to Slurm's features or to Prometheus, read back through
// each one's own client and printed as gpu_arch prints them, sorted as bytes
// and each once. Nothing but architecture lines reaches standard output.
#include "fleet.hpp"

#include <cstdio>
#include <set>
#include <string_view>
#include <unordered_set>

#include "messages.hpp"
#include "scontrol.hpp"

namespace {

// The recording rule of prometheus/gpu_arch.rules.yml that counts, for each
// architecture, the nodes with a fresh answer; and the nodes with one.
constexpr const char *architectures_rule = "arch:gpu_arch_nodes:count";
constexpr const char *answering_nodes = "count(gpu_arch_detection_success == 1)";

// The states of sinfo's %t in which a node takes jobs now; any other, or
// one with a mark (not responding, powered down, rebooting...), does not.
bool runs_jobs_now(std::string_view state)
{
    for (const std::string_view ready : {"idle", "mix", "alloc", "comp", "plnd"}) {
        if (state == ready) {
            return true;
        }
    }
    return false;
}

// The next word of text, after blanks; empty at its end.
std::string_view next_word(std::string_view &text)
{
    const size_t start = std::min(text.find_first_not_of(" \t"), text.size());
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(" \t"), text.size());
    const std::string_view word = text.substr(0, end);
    text.remove_prefix(end);
    return word;
}

// Prints the architectures, one line each; false after a message when the
// output was lost.
bool print(const std::set<std::string, std::less<>> &architectures)
{
    std::string text;
    for (const std::string &name : architectures) {
        text += name + "\n";
    }
    if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return false;
    }
    return true;
}

// What a successful run said on standard error, passed on.
void pass_on_errors(const Run &run, const char *program)
{
    if (!run.errors.empty()) {
        say(std::string(program) + " said: " + quote_for_message(run.errors.substr(0, run.errors.size() - 1)));
    }
}

// The partitions named, for a message.
std::string named(const std::vector<std::string> &partitions)
{
    std::string text = partitions.size() == 1 ? "partition " : "partitions ";
    for (size_t i = 0; i < partitions.size(); ++i) {
        text += (i == 0 ? "" : ", ") + quote_for_message(partitions[i]);
    }
    return text;
}

// The nodes asked for, for a message.
std::string scope(const std::vector<std::string> &partitions)
{
    return partitions.empty() ? "slurmctld's nodes" : "the nodes of " + named(partitions);
}

// The answer of promtool to one query, in JSON; false after a message.
bool query(const std::vector<std::string> &arguments, const std::string &expression, std::string &answer)
{
    std::vector<std::string> argv = {"promtool", "query", "--format=json", "instant"};
    if (arguments.size() > 1) {
        argv.push_back("--http.config.file=" + arguments[1]);
    }
    argv.push_back(arguments[0]);
    argv.push_back(expression);
    Run run = run_bounded(argv, scontrol_seconds);
    if (!run.failure.empty()) {
        run.output = run.errors + run.output;
        say("cannot ask Prometheus at " + quote_for_message(arguments[0]) + ": " + scontrol_failure(run, "promtool"));
        return false;
    }
    pass_on_errors(run, "promtool");
    answer = std::move(run.output);
    return true;
}

// The values of the label arch in promtool's JSON answer: each
// "arch":"value" of a series' metric. A value with an escape in it ends at
// the escape and is then no architecture name.
std::vector<std::string_view> arch_values(std::string_view answer)
{
    constexpr std::string_view key = "\"arch\":\"";
    std::vector<std::string_view> values;
    for (size_t at = answer.find(key); at != std::string_view::npos; at = answer.find(key, at)) {
        at += key.size();
        const size_t end = answer.find_first_of("\"\\", at);
        values.push_back(answer.substr(at, end == std::string_view::npos ? 0 : end - at));
    }
    return values;
}

} // namespace

int slurm_fleet(const std::vector<std::string> &arguments, Pass & /*unused*/)
{
    const bool ready_only = !arguments.empty() && arguments[0] == "ready";
    const std::vector<std::string> partitions(arguments.begin() + (ready_only ? 1 : 0), arguments.end());
    std::string partition_list;
    for (const std::string &partition : partitions) {
        if (partition.empty() || partition.find_first_of(", \t\n") != std::string::npos) {
            say("slurm-fleet takes partition names, each a word of its own: not " + quote_for_message(partition));
            return 2;
        }
        partition_list += (partition_list.empty() ? "" : ",") + partition;
    }
    // The nodes, their features and their state; sinfo joins the nodes
    // alike into host ranges.
    std::vector<std::string> argv = {"sinfo", "--noheader", "--format=%N %f %t"};
    if (!partitions.empty()) {
        argv.push_back("--partition=" + partition_list);
    }
    Run run = run_bounded(argv, scontrol_seconds);
    if (!run.failure.empty()) {
        run.output = run.errors + run.output;
        say("cannot ask slurmctld for the features of " + scope(partitions) + ": " + scontrol_failure(run, "sinfo"));
        return fleet_unreachable;
    }
    pass_on_errors(run, "sinfo");
    std::set<std::string, std::less<>> architectures;
    // Each feature is judged once: the same ones come back on every line.
    std::unordered_set<std::string_view> judged;
    bool matched = false;
    bool ready = false;
    for (std::string_view rest = run.output; !rest.empty();) {
        const size_t end = std::min(rest.find('\n'), rest.size());
        const std::string_view whole = rest.substr(0, end);
        std::string_view line = whole;
        rest.remove_prefix(std::min(end + 1, rest.size()));
        const std::string_view nodes = next_word(line);
        std::string_view features = next_word(line);
        const std::string_view state = next_word(line);
        if (nodes.empty()) {
            continue;
        }
        if (state.empty() || !next_word(line).empty()) {
            say("cannot read sinfo's line " + quote_for_message(whole) + ": it is not nodes, features and state");
            return fleet_unreachable;
        }
        matched = true;
        if (ready_only && !runs_jobs_now(state)) {
            continue;
        }
        ready = true;
        while (!features.empty()) {
            const size_t comma = std::min(features.find(','), features.size());
            const std::string_view feature = features.substr(0, comma);
            if (judged.insert(feature).second && is_architecture_name(feature)) {
                architectures.emplace(feature);
            }
            features.remove_prefix(std::min(comma + 1, features.size()));
        }
    }
    if (!matched) {
        say("no node matched: " + (partitions.empty()
                                       ? std::string("slurmctld knows no node")
                                       : named(partitions) + (partitions.size() == 1 ? " has" : " have") +
                                             " no node, or no such partition exists (sinfo --summarize "
                                             "lists the partitions)"));
        return fleet_no_node;
    }
    if (!ready) {
        say("no node matched: none of " + scope(partitions) +
            " can run jobs now (each is down, drained, powered down or not responding)");
        return fleet_no_node;
    }
    if (architectures.empty()) {
        say(scope(partitions) +
            " have no GPU architecture among their features (gpu_arch-publish publishes them there)");
        return fleet_no_architecture;
    }
    return print(architectures) ? 0 : fleet_unreachable;
}

int prometheus_fleet(const std::vector<std::string> &arguments, Pass & /*unused*/)
{
    std::string answer;
    if (!query(arguments, std::string(architectures_rule) + " > 0", answer)) {
        return fleet_unreachable;
    }
    std::set<std::string, std::less<>> architectures;
    for (const std::string_view name : arch_values(answer)) {
        if (is_architecture_name(name)) {
            architectures.emplace(name);
        }
    }
    if (!architectures.empty()) {
        return print(architectures) ? 0 : fleet_unreachable;
    }
    // None: no node answers, or the nodes that do have no GPU.
    if (!query(arguments, answering_nodes, answer)) {
        return fleet_unreachable;
    }
    if (answer.find("\"value\"") == std::string::npos) {
        say("no node matched: no node has a fresh answer of gpu_arch in Prometheus at " +
            quote_for_message(arguments[0]));
        return fleet_no_node;
    }
    say("the nodes with a fresh answer in Prometheus at " + quote_for_message(arguments[0]) +
        " have no GPU architecture, or its rules lack gpu_arch.rules.yml's " + architectures_rule);
    return fleet_no_architecture;
}
