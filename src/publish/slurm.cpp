// SPDX-License-Identifier: MIT
// Slurm's side: the features of a dynamic node, set through slurmd's options
// and slurmctld before slurmd starts, an update that did not land retried by
// the timer, and the line of a node that slurm.conf defines.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "scontrol.hpp"
#include "slurm.hpp"

// Set by the build: where Slurm's configuration is by default.
#ifndef GPU_ARCH_SLURM_CONF
#error "GPU_ARCH_SLURM_CONF must be defined by the build"
#endif

namespace {

constexpr const char *pending_name = "slurmctld-update";
constexpr const char *env_name = "slurmd.env";
// The drop-in's name, which systemd looks for in slurmd.service.d.
constexpr const char *drop_in_name = "gpu_arch-publish.conf";
// Larger than any slurm.conf, smaller than memory.
constexpr size_t max_slurm_conf = size_t{16} << 20;
constexpr size_t max_pending = size_t{64} * 1024;
// The file whose lock keeps slurmd's start and the timer's retry apart.
constexpr const char *lock_name = "lock";
// slurmd's start outwaits a retry's scontrol; the timer's retry gives up
// sooner and tries again a minute later, well within its pass's time.
constexpr int start_lock_seconds = scontrol_seconds + 5;
constexpr int retry_lock_seconds = 5;

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
// (those inherited when text sets none) plus the architectures: the first
// features setting takes them all, later ones go, and one is added at the end
// when there was none. Sets features to the node's features.
std::string rewrite_features_setting(std::string_view text, const std::vector<Architecture> &architectures,
                                     std::string &features, std::string_view inherited = {})
{
    const FeaturesSettings found = find_features_settings(text);
    features = merge_features(found.spans.empty() ? inherited : found.features, architectures);
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

// Where a comment starts in a line of slurm.conf: at a # that no backslash
// escapes, or at the end.
size_t comment_start(std::string_view line)
{
    for (size_t at = 0; at < line.size(); ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) {
            ++at;
        } else if (line[at] == '#') {
            return at;
        }
    }
    return line.size();
}

// Takes one logical line off the front of slurm.conf: a backslash at the end
// (before a CR, in a file from Windows) continues it.
std::string take_logical_line(std::string_view &slurm_conf)
{
    std::string line;
    for (;;) {
        std::string_view piece = take_until(slurm_conf, '\n');
        if (!piece.empty() && piece.back() == '\r') {
            piece.remove_suffix(1);
        }
        if (piece.empty() || piece.back() != '\\' || slurm_conf.empty()) {
            return line.append(piece);
        }
        piece.remove_suffix(1);
        line.append(piece);
    }
}

bool is_default(std::string_view name)
{
    return name.size() == sizeof "default" - 1 && starts_with_ignoring_case(name, "default");
}

// A folder, opened by handle, and the lock of a file in it that only root
// can open, held while it lives, so that the start of slurmd and a pending
// update never interleave; every file of the folder is reached through this
// handle. fd() is -1 when either failed (said, for the lock).
class LockedFolder {
public:
    LockedFolder(const std::string &path, int seconds, std::string &why) : fd_(open_folder(path, false, why))
    {
        if (fd_ >= 0) {
            lock_ = lock_in(fd_, path + "/" + lock_name, lock_name, seconds);
        }
    }
    ~LockedFolder()
    {
        for (const int fd : {lock_, fd_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    LockedFolder(const LockedFolder &) = delete;
    LockedFolder &operator=(const LockedFolder &) = delete;
    int fd() const { return lock_ >= 0 ? fd_ : -1; }
    bool opened() const { return fd_ >= 0; }

private:
    int fd_;
    int lock_ = -1;
};

enum class Update { Landed, UnknownNode, Failed };

// Sets the node's features in slurmctld. An update that does not land stays
// in the folder, with a message, for slurm-pending to retry.
Update update_controller(const LockedFolder &folder, const std::string &dir, const std::string &node,
                         const std::string &features)
{
    const Run run =
        run_scontrol({"update", "NodeName=" + node, "AvailableFeatures=" + features, "ActiveFeatures=" + features});
    if (run.exited && (run.status == 0 || unknown_node(run))) {
        unlinkat(folder.fd(), pending_name, 0);
        return run.status == 0 ? Update::Landed : Update::UnknownNode;
    }
    say("slurmctld did not take the features of node " + quote_for_message(node) + " (" + scontrol_failure(run) +
        "): until it does, it may still hold the node's old GPU architectures; gpu_arch-publish.timer retries every "
        "minute");
    write_file_at(folder.fd(), dir + "/" + pending_name, pending_name, node + "\n" + features + "\n");
    return Update::Failed;
}

// Whether slurmd.service still has the drop-in, in a folder where systemd
// looks for units (SYSTEMD_UNIT_PATH, as systemd reads it, else its own).
bool drop_in_enabled()
{
    const std::string defaults =
        "/etc/systemd/system:/run/systemd/system:/usr/local/lib/systemd/system:/usr/lib/systemd/system:"
        "/lib/systemd/system";
    const char *named = getenv("SYSTEMD_UNIT_PATH");
    std::string path = named != nullptr && *named != '\0' ? named : defaults;
    if (path.back() == ':') {
        path += defaults;
    }
    while (!path.empty()) {
        const size_t end = std::min(path.find(':'), path.size());
        const std::string folder = path.substr(0, end);
        path.erase(0, std::min(end + 1, path.size()));
        struct stat status = {};
        if (!folder.empty() && stat((folder + "/slurmd.service.d/" + drop_in_name).c_str(), &status) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

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
    // What NodeName=DEFAULT lines give the nodes after them.
    std::string default_features;
    while (!slurm_conf.empty()) {
        const std::string line = take_logical_line(slurm_conf);
        const size_t comment = comment_start(line);
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
        if (is_default(name)) {
            const FeaturesSettings given = find_features_settings(settings);
            if (!given.spans.empty()) {
                default_features = given.features;
            }
        } else if (name == node_name) {
            std::string features;
            found =
                rewrite_features_setting(settings, architectures, features, default_features) + line.substr(comment);
            ++times_found;
        } else if (name.find_first_of("[,") != std::string::npos) {
            range_lines.append(" ").append(quote_for_message(std::string("NodeName=").append(name)));
        }
    }

    const std::string node = quote_for_message(node_name);
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

int slurmd_options(const std::vector<std::string> &arguments, Pass &pass)
{
    const std::string &dir = arguments[0];
    const Detection *detection = detected(pass);
    const SlurmdOptions options =
        rewrite_slurmd_options({arguments.begin() + 1, arguments.end()},
                               detection != nullptr ? detection->architectures : std::vector<Architecture>{});
    if (!options.dynamic) {
        say("slurmd runs without -Z: its node is defined in slurm.conf, whose line gpu_arch-publish node-line prints");
        return detection != nullptr ? 0 : 1;
    }
    std::string value;
    for (const std::string &word : options.words) {
        if (!value.empty()) {
            value += ' ';
        }
        value += quote_for_command_line(word);
    }
    const std::string assignment = "SLURMD_OPTIONS=" + quote_for_environment_file(value);
    std::string why;
    const LockedFolder folder(dir, start_lock_seconds, why);
    const std::string env_path = dir + "/" + env_name;
    // The kernel refuses to start a program with a longer environment string.
    const size_t longest = static_cast<size_t>(sysconf(_SC_PAGESIZE)) * 32;
    if (!folder.opened()) {
        say("cannot write " + quote_for_message(env_path) + ": " + why);
    } else if (folder.fd() >= 0 && value.size() + 1 > longest) {
        say("slurmd's options with the architectures would take " + std::to_string(value.size() + 1) +
            " bytes, more than the kernel passes to a program (" + std::to_string(longest) + ")");
        unlinkat(folder.fd(), env_name, 0);
    }
    if (folder.fd() < 0 || value.size() + 1 > longest ||
        !write_file_at(folder.fd(), env_path, env_name, assignment + "\n")) {
        say("slurmd starts with the site's options, and slurmctld is left as it is");
        return 1;
    }
    const std::string node = node_name_or_host(options.node_name);
    const Update update = update_controller(folder, dir, node, options.features);
    say("node " + quote_for_message(node) +
        " features: " + (options.features.empty() ? "none" : quote_for_message(options.features)) +
        (update == Update::UnknownNode ? " (slurmctld does not know the node yet: it registers with them)" : ""));
    return detection != nullptr && update != Update::Failed ? 0 : 1;
}

int slurm_pending(const std::vector<std::string> &arguments, Pass & /*pass*/)
{
    const std::string &dir = arguments[0];
    struct stat status = {};
    if (lstat(dir.c_str(), &status) != 0 && errno == ENOENT) {
        return 0; // slurmd has not run with the drop-in since boot
    }
    std::string why;
    const LockedFolder folder(dir, retry_lock_seconds, why);
    if (!folder.opened()) {
        say("cannot read " + quote_for_message(dir + "/" + pending_name) + ": " + why);
    }
    if (folder.fd() < 0) {
        return 1;
    }
    const std::string path = dir + "/" + pending_name;
    std::string pending;
    const int read = read_file_at(folder.fd(), path, pending_name, max_pending, pending);
    if (read <= 0) {
        return read < 0 ? 1 : 0;
    }
    std::string_view rest = pending;
    const std::string node(take_until(rest, '\n'));
    const std::string features(take_until(rest, '\n'));
    if (!drop_in_enabled()) {
        unlinkat(folder.fd(), pending_name, 0);
        say("slurmd.service no longer has the drop-in " + std::string(drop_in_name) + ": the update of node " +
            quote_for_message(node) + " that it left is dropped");
        return 0;
    }
    switch (update_controller(folder, dir, node, features)) {
    case Update::Landed:
        say("slurmctld now holds the features of node " + quote_for_message(node) + ": " +
            (features.empty() ? "none" : quote_for_message(features)));
        return 0;
    case Update::UnknownNode:
        say("slurmctld does not know node " + quote_for_message(node) + ": its update is dropped");
        return 0;
    case Update::Failed:
        break;
    }
    return 1;
}

int node_line(const std::vector<std::string> & /*arguments*/, Pass &pass)
{
    // What every other consumer shows: this run's answer, or after a failure
    // the kept one, with status 1; with neither, no line at all, since a line
    // without the architectures would take them from the node.
    const Answer &shown = answer(pass);
    if (!shown.known) {
        return 1;
    }
    const char *conf_path = getenv("SLURM_CONF");
    conf_path = conf_path != nullptr && *conf_path != '\0' ? conf_path : GPU_ARCH_SLURM_CONF;
    // Within a job step, Slurm names the node; elsewhere its host name does.
    const char *named = getenv("SLURMD_NODENAME");
    const std::string node = node_name_or_host(named != nullptr ? named : "");
    std::string conf;
    const int read = read_file_at(AT_FDCWD, conf_path, conf_path, max_slurm_conf, conf, true);
    if (read == 0) {
        say("cannot read " + quote_for_message(conf_path) + ": " + strerror(ENOENT));
    }
    if (read <= 0) {
        return 1;
    }
    const NodeLine line = rewrite_node_line(conf, node, shown.architectures);
    if (!line.error.empty()) {
        say(quote_for_message(conf_path) + ": " + line.error);
        return 1;
    }
    if (printf("%s\n", line.line.c_str()) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return shown.fresh ? 0 : 1;
}
