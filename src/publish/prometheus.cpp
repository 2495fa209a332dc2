// SPDX-License-Identifier: MIT
// prometheus FILE: metrics for the node exporter's textfile collector. After
// a failed run the file shows the last answer for its lifetime, with when it
// was given, so that rules can tell a fresh answer from a kept one; and when
// and how often it is written, so that they can tell a stale file.

#include <ctime>

#include "prometheus.hpp"

std::string prometheus_text(const Answer &answer, long long written, long long interval)
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
           std::to_string(interval) + "\n";
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
    if (!write_file(path, prometheus_text(shown, time(nullptr), pass.interval))) {
        say(quote_for_message(path) + " still holds what an earlier pass wrote there, if anything");
        return 1;
    }
    return shown.fresh ? 0 : 1;
}
