// SPDX-License-Identifier: MIT
#include "publish_text.hpp"

#include <regex.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

// The build hands over the one definition of an architecture name.
#ifndef GPU_ARCH_NAME_PATTERN
#error "GPU_ARCH_NAME_PATTERN must be defined by the build"
#endif

namespace {

bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool contains(const std::vector<std::string> &names, std::string_view name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Takes the text up to the first separator, or all of it, off the front of
// text, with the separator.
std::string_view take_until(std::string_view &text, char separator)
{
    const size_t end = std::min(text.find(separator), text.size());
    const std::string_view piece = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    return piece;
}

// Splits at commas, leaving out empty items.
std::vector<std::string> split_list(std::string_view list)
{
    std::vector<std::string> items;
    while (!list.empty()) {
        const std::string_view item = take_until(list, ',');
        if (!item.empty()) {
            items.emplace_back(item);
        }
    }
    return items;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size()) {
        return false;
    }
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// Where a setting (Key=value, blank-separated, double quotes grouping) begins
// and ends.
struct Span {
    size_t begin;
    size_t end;
};

std::vector<Span> setting_spans(std::string_view text)
{
    std::vector<Span> spans;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && is_blank(text[at])) {
            ++at;
        }
        if (at == text.size()) {
            break;
        }
        const size_t begin = at;
        bool quoted = false;
        while (at < text.size() && (quoted || !is_blank(text[at]))) {
            quoted = text[at] == '"' ? !quoted : quoted;
            ++at;
        }
        spans.push_back({begin, at});
    }
    return spans;
}

// The key of a features setting (Feature= or Features=, in any case), or an
// empty view for any other setting.
std::string_view features_key(std::string_view setting)
{
    for (std::string_view key : {"features=", "feature="}) {
        if (starts_with_ignoring_case(setting, key)) {
            return setting.substr(0, key.size());
        }
    }
    return {};
}

// The features settings in text: where each is, the key of the first, and
// the features of all, comma-separated.
struct FeaturesSettings {
    std::vector<Span> spans;
    std::string key = "Feature=";
    std::string features;
};

FeaturesSettings find_features_settings(std::string_view text)
{
    FeaturesSettings found;
    for (const Span &span : setting_spans(text)) {
        const std::string_view setting = text.substr(span.begin, span.end - span.begin);
        const std::string_view key = features_key(setting);
        if (key.empty()) {
            continue;
        }
        if (found.spans.empty()) {
            found.key = key;
        }
        found.spans.push_back(span);
        std::string value(setting.substr(key.size()));
        value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
        found.features += "," + value;
    }
    return found;
}

// Text with the settings at spans taken out, and the first replaced by
// replacement unless that is empty. A setting that goes takes the blanks
// before it along, or those after it when it comes first.
std::string splice_settings(std::string_view text, const std::vector<Span> &spans, const std::string &replacement)
{
    std::string result;
    size_t copied = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        size_t cut = spans[i].begin;
        size_t end = spans[i].end;
        const bool goes = i > 0 || replacement.empty();
        while (goes && cut > copied && is_blank(text[cut - 1])) {
            --cut;
        }
        while (goes && cut == 0 && end < text.size() && is_blank(text[end])) {
            ++end;
        }
        result.append(text.substr(copied, cut - copied));
        result += i == 0 ? replacement : "";
        copied = end;
    }
    return result.append(text.substr(copied));
}

// Rewrites the settings in text so that the node's features are the site's
// plus the architectures: the first features setting takes them all, later
// ones go, and one is added at the end when there was none. Sets features to
// the node's features.
std::string rewrite_features_setting(std::string_view text, const std::vector<Architecture> &architectures,
                                     std::string &features)
{
    const FeaturesSettings found = find_features_settings(text);
    features = merge_features(found.features, architectures);
    const bool quote = features.find_first_of(" \t") != std::string::npos;
    const std::string replacement = features.empty() ? "" : found.key + (quote ? '"' + features + '"' : features);
    if (!found.spans.empty()) {
        return splice_settings(text, found.spans, replacement);
    }
    // None yet: one more setting at the end, before any trailing blanks.
    size_t end = text.size();
    while (end > 0 && is_blank(text[end - 1])) {
        --end;
    }
    std::string result(text.substr(0, end));
    if (!replacement.empty()) {
        result += (end > 0 ? " " : "") + replacement;
    }
    return result.append(text.substr(end));
}

