// SPDX-License-Identifier: MIT
// prometheus FILE: metrics for the node exporter's textfile collector. After
// a failed run the file shows the last answer for its lifetime, with when it
// was given, so that rules can tell a fresh answer from a kept one; and when
// and how often it is written, so that they can tell a stale file.

#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "drain.hpp"
#include "expected.hpp"
#include "prometheus.hpp"

namespace {

// What the drain holds the node to, for the alert that judges it alike.
std::string expected_text(const std::vector<Architecture> &expected, bool unknown)
{
    std::string text = "# HELP gpu_arch_expected_gpus GPUs of each architecture this node should have: declared, "
                       "else the most it has shown, until a loss is accepted.\n"
                       "# TYPE gpu_arch_expected_gpus gauge\n";
    for (const Architecture &architecture : expected) {
        text += "gpu_arch_expected_gpus{arch=\"" + architecture.name + "\"} " +
                (unknown ? std::string("+Inf") : std::to_string(architecture.gpus)) + "\n";
    }
    return text;
}

} // namespace

std::string prometheus_text(const Answer &answer, const std::vector<Architecture> &expected, long long written,
                            long long interval, bool unknown)
{
    std::string text = "# HELP gpu_arch_info A GPU architecture of this node, as gpu_arch names it.\n"
                       "# TYPE gpu_arch_info gauge\n";
    for (const Architecture &architecture : answer.architectures) {
        text += "gpu_arch_info{arch=\"" + architecture.name + "\"} 1\n";
    }
    text += "# HELP gpu_arch_gpus GPUs of each architecture on this node.\n"
            "# TYPE gpu_arch_gpus gauge\n";
    for (const Architecture &architecture : answer.architectures) {
        text += "gpu_arch_gpus{arch=\"" + architecture.name + "\"} " + std::to_string(architecture.gpus) + "\n";
    }
    text += "# HELP gpu_arch_detection_success Whether the last run of gpu_arch answered (1) or not (0).\n"
            "# TYPE gpu_arch_detection_success gauge\n"
            "gpu_arch_detection_success " +
            std::string(answer.fresh ? "1" : "0") + "\n";
    // 0 when no answer is known, so that a node failing since it was set up
    // is as old as a node can be.
    text += "# HELP gpu_arch_last_success_timestamp_seconds When gpu_arch last answered, 0 if not known; after a "
            "failure the architectures are that answer's, for gpu_arch_lifetime_seconds.\n"
            "# TYPE gpu_arch_last_success_timestamp_seconds gauge\n"
            "gpu_arch_last_success_timestamp_seconds " +
            std::to_string(answer.last_success) + "\n";
    return text +
           "# HELP gpu_arch_lifetime_seconds How long a failing node shows its last answer.\n"
           "# TYPE gpu_arch_lifetime_seconds gauge\n"
           "gpu_arch_lifetime_seconds " +
           std::to_string(answer.lifetime) +
           "\n"
           // By the node's own clock, so that an age taken from the node's
           // time is right whatever the skew to the server's.
           "# HELP gpu_arch_written_timestamp_seconds When gpu_arch-publish wrote this file, by the node's clock.\n"
           "# TYPE gpu_arch_written_timestamp_seconds gauge\n"
           "gpu_arch_written_timestamp_seconds " +
           std::to_string(written) +
           "\n"
           "# HELP gpu_arch_interval_seconds How often gpu_arch-publish writes this file.\n"
           "# TYPE gpu_arch_interval_seconds gauge\n"
           "gpu_arch_interval_seconds " +
           std::to_string(interval) + "\n" + expected_text(expected, unknown);
}

int prometheus(const std::vector<std::string> &arguments, Pass &pass)
{
    const std::string &path = arguments[0];
    if (path.size() < 5 || path.compare(path.size() - 5, 5, ".prom") != 0) {
        say("warning: " + quote_for_message(path) +
            " does not end in .prom, and the node exporter reads only files that do");
    }
    const Answer &shown = answer(pass);
    if (!shown.fresh && shown.known) {
        say(quote_for_message(path) +
            " keeps the architectures of the last run that answered, and gpu_arch_detection_success 0");
    }
    // Learned by a pass here too, so that the alert needs no drain; read
    // only, and without a word, where the folder is not there or not ours.
    std::string folder;
    const int state = pass.state_failed || shown.unkept ? -1 : open_state_folder(folder, false);
    const Expectation expected = read_expectation(state, folder, shown, pass);
    const bool kept = state < 0 || !pass.in_pass || keep_expectation(state, folder, expected, shown);
    const bool unknown = !expected.problem.empty();
    const std::vector<Architecture> held = unknown ? expected.raised : held_to(state, folder, shown, expected);
    if (state >= 0) {
        close(state);
    }
    if (!write_file(path, prometheus_text(shown, held, time(nullptr), pass.interval, unknown))) {
        say(quote_for_message(path) + " still holds what an earlier pass wrote there, if anything");
        return 1;
    }
    return shown.fresh && kept && !unknown ? 0 : 1;
}
