// SPDX-License-Identifier: MIT
// The fleet's architectures for a build on a host without a GPU: what the
// nodes published to Slurm's features or to Prometheus, read back through
// each one's own client and printed as gpu_arch prints them, sorted as bytes
// and each once. Nothing but architecture lines reaches standard output.
#include "fleet.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>
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
    constexpr std::string_view ready[] = {"idle", "mix", "alloc", "comp", "plnd"};
    return std::find(std::begin(ready), std::end(ready), state) != std::end(ready);
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

// The answer of promtool to one query, a JSON list of series; false after
// a message when promtool failed or printed something else.
bool query(const std::vector<std::string> &arguments, const std::string &expression, std::string &answer)
{
    std::vector<std::string> argv = {"promtool", "query", "--format=json", "instant"};
    if (arguments.size() > 1) {
        argv.push_back("--http.config.file=" + arguments[1]);
    }
    argv.emplace_back("--");
    argv.push_back(arguments[0]);
    argv.push_back(expression);
    Run run = run_bounded(argv, scontrol_seconds);
    if (!run.failure.empty()) {
        run.output = run.errors + run.output;
        say("cannot ask Prometheus at " + quote_for_message(arguments[0]) + ": " + scontrol_failure(run, "promtool"));
        return false;
    }
    pass_on_errors(run, "promtool");
    const std::string_view list = std::string_view(run.output).substr(0, run.output.find_last_not_of(" \n") + 1);
    if (list.empty() || list.front() != '[' || list.back() != ']') {
        say("cannot read the answer of Prometheus at " + quote_for_message(arguments[0]) +
            ": it is not a JSON list of series: " + quote_start(list));
        return false;
    }
    answer = std::move(run.output);
    return true;
}

// The values of the label arch in promtool's JSON answer: each
// "arch":"value" of a series' metric, as JSON writes it up to its closing
// quote. A value with an escape keeps it, and is then no architecture name.
std::vector<std::string_view> arch_values(std::string_view answer)
{
    constexpr std::string_view key = "\"arch\":\"";
    std::vector<std::string_view> values;
    for (size_t at = answer.find(key); at != std::string_view::npos; at = answer.find(key, at)) {
        at += key.size();
        size_t end = at;
        while (end < answer.size() && answer[end] != '"') {
            end += answer[end] == '\\' ? size_t{2} : size_t{1};
        }
        values.push_back(answer.substr(at, end - at));
        at = end;
    }
    return values;
}

// What sinfo's lines say: the partitions with a node, whether a node that
// counts matched, and the architectures among the features of those that
// count; unreadable holds a line that is not partition, state, features and
// nodes.
struct SinfoNodes {
    std::set<std::string, std::less<>> partitions;
    bool counted = false;
    std::set<std::string, std::less<>> architectures;
    std::string unreadable;
};

// Adds the architectures among a comma-separated list of features; each
// feature is judged once, since the same ones come back on every line.
void add_architectures(std::string_view features, std::unordered_set<std::string_view> &judged,
                       std::set<std::string, std::less<>> &architectures)
{
    while (!features.empty()) {
        const size_t comma = std::min(features.find(','), features.size());
        const std::string_view feature = features.substr(0, comma);
        if (judged.insert(feature).second && is_architecture_name(feature)) {
            architectures.emplace(feature);
        }
        features.remove_prefix(std::min(comma + 1, features.size()));
    }
}

SinfoNodes read_sinfo(std::string_view output, bool ready_only)
{
    SinfoNodes found;
    std::unordered_set<std::string_view> judged;
    while (!output.empty()) {
        const size_t end = std::min(output.find('\n'), output.size());
        const std::string_view whole = output.substr(0, end);
        std::string_view line = whole;
        output.remove_prefix(std::min(end + 1, output.size()));
        const std::string_view partition = next_word(line);
        const std::string_view state = next_word(line);
        const std::string_view features = next_word(line);
        const std::string_view nodes = next_word(line);
        if (partition.empty()) {
            continue;
        }
        if (features.empty() || !next_word(line).empty()) {
            found.unreadable = whole;
            return found;
        }
        // A partition without a node comes with an empty node list.
        if (nodes.empty()) {
            continue;
        }
        found.partitions.emplace(partition);
        if (!ready_only || runs_jobs_now(state)) {
            found.counted = true;
            add_architectures(features, judged, found.architectures);
        }
    }
    return found;
}

