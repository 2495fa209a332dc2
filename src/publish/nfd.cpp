// SPDX-License-Identifier: MIT
// nfd FILE [PREFIX]: the feature file of node feature discovery's local
// source, with the labels of the pass's answer, which expire a lifetime after
// that answer; without one, no file.
#include "nfd.hpp"

std::string label_prefix_problem(std::string_view prefix)
{
    // A DNS subdomain in lower case: dot-separated labels of letters, digits
    // and hyphens that start and end with a letter or digit.
    if (prefix.empty() || prefix.size() > 253) {
        return "a label prefix has 1 to 253 characters";
    }
    size_t label_start = 0;
    for (size_t at = 0; at <= prefix.size(); ++at) {
        if (at < prefix.size() && prefix[at] != '.') {
            const char c = prefix[at];
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) {
                return "a label prefix holds lower-case letters, digits, '-' and '.' only";
            }
            continue;
        }
        if (at == label_start || prefix[label_start] == '-' || prefix[at - 1] == '-' || at - label_start > 63) {
            return "each dot-separated part of a label prefix has 1 to 63 characters and starts and ends with a letter "
                   "or digit";
        }
        label_start = at + 1;
    }
    const auto within = [prefix](std::string_view domain) {
        return prefix == domain || (prefix.size() > domain.size() && prefix[prefix.size() - domain.size() - 1] == '.' &&
                                    prefix.substr(prefix.size() - domain.size()) == domain);
    };
    if ((within("kubernetes.io") || within("k8s.io")) && !within("feature.node.kubernetes.io")) {
        return "Kubernetes keeps kubernetes.io and k8s.io to itself, but for feature.node.kubernetes.io and its "
               "subdomains";
    }
    return "";
}

std::string feature_file_text(const std::vector<Architecture> &architectures, std::string_view prefix,
                              std::string_view expiry)
{
    std::string text = "# GPU architectures of this node, written by gpu_arch-publish.\n# +expiry-time=";
    text.append(expiry);
    text += "\n";
    unsigned gpus = 0;
    for (const Architecture &architecture : architectures) {
        const std::string key = std::string(prefix) + "/" + architecture.name;
        text.append(key).append("=true\n").append(key).append(".gpus=");
        text.append(std::to_string(architecture.gpus)).append("\n");
        gpus += architecture.gpus;
    }
    return text.append(prefix).append("/gpus=").append(std::to_string(gpus)).append("\n");
}

int nfd_prefix(const std::vector<std::string> &arguments, Pass &pass)
{
    pass.nfd_prefix = arguments[0];
    const std::string problem = label_prefix_problem(arguments[0]);
    if (!problem.empty()) {
        say("cannot use " + quote_for_message(arguments[0]) + " as the label prefix: " + problem);
        return 2;
    }
    return 0;
}

int nfd(const std::vector<std::string> &arguments, Pass &pass)
{
    // A prefix of the pass was judged where it was set.
    if (arguments.size() > 1 && nfd_prefix({arguments[1]}, pass) != 0) {
        return 2;
    }
    const std::string prefix = pass.nfd_prefix.empty() ? default_label_prefix : pass.nfd_prefix;
    if (!label_prefix_problem(prefix).empty()) {
        return 2;
    }
    const std::string &path = arguments[0];
    // NFD reads the regular files right in features.d, and skips dot-files.
    const std::string name = path.substr(path.rfind('/') + 1);
    const size_t folder = path.rfind("/features.d/");
    if ((!name.empty() && name[0] == '.') ||
        (folder != std::string::npos && path.find('/', folder + sizeof "/features.d/" - 1) != std::string::npos)) {
        say("warning: node feature discovery reads only files right in features.d whose names do not start with a "
            "dot, not " +
            quote_for_message(path));
    }
    // Labels only for as long as the answer of this pass allows: a failure
    // with nothing to show takes them away at once; a kept answer of no GPU
    // keeps gpus=0.
    const Answer &shown = answer(pass);
    if (!shown.known) {
        const int removed = remove_file(path);
        if (removed > 0) {
            say("removed " + quote_for_message(path) + ", so that node feature discovery drops its labels");
        }
        return 1;
    }
    const std::string expiry = utc_text(shown.last_success + shown.lifetime);
    if (!shown.fresh) {
        say(quote_for_message(path) + " keeps the labels of the last run that answered, until " + expiry);
    }
    if (!write_file(path, feature_file_text(shown.architectures, prefix, expiry))) {
        say(quote_for_message(path) +
            " still holds the labels an earlier pass wrote there, if any, until their expiry");
        return 1;
    }
    return shown.fresh ? 0 : 1;
}
