// SPDX-License-Identifier: MIT
// What gpu_arch says: run once per pass, within limits, and only its lines
// that are architecture names count; and the answer that consumers show.
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "detect.hpp"

// Set by the build: the one definition of an architecture name, and where
// gpu_arch lies, relative to this program's folder and as installed.
#if !defined(GPU_ARCH_NAME_PATTERN) || !defined(GPU_ARCH_PUBLISH_TO_BINDIR) || !defined(GPU_ARCH_INSTALLED)
#error "GPU_ARCH_NAME_PATTERN, GPU_ARCH_PUBLISH_TO_BINDIR and GPU_ARCH_INSTALLED must be defined by the build"
#endif

namespace {

// gpu_arch gets this long; slurmd's start waits for it.
constexpr int detection_seconds = 10;
constexpr const char *kept_name = "architectures";
// How many of the lines that are no name a message shows, and how much of each.
constexpr size_t shown_dropped = 10;
constexpr size_t shown_length = 100;

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

// What the program wrote on standard error, a message a line.
void say_errors(const std::string &program, const Run &run)
{
    std::string_view errors = run.errors;
    while (!errors.empty()) {
        const size_t end = std::min(errors.find('\n'), errors.size());
        say(program + " says: " + quote_for_message(errors.substr(0, end)));
        errors.remove_prefix(std::min(end + 1, errors.size()));
    }
    if (run.errors_dropped > 0) {
        say(program + " wrote " + std::to_string(run.errors_dropped) + " more bytes on standard error, dropped");
    }
}

// Runs the detection program; false, with error set, when it did not
// answer. Lines that are no architecture name are dropped with a message.
bool detect(Detection &detection, std::string &error)
{
    const std::string path = detection_program();
    const std::string program = quote_for_message(path);
    const Run run = run_bounded({path}, detection_seconds);
    say_errors(program, run);
    if (!run.failure.empty()) {
        error = program + " " + run.failure;
        return false;
    }
    detection = read_detection(run.output);
    if (!detection.dropped.empty()) {
        // The first few, each cut short, so that one message stays short.
        std::string quoted;
        const size_t shown = std::min(detection.dropped.size(), shown_dropped);
        for (size_t i = 0; i < shown; ++i) {
            quoted += ' ' + quote_start(detection.dropped[i], shown_length);
        }
        if (shown < detection.dropped.size()) {
            quoted += " and " + std::to_string(detection.dropped.size() - shown) + " more";
        }
        say(program + " printed lines that are no architecture name, dropped:" + quoted);
    }
    if (!detection.partial.empty()) {
        // Cut short: the rest of the answer, or of that name, may be lost.
        error = program + " printed a last line without its newline, " + quote_start(detection.partial, shown_length) +
                ": its answer is incomplete";
        return false;
    }
    if (detection.architectures.empty()) {
        say(program + " found no supported GPU");
    }
    return true;
}

// A whole number within 1..most, in plain decimal.
bool read_count(std::string_view text, long long most, long long &number)
{
    number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || (number == 0 && c == '0') || number > (most - (c - '0')) / 10) {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    return number > 0;
}

// Takes one line of a kept answer into kept; false for a line that the
// program does not write. A name written twice is still one architecture.
bool read_kept_line(std::string_view line, Kept &kept, std::unordered_set<std::string_view> &known)
{
    const size_t blank = line.find(' ');
    const std::string_view name = line.substr(0, blank);
    const std::string_view value = blank == std::string_view::npos ? "" : line.substr(blank + 1);
    long long count = 0;
    if (name == "since" && kept.since == 0 && read_count(value, LLONG_MAX, count)) {
        kept.since = count;
    } else if (name == "lifetime" && kept.lifetime == 0 && read_count(value, max_lifetime, count)) {
        kept.lifetime = count;
    } else if (is_architecture_name(name) && read_count(value, max_output, count)) {
        if (known.insert(name).second) {
            kept.architectures.push_back({std::string(name), static_cast<unsigned>(count)});
        }
    } else {
        return false;
    }
    return true;
}

} // namespace