// Reads the cluster of short options in words[at] (such as -vZN name) into
// options; returns the index of the last word it used.
size_t read_short_options(const std::vector<std::string> &words, size_t at, SlurmdOptions &options)
{
    const std::string &word = words[at];
    for (size_t i = 1; i < word.size(); ++i) {
        const char option = word[i];
        if (option == 'Z') {
            options.dynamic = true;
        } else if (option == 'F') {
            break; // its value, optional, is the rest of the word
        } else if (std::string_view("dfLnN").find(option) != std::string_view::npos) {
            // The value is the rest of the word, or the next word.
            std::string value = word.substr(i + 1);
            if (value.empty() && at + 1 < words.size()) {
                value = words[++at];
            }
            if (option == 'N') {
                options.node_name = value;
            }
            break;
        }
    }
    return at;
}

} // namespace

bool is_architecture_name(std::string_view line)
{
    static regex_t pattern;
    static const bool compiled = regcomp(&pattern, "^(" GPU_ARCH_NAME_PATTERN ")$", REG_EXTENDED | REG_NOSUB) == 0;
    if (!compiled || line.find('\0') != std::string_view::npos) {
        return false;
    }
    const std::string text(line);
    return regexec(&pattern, text.c_str(), 0, nullptr, 0) == 0;
}

Detection read_detection(std::string_view output)
{
    Detection detection;
    while (!output.empty()) {
        std::string_view line = take_until(output, '\n');
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (!is_architecture_name(line)) {
            detection.dropped.emplace_back(line);
            continue;
        }
        auto known = std::find_if(detection.architectures.begin(), detection.architectures.end(),
                                  [line](const Architecture &architecture) { return architecture.name == line; });
        if (known == detection.architectures.end()) {
            detection.architectures.push_back({std::string(line), 1});
        } else {
            ++known->gpus;
        }
    }
    return detection;
}

