// SPDX-License-Identifier: MIT
// Messages, and what gpu_arch says: run once per pass, within limits, and
// only its lines that are architecture names count.
#include <fcntl.h>
#include <regex.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "core.hpp"

// Set by the build: the one definition of an architecture name, and where
// gpu_arch lies, relative to this program's folder and as installed.
#if !defined(GPU_ARCH_NAME_PATTERN) || !defined(GPU_ARCH_PUBLISH_TO_BINDIR) || !defined(GPU_ARCH_INSTALLED)
#error "GPU_ARCH_NAME_PATTERN, GPU_ARCH_PUBLISH_TO_BINDIR and GPU_ARCH_INSTALLED must be defined by the build"
#endif

namespace {

// gpu_arch gets this long; slurmd's start waits for it.
constexpr int detection_seconds = 10;
constexpr const char *kept_name = "architectures";
// Far more than any node's GPUs take.
constexpr size_t max_kept = size_t{64} * 1024;

bool collecting = false;
std::string collected;

bool executable(const std::string &path)
{
    return access(path.c_str(), X_OK) == 0;
}

// The program that reports the GPUs: GPU_ARCH_PROGRAM; else gpu_arch where
// the install puts it relative to this program, or beside it (a build
// tree); else where the build installed it. Never one found on PATH.
std::string detection_program()
{
    const char *chosen = getenv("GPU_ARCH_PROGRAM");
    if (chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string folder(self, static_cast<size_t>(length));
        folder.erase(folder.rfind('/') + 1);
        for (const std::string &path : {folder + GPU_ARCH_PUBLISH_TO_BINDIR "/gpu_arch", folder + "gpu_arch"}) {
            if (executable(path)) {
                return path;
            }
        }
    }
    return GPU_ARCH_INSTALLED;
}

// Runs the detection program; false, with a message, when it did not
// answer. Lines that are no architecture name are dropped with a message.
bool detect(Detection &detection, std::string &error)
{
    const std::string program = detection_program();
    const Run run = run_bounded({program}, detection_seconds);
    if (!run.failure.empty()) {
        error = program + " " + run.failure;
        say(error + ": no GPU architecture is published");
        return false;
    }
    detection = read_detection(run.output);
    if (!detection.dropped.empty()) {
        std::string quoted;
        for (const std::string &line : detection.dropped) {
            quoted += ' ';
            quoted += quote_for_message(line);
        }
        say(program + " printed lines that are no architecture name, dropped:" + quoted);
    }
    if (detection.architectures.empty()) {
        say(program + " found no supported GPU");
    }
    return true;
}

} // namespace

void say(const std::string &message)
{
    const std::string line = "gpu_arch-publish: " + message + "\n";
    if (collecting) {
        collected += line;
    } else {
        fputs(line.c_str(), stderr);
    }
}

void collect_messages(bool on)
{
    collecting = on;
}

std::string collected_messages()
{
    std::string messages;
    messages.swap(collected);
    return messages;
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

bool is_architecture_name(std::string_view line)
{
    static regex_t pattern;
    static const bool compiled = regcomp(&pattern, "^(" GPU_ARCH_NAME_PATTERN ")$", REG_EXTENDED | REG_NOSUB) == 0;
    if (!compiled || line.find('\0') != std::string_view::npos || line.size() > sizeof "quarn-2147483648" - 1) {
        return false;
    }
    const std::string text(line);
    if (regexec(&pattern, text.c_str(), 0, nullptr, 0) != 0) {
        return false;
    }
    // gpu_arch prints a 32-bit number in plain decimal: nothing else can be
    // one of its lines.
    const std::string number = text.substr(text.find_first_of("-0123456789"));
    errno = 0;
    const long long value = strtoll(number.c_str(), nullptr, 10);
    return errno == 0 && value >= INT_MIN && value <= INT_MAX && std::to_string(value) == number;
}

Detection read_detection(std::string_view output)
{
    Detection detection;
    while (!output.empty()) {
        const size_t end = std::min(output.find('\n'), output.size());
        std::string_view line = output.substr(0, end);
        output.remove_prefix(std::min(end + 1, output.size()));
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

const Detection *detected(Pass &pass)
{
    if (!pass.ran) {
        pass.ran = true;
        pass.answered = detect(pass.detection, pass.error);
    }
    return pass.answered ? &pass.detection : nullptr;
}

std::string kept_text(const Kept &kept)
{
    std::string text = "since " + std::to_string(kept.since) + "\nlifetime " + std::to_string(kept.lifetime) + "\n";
    for (const Architecture &architecture : kept.architectures) {
        text += architecture.name + " " + std::to_string(architecture.gpus) + "\n";
    }
    return text;
}

Kept read_kept_text(std::string_view text)
{
    Kept kept;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        const std::string line(text.substr(0, end));
        text.remove_prefix(std::min(end + 1, text.size()));
        const size_t blank = line.find(' ');
        const std::string name = line.substr(0, blank);
        char *number_end = nullptr;
        const long long number = blank == std::string::npos ? 0 : strtoll(line.c_str() + blank + 1, &number_end, 10);
        if (number <= 0 || *number_end != '\0') {
            continue;
        }
        if (name == "since") {
            kept.since = number;
        } else if (name == "lifetime") {
            kept.lifetime = number;
        } else if (is_architecture_name(name) && static_cast<size_t>(number) <= max_output) {
            kept.architectures.push_back({name, static_cast<unsigned>(number)});
        }
    }
    return kept;
}

std::string utc_text(long long seconds)
{
    const auto time = static_cast<time_t>(seconds);
    tm utc = {};
    char text[32];
    gmtime_r(&time, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

const Answer &answer(Pass &pass)
{
    if (pass.judged) {
        return pass.shown;
    }
    pass.judged = true;
    const Detection *detection = detected(pass);
    const long long now = time(nullptr);
    std::string path;
    const int state = open_state_folder(path);
    path += std::string("/") + kept_name;
    std::string text;
    if (state >= 0) {
        read_file_at(state, path, kept_name, max_kept, text);
    }
    const Kept kept = read_kept_text(text);
    // A pass's lifetime stands until another pass sets one.
    const long long lifetime = pass.lifetime > 0 ? pass.lifetime : kept.lifetime > 0 ? kept.lifetime : default_lifetime;
    Answer shown = {false, {}, kept.since, lifetime, pass.error};
    if (detection != nullptr) {
        shown = {true, detection->architectures, now, lifetime, ""};
        // Kept where this user may keep it: a user's json leaves root's state.
        if (state >= 0 && faccessat(state, ".", W_OK, AT_EACCESS) == 0) {
            write_file_at(state, path, kept_name, kept_text({now, lifetime, detection->architectures}));
        }
    } else if (kept.since > 0 && now - kept.since <= lifetime) {
        shown.architectures = kept.architectures;
    }
    if (state >= 0) {
        close(state);
    }
    pass.shown = shown;
    return pass.shown;
}
