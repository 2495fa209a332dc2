// SPDX-License-Identifier: MIT
// gpu_arch-publish: runs gpu_arch and hands the node's GPU architectures to
// the software that schedules or describes the node. The table below is the
// one list of its commands and consumers: it drives the command line, the
// timer's pass and the usage text (gpu_arch-publish(8) is checked against
// it). Each consumer lives in a file of its own.
//
// gpu_arch runs in a process group of its own, for at most ten seconds, and
// only its lines that are architecture names count. GPU_ARCH_PROGRAM names
// another program to run instead. Messages go to standard error, which is
// the journal under systemd. Exit status: 0 when everything worked, 1 when
// something failed (and a message says what), 2 for a usage error.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "json.hpp"
#include "nfd.hpp"
#include "prometheus.hpp"
#include "slurm.hpp"

// Set by the build: the file where the service reads GPU_ARCH_PUBLISH.
#ifndef GPU_ARCH_PUBLISH_DEFAULTS
#error "GPU_ARCH_PUBLISH_DEFAULTS must be defined by the build"
#endif

namespace {

// A consumer or a setting, one row of the table that drives the command
// line, the pass and the usage text. In a pass, settings apply first, then
// the consumers, then the retries, which run only when named and do not
// count as a consumer named.
enum class InPass { No, Setting, Consumer, Retry };
struct Consumer {
    const char *name;
    const char *arguments; // as the usage text shows them
    size_t least;          // how many arguments the command takes
    size_t most;
    int (*run)(const std::vector<std::string> &arguments, Pass &pass);
    InPass in_pass; // named in a pass with its first argument
};

constexpr size_t any = static_cast<size_t>(-1);

int pass(const std::vector<std::string> &words, Pass &unused);

// How long a failing node shows its last answer, up to a week.
int lifetime(const std::vector<std::string> &arguments, Pass &pass)
{
    char *end = nullptr;
    const long long seconds = strtoll(arguments[0].c_str(), &end, 10);
    if (arguments[0].empty() || *end != '\0' || seconds < 1 || seconds > max_lifetime) {
        say("cannot use " + quote_for_message(arguments[0]) + " as the lifetime: it is a number of seconds from 1 to " +
            std::to_string(max_lifetime));
        return 2;
    }
    pass.lifetime = seconds;
    return 0;
}

// clang-format off
const Consumer consumers[] = {
    {"slurmd-options", "DIR [WORD...]",      1, any, slurmd_options, InPass::No},
    {"slurm-pending",  "DIR",                1, 1,   slurm_pending,  InPass::Retry},
    {"node-line",      "",                   0, 0,   node_line,      InPass::No},
    {"prometheus",     "FILE",               1, 1,   prometheus,     InPass::Consumer},
    {"nfd",            "FILE [PREFIX]",      1, 2,   nfd,            InPass::Consumer},
    {"nfd-prefix",     "PREFIX",             1, 1,   nfd_prefix,     InPass::Setting},
    {"lifetime",       "SECONDS",            1, 1,   lifetime,       InPass::Setting},
    {"json",           "",                   0, 0,   json,           InPass::No},
    {"pass",           nullptr,              0, any, pass,           InPass::No},
};
// clang-format on

const Consumer *find(std::string_view name)
{
    const auto *row = std::find_if(std::begin(consumers), std::end(consumers),
                                   [name](const Consumer &consumer) { return consumer.name == name; });
    return row == std::end(consumers) ? nullptr : row;
}

// What a pass may name, as the usage text shows it.
std::string pass_words()
{
    std::string words;
    for (const Consumer &row : consumers) {
        if (row.in_pass != InPass::No) {
            const std::string_view arguments = row.arguments;
            words += std::string(words.empty() ? "" : " ") + "[" + row.name + " " +
                     std::string(arguments.substr(0, arguments.find(' '))) + "]";
        }
    }
    return words;
}

int usage()
{
    std::string text;
    for (const Consumer &row : consumers) {
        if (row.in_pass != InPass::Setting) {
            const std::string arguments = row.arguments != nullptr ? row.arguments : pass_words();
            text += std::string(text.empty() ? "usage: " : "       ") + "gpu_arch-publish " + row.name +
                    (arguments.empty() ? "" : " " + arguments) + "\n";
        }
    }
    fputs(text.c_str(), stderr);
    return 2;
}

// The words of GPU_ARCH_PUBLISH, split at blanks.
std::vector<std::string> defaults_words()
{
    std::vector<std::string> words;
    const char *value = getenv("GPU_ARCH_PUBLISH");
    std::string_view rest = value != nullptr ? value : "";
    while (!rest.empty()) {
        const size_t start = std::min(rest.find_first_not_of(" \t\n"), rest.size());
        rest.remove_prefix(start);
        const size_t end = std::min(rest.find_first_of(" \t\n"), rest.size());
        if (end > 0) {
            words.emplace_back(rest.substr(0, end));
        }
        rest.remove_prefix(end);
    }
    return words;
}

// The pairs of a consumer and its argument among words; a word that names
// none is said, with where it came from, and left out with the word after
// it, its argument.
bool read_pairs(const std::vector<std::string> &words, const std::string &origin,
                std::vector<std::pair<const Consumer *, std::string>> &pairs)
{
    bool good = true;
    for (size_t i = 0; i < words.size(); ++i) {
        const Consumer *row = find(words[i]);
        if (row == nullptr || row->in_pass == InPass::No) {
            say(origin + ": " + quote_for_message(words[i]) + " names no consumer; a pass takes " + pass_words());
            good = false;
            // Its argument, unless that is a word of its own.
            const Consumer *next = i + 1 < words.size() ? find(words[i + 1]) : nullptr;
            i += next == nullptr || next->in_pass == InPass::No ? 1 : 0;
        } else if (i + 1 == words.size()) {
            const std::string_view arguments = row->arguments;
            say(origin + ": " + quote_for_message(words[i]) + " needs " +
                std::string(arguments.substr(0, arguments.find(' '))) + " after it");
            good = false;
        } else {
            pairs.emplace_back(row, words[++i]);
        }
    }
    return good;
}

// What the service's last pass said, kept in the state folder, is said
// again only when it changed, so that a node in a steady state leaves the
// journal quiet. A pass run by hand says everything and leaves what the
// service said alone.
void say_once(const std::string &messages)
{
    if (getenv("INVOCATION_ID") == nullptr) {
        fputs(messages.c_str(), stderr);
        return;
    }
    std::string state_path;
    const int state = open_state_folder(state_path);
    const std::string path = state_path + "/messages";
    std::string last;
    if (state < 0 || read_file_at(state, path, "messages", max_messages + 1024, last) < 0 || messages != last) {
        fputs(messages.c_str(), stderr);
    }
    if (state >= 0 && messages != last) {
        write_file_at(state, path, "messages", messages);
    }
    if (state >= 0) {
        close(state);
    }
}

// One pass of the timer: the consumers named on the command line and in
// GPU_ARCH_PUBLISH, settings first, with at most one run of gpu_arch.
int pass(const std::vector<std::string> &words, Pass & /*unused*/)
{
    std::vector<std::pair<const Consumer *, std::string>> pairs;
    if (!read_pairs(words, "pass", pairs)) {
        return usage();
    }
    collect_messages(true);
    const std::vector<std::string> defaults = defaults_words();
    int status =
        read_pairs(defaults, "GPU_ARCH_PUBLISH in " + quote_for_message(GPU_ARCH_PUBLISH_DEFAULTS), pairs) ? 0 : 1;
    if (std::none_of(pairs.begin(), pairs.end(),
                     [](const auto &pair) { return pair.first->in_pass == InPass::Consumer; })) {
        say("no consumer is named: name them in GPU_ARCH_PUBLISH in " + quote_for_message(GPU_ARCH_PUBLISH_DEFAULTS) +
            " (see gpu_arch-publish(8))");
    }
    Pass shared;
    shared.in_pass = true;
    for (const InPass kind : {InPass::Setting, InPass::Consumer, InPass::Retry}) {
        for (const auto &[row, argument] : pairs) {
            if (row->in_pass == kind) {
                status = std::max(status, std::min(row->run({argument}, shared), 1));
            }
        }
    }
    collect_messages(false);
    say_once(collected_messages());
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed reader shows up as a failed write, reported as such; a parent
    // that ignores SIGCHLD must not make our children vanish unwaited.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    Pass pass;
    // Ansible runs the executables of its fact folder without arguments.
    const std::string_view name = argc > 0 ? argv[0] : "";
    if (name.substr(name.rfind('/') + 1) == "gpu_arch.fact") {
        return json({"as-fact"}, pass);
    }
    const Consumer *row = argc > 1 ? find(argv[1]) : nullptr;
    const std::vector<std::string> arguments(argv + std::min(argc, 2), argv + argc);
    if (row == nullptr || row->in_pass == InPass::Setting || arguments.size() < row->least ||
        arguments.size() > row->most) {
        return usage();
    }
    return row->run(arguments, pass);
}