std::string found_text(const std::vector<Architecture> &architectures)
{
    std::string text;
    for (const Architecture &architecture : architectures) {
        text += (text.empty() ? "" : ", ") + architecture.name + " (" + std::to_string(architecture.gpus) + ")";
    }
    return text.empty() ? "no supported GPU" : text;
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
    // Where each name is in the list, so that each line takes the same time.
    std::unordered_map<std::string_view, size_t> known;
    while (!output.empty()) {
        const size_t end = output.find('\n');
        if (end == std::string_view::npos) {
            // Cut short: the program may have printed only part of a name.
            detection.partial = output;
            break;
        }
        std::string_view line = output.substr(0, end);
        output.remove_prefix(end + 1);
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
        const auto [at, added] = known.try_emplace(line, detection.architectures.size());
        if (added) {
            detection.architectures.push_back({std::string(line), 1});
        } else {
            ++detection.architectures[at->second].gpus;
        }
    }
    return detection;
}

const Detection *detected(Pass &pass)
{
    if (!pass.ran) {
        pass.ran = true;
        found_before_stop("");
        pass.answered = detect(pass.detection, pass.error);
        if (!pass.answered && !pass.judged) {
            say_verdict(pass.error + ": no GPU architecture is published");
        }
        if (pass.answered) {
            found_before_stop(found_text(pass.detection.architectures));
        }
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

Kept read_kept_text(std::string_view text, long long now)
{
    Kept kept;
    std::unordered_set<std::string_view> known;
    for (size_t number = 1; !text.empty() && kept.problem.empty(); ++number) {
        const size_t end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        const std::string where = "line " + std::to_string(number) + ", " + quote_for_message(line);
        if (end == std::string_view::npos) {
            kept.problem = where + ", has no newline";
        } else if (!read_kept_line(line, kept, known)) {
            kept.problem = where + ", is no since, lifetime (1 to 604800) or architecture line";
        }
    }
    if (kept.problem.empty() && (kept.since == 0 || kept.lifetime == 0)) {
        kept.problem = kept.since == 0 ? "it has no since line" : "it has no lifetime line";
    }
    if (kept.problem.empty() && kept.since > now) {
        kept.problem = "its answer is from " + utc_text(kept.since) + ", after now (was the clock set back?)";
    }
    if (!kept.problem.empty()) {
        kept = {0, 0, {}, kept.problem};
    }
    return kept;
}

std::string utc_text(long long seconds)
{
    const auto time = static_cast<time_t>(seconds);
    tm utc = {};
    char text[64];
    // By hand rather than strftime, which reads the time zone it does not use.
    if (gmtime_r(&time, &utc) == nullptr) {
        return "(a time out of range)";
    }
    snprintf(text, sizeof text, "%04lld-%02d-%02dT%02d:%02d:%02dZ", utc.tm_year + 1900LL, utc.tm_mon + 1, utc.tm_mday,
             utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

namespace {

// Why the state folder cannot be written, or "" when it can; others says
// whether it is another user's.
std::string unwritable(int state, bool &others)
{
    if (faccessat(state, ".", W_OK, AT_EACCESS) == 0) {
        others = false;
        return "";
    }
    const int error = errno;
    struct stat folder = {};
    others = fstat(state, &folder) == 0 && folder.st_uid != geteuid();
    return others ? std::string("the folder is another user's") : std::string(strerror(error));
}

// Keeps text as the last answer in the state folder; false after a message
// when it cannot. A folder of another user's (root's, for a user's json) is
// left alone, but by a pass, whose answer it is to keep. A fresh answer that
// cannot be kept takes the older one away, so that no later pass shows an
// answer older than this one.
bool keep_answer(int state, const std::string &path, const std::string &text, bool in_pass, bool fresh)
{
    bool others = false;
    std::string why = unwritable(state, others);
    if (others && !in_pass) {
        return true;
    }
    if (text.size() > max_kept) {
        why = "it takes " + std::to_string(text.size()) + " bytes, more than the " + std::to_string(max_kept) +
              " it is read back with";
    }
    if (why.empty() && write_file_at(state, path, kept_name, text)) {
        return true;
    }
    std::string message = "cannot keep the answer in " + quote_for_message(path) + (why.empty() ? "" : ": " + why);
    if (!fresh) {
        say(message);
        return false;
    }
    // A folder that cannot be written is not read by a failing pass either.
    const int removal_error = unlinkat(state, kept_name, 0) == 0 ? 0 : errno;
    if (removal_error == 0 || removal_error == ENOENT || !unwritable(state, others).empty()) {
        message += "; until an answer is kept, a failing pass shows none rather than an older one";
    } else {
        message += std::string("; the older one there cannot be removed (") + strerror(removal_error) +
                   "), and a failing pass may show it";
    }
    say(message);
    return false;
}

} // namespace

const Answer &answer(Pass &pass)
{
    if (pass.judged) {
        return pass.shown;
    }
    // Judged first, so that a failure is said once, with what is shown.
    pass.judged = true;
    const Detection *detection = detected(pass);
    const long long now = time(nullptr);
    std::string path;
    const int state = open_state_folder(path);
    pass.state_failed = state < 0;
    path += std::string("/") + kept_name;
    std::string text;
    if (state >= 0) {
        read_file_at(state, path, kept_name, max_kept, text);
    }
    Kept kept = read_kept_text(text, now);
    if (!kept.problem.empty() && !text.empty()) {
        say_verdict("not using the answer kept in " + quote_for_message(path) + ": " + kept.problem);
    }
    // A run that could not keep its fresh answer there may have shown one
    // later than the kept one.
    pass.before = kept.since > 0 ? found_text(kept.architectures) : "";
    bool others = false;
    const std::string unwritten = detection != nullptr || kept.since == 0 || state < 0 ? "" : unwritable(state, others);
    if (!unwritten.empty() && (!others || pass.in_pass)) {
        say_verdict("not using the answer kept in " + quote_for_message(path) + ": the folder cannot be written (" +
                    unwritten + "), so a later answer may have been shown and not kept");
        kept = {};
        pass.before.clear();
    }
    // A pass takes the lifetime it sets, else its default; what runs on its
    // own, as the fact does, takes the one the last pass kept.
    const long long lifetime = pass.lifetime > 0                    ? pass.lifetime
                               : !pass.in_pass && kept.lifetime > 0 ? kept.lifetime
                                                                    : default_lifetime(pass.interval);
    Answer shown = {false, {}, kept.since, lifetime, pass.error, false, false};
    // What the state keeps after this pass, if it changes.
    std::string kept_now;
    if (detection != nullptr) {
        shown = {true, detection->architectures, now, lifetime, "", false, true};
        kept_now = kept_text({now, lifetime, detection->architectures, ""});
    } else if (kept.since > 0 && now - kept.since <= lifetime) {
        shown.architectures = kept.architectures;
        shown.known = true;
        say_verdict(pass.error + ": the last answer, from " + utc_text(kept.since) + ", is kept until " +
                    utc_text(kept.since + lifetime));
    } else {
        say_verdict(pass.error + ": no GPU architecture is published");
    }
    // A failing pass keeps its lifetime with the last answer, so that what
    // runs on its own, as the fact does, shows the same as the pass.
    if (detection == nullptr && pass.in_pass && kept.since > 0 && kept.lifetime != lifetime) {
        kept_now = kept_text({kept.since, lifetime, kept.architectures, ""});
    }
    // The state is written only when it changes: a rewrite shows nothing.
    if (state >= 0 && !kept_now.empty() && kept_now != text) {
        shown.unkept = !keep_answer(state, path, kept_now, pass.in_pass, detection != nullptr);
    }
    shown.unkept = shown.unkept || (state < 0 && pass.in_pass);
    if (state >= 0) {
        close(state);
    }
    pass.shown = shown;
    return pass.shown;
}

long long default_lifetime(long long interval)
{
    return std::max(300LL, interval + renewal_margin);
}
