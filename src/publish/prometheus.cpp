// SPDX-License-Identifier: MIT
// prometheus FILE: metrics for the node exporter's textfile collector. A
// failed run keeps the last answer, which lives in the program's own state
// folder: nothing is read back from the exporter's folder, which another
// user may own.
#include <unistd.h>

#include <cstdlib>

#include "prometheus.hpp"

namespace {

constexpr const char *kept_name = "architectures";
// Far more than any node's GPUs take.
constexpr size_t max_kept = size_t{64} * 1024;

// Remembers the answer when it changed.
void keep(const std::vector<Architecture> &architectures)
{
    std::string path;
    const int state = open_state_folder(path);
    if (state < 0) {
        return;
    }
    path += std::string("/") + kept_name;
    std::string old;
    const std::string text = kept_text(architectures);
    if (read_file_at(state, path, kept_name, max_kept, old) != 1 || old != text) {
        write_file_at(state, path, kept_name, text);
    }
    close(state);
}

std::vector<Architecture> kept()
{
    std::string path;
    const int state = open_state_folder(path);
    std::string text;
    if (state >= 0) {
        read_file_at(state, path + "/" + kept_name, kept_name, max_kept, text);
        close(state);
    }
    return read_kept_text(text);
}

} // namespace

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

std::string kept_text(const std::vector<Architecture> &architectures)
{
    std::string text;
    for (const Architecture &architecture : architectures) {
        text += architecture.name + " " + std::to_string(architecture.gpus) + "\n";
    }
    return text;
}

std::vector<Architecture> read_kept_text(std::string_view text)
{
    std::vector<Architecture> architectures;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string line(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t blank = line.find(' ');
        const std::string name = line.substr(0, blank);
        char *count_end = nullptr;
        const unsigned long gpus = blank == std::string::npos ? 0 : strtoul(line.c_str() + blank + 1, &count_end, 10);
        if (is_architecture_name(name) && gpus > 0 && gpus <= max_output && *count_end == '\0') {
            architectures.push_back({name, static_cast<unsigned>(gpus)});
        }
    }
    return architectures;
}

int prometheus(const std::vector<std::string> &arguments, Pass &pass)
{
    const Detection *detection = detected(pass);
    if (detection != nullptr) {
        keep(detection->architectures);
        return write_file(arguments[0], prometheus_text(detection->architectures, true)) ? 0 : 1;
    }
    const std::vector<Architecture> architectures = kept();
    if (!architectures.empty()) {
        say(arguments[0] + " keeps the architectures of the last run that answered, and gpu_arch_detection_success 0");
    }
    write_file(arguments[0], prometheus_text(architectures, false));
    return 1;
}