std::string quote_for_message(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\'') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string quote_for_command_line(std::string_view word)
{
    if (!word.empty() && word.find_first_of(" \t\n\r\"'\\") == std::string_view::npos) {
        return std::string(word);
    }
    // In double quotes a backslash takes the next character as it is.
    std::string quoted = "\"";
    for (const char c : word) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string quote_for_environment_file(std::string_view value)
{
    // In double quotes these four need a backslash; everything else,
    // newlines included, stands for itself.
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\' || c == '`' || c == '$') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

std::string merge_features(std::string_view site_features, const std::vector<Architecture> &architectures)
{
    std::vector<std::string> features;
    for (std::string &feature : split_list(site_features)) {
        if (!is_architecture_name(feature) && !contains(features, feature)) {
            features.push_back(std::move(feature));
        }
    }
    for (const Architecture &architecture : architectures) {
        if (!contains(features, architecture.name)) {
            features.push_back(architecture.name);
        }
    }
    std::string list;
    for (const std::string &feature : features) {
        list += (list.empty() ? "" : ",") + feature;
    }
    return list;
}

SlurmdOptions rewrite_slurmd_options(const std::vector<std::string> &words,
                                     const std::vector<Architecture> &architectures)
{
    SlurmdOptions options;
    options.words.assign(words.begin(), words.end());
    // slurmd reads its options as getopt does: clusters of short options,
    // some taking the rest of the word or the next word as their value, and
    // --conf VALUE or --conf=VALUE, the last one counting.
    size_t conf_word = words.size();
    size_t conf_offset = 0;
    for (size_t i = 0; i < words.size() && words[i] != "--"; ++i) {
        const std::string &word = words[i];
        if (word == "--conf" && i + 1 < words.size()) {
            conf_word = ++i;
            conf_offset = 0;
        } else if (word == "--conf-server") {
            ++i;
        } else if (word.rfind("--conf=", 0) == 0) {
            conf_word = i;
            conf_offset = sizeof "--conf=" - 1;
        } else if (word.size() >= 2 && word[0] == '-' && word[1] != '-') {
            i = read_short_options(words, i, options);
        }
    }

    if (conf_word < words.size()) {
        const std::string &word = words[conf_word];
        options.words[conf_word] =
            word.substr(0, conf_offset) +
            rewrite_features_setting(std::string_view(word).substr(conf_offset), architectures, options.features);
        return options;
    }
    options.features = merge_features("", architectures);
    if (!options.features.empty()) {
        options.words.emplace_back("--conf");
        options.words.push_back("Feature=" + options.features);
    }
    return options;
}

NodeLine rewrite_node_line(std::string_view slurm_conf, std::string_view node_name,
                           const std::vector<Architecture> &architectures)
{
    std::string found;
    int times_found = 0;
    std::string range_lines;
    bool includes = false;
    while (!slurm_conf.empty()) {
        // One logical line: a backslash before the newline continues it.
        std::string line;
        for (;;) {
            std::string_view piece = take_until(slurm_conf, '\n');
            if (piece.empty() || piece.back() != '\\' || slurm_conf.empty()) {
                line.append(piece);
                break;
            }
            piece.remove_suffix(1);
            line.append(piece);
        }
        const size_t comment = std::min(line.find('#'), line.size());
        const std::string_view settings = std::string_view(line).substr(0, comment);
        const std::vector<Span> spans = setting_spans(settings);
        if (spans.empty()) {
            continue;
        }
        const std::string_view first = settings.substr(spans[0].begin, spans[0].end - spans[0].begin);
        if (starts_with_ignoring_case(first, "include")) {
            includes = true;
            continue;
        }
        if (!starts_with_ignoring_case(first, "nodename=")) {
            continue;
        }
        std::string name(first.substr(sizeof "nodename=" - 1));
        name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
        if (name == node_name) {
            std::string features;
            found = rewrite_features_setting(settings, architectures, features) + line.substr(comment);
            ++times_found;
        } else if (name.find_first_of("[,") != std::string::npos) {
            range_lines += " NodeName=" + name;
        }
    }

    const std::string node(node_name);
    if (times_found == 1) {
        return {found, ""};
    }
    if (times_found > 1) {
        return {"", "slurm.conf defines node " + node + " on more than one line"};
    }
    if (!range_lines.empty()) {
        return {"", "node " + node +
                        " has no line of its own in slurm.conf, and a line for several nodes may define it (" +
                        range_lines.substr(1) + "): give it a line of its own, or change that line by hand"};
    }
    if (includes) {
        return {"", "node " + node +
                        " has no line in slurm.conf itself, which includes other files: change its line "
                        "by hand"};
    }
    return {"", "node " + node + " has no line in slurm.conf"};
}

std::string prometheus_text(const std::vector<Architecture> &architectures, bool detected)
{
    std::string text = "# HELP gpu_arch_info A GPU architecture of this node, as gpu_arch names it.\n"
                       "# TYPE gpu_arch_info gauge\n";
    for (const Architecture &architecture : architectures) {
        text += "gpu_arch_info{arch=\"" + architecture.name + "\"} 1\n";
    }
    text += "# HELP gpu_arch_gpus GPUs of each architecture on this node.\n"
            "# TYPE gpu_arch_gpus gauge\n";
    for (const Architecture &architecture : architectures) {
        text += "gpu_arch_gpus{arch=\"" + architecture.name + "\"} " + std::to_string(architecture.gpus) + "\n";
    }
    text += "# HELP gpu_arch_detection_success Whether the last run of gpu_arch answered (1) or not (0), when the "
            "architectures are those of the last run that did.\n"
            "# TYPE gpu_arch_detection_success gauge\n"
            "gpu_arch_detection_success ";
    return text + (detected ? "1\n" : "0\n");
}

std::vector<Architecture> read_prometheus_text(std::string_view text)
{
    static constexpr std::string_view series = "gpu_arch_gpus{arch=\"";
    std::vector<Architecture> architectures;
    while (!text.empty()) {
        std::string_view line = take_until(text, '\n');
        if (line.substr(0, series.size()) != series) {
            continue;
        }
        line.remove_prefix(series.size());
        const size_t end = line.find("\"} ");
        if (end == std::string_view::npos || !is_architecture_name(line.substr(0, end))) {
            continue;
        }
        const std::string count(line.substr(end + 3));
        architectures.push_back(
            {std::string(line.substr(0, end)), static_cast<unsigned>(strtoul(count.c_str(), nullptr, 10))});
    }
    return architectures;
}

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
    for (const Architecture &architecture : architectures) {
        const std::string key = std::string(prefix) + "/" + architecture.name;
        text.append(key).append("=true\n").append(key).append(".gpus=");
        text.append(std::to_string(architecture.gpus)).append("\n");
    }
    return text;
}

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