// The partitions as sinfo takes them, comma-separated; false after a
// message when a name is empty or holds a separator.
bool partition_list(const std::vector<std::string> &partitions, std::string &list)
{
    for (const std::string &partition : partitions) {
        if (partition.empty() || partition.find_first_of(", \t\n") != std::string::npos) {
            say("slurm-fleet takes partition names, each a word of its own: not " + quote_for_message(partition));
            return false;
        }
        list += (list.empty() ? "" : ",") + partition;
    }
    return true;
}

} // namespace

int slurm_fleet(const std::vector<std::string> &arguments, Pass & /*unused*/)
{
    const bool ready_only = !arguments.empty() && arguments[0] == "ready";
    const std::vector<std::string> partitions(arguments.begin() + (ready_only ? 1 : 0), arguments.end());
    std::string list;
    if (!partition_list(partitions, list)) {
        return 2;
    }
    // The nodes, their features and their state, of hidden partitions too
    // (which sinfo shows when they are named, and refuses --all with);
    // sinfo joins the nodes alike into host ranges. Each line names its
    // partition, since sinfo skips one it does not know among several named;
    // a node in several partitions comes once for each.
    std::vector<std::string> argv = {"sinfo", "--noheader", "--format=%R %t %f %N"};
    argv.emplace_back(partitions.empty() ? "--all" : "--partition=" + list);
    Run run = run_bounded(argv, scontrol_seconds);
    if (!run.failure.empty()) {
        run.output = run.errors + run.output;
        say("cannot ask slurmctld for the features of " + scope(partitions) + ": " + scontrol_failure(run, "sinfo"));
        return fleet_unreachable;
    }
    pass_on_errors(run, "sinfo");
    const SinfoNodes found = read_sinfo(run.output, ready_only);
    if (!found.unreadable.empty()) {
        say("cannot read sinfo's line " + quote_for_message(found.unreadable) +
            ": it is not partition, state, features and nodes");
        return fleet_unreachable;
    }
    std::vector<std::string> unmatched;
    std::copy_if(partitions.begin(), partitions.end(), std::back_inserter(unmatched),
                 [&found](const std::string &partition) { return !found.partitions.contains(partition); });
    if (found.partitions.empty() || !unmatched.empty()) {
        say("no node matched: " + (unmatched.empty() ? std::string("slurmctld knows no node")
                                                     : named(unmatched) + (unmatched.size() == 1 ? " has" : " have") +
                                                           " no node, or no such partition exists (sinfo --summarize "
                                                           "lists the partitions)"));
        return fleet_no_node;
    }
    if (!found.counted) {
        say("no node matched: none of " + scope(partitions) +
            " can run jobs now (each is down, drained, powered down or not responding)");
        return fleet_no_node;
    }
    if (found.architectures.empty()) {
        say(scope(partitions) +
            " have no GPU architecture among their features (gpu_arch-publish publishes them there)");
        return fleet_no_architecture;
    }
    return print(found.architectures) ? 0 : fleet_unreachable;
}

int prometheus_fleet(const std::vector<std::string> &arguments, Pass & /*unused*/)
{
    // Neither is taken for one of promtool's options.
    for (const std::string &argument : arguments) {
        if (argument.empty() || argument[0] == '-') {
            say("prometheus-fleet takes a URL and the path of promtool's HTTP settings file, not " +
                quote_for_message(argument));
            return 2;
        }
    }
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
