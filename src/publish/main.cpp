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
// something failed (and a message says what), 2 for a usage error; the
// fleet commands say 3 and 4 for no node and no architecture (fleet.hpp).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "drain.hpp"
#include "expected.hpp"
#include "fleet.hpp"
#include "json.hpp"
#include "nfd.hpp"
#include "prometheus.hpp"
#include "slurm.hpp"
#include "writers.hpp"

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
    InPass in_pass;                  // named in a pass with its first argument
    bool takes_pass = false;         // what a pass may name follows the arguments
    const char *file_name = nullptr; // the file it writes in a folder it is given
};

constexpr size_t any = static_cast<size_t>(-1);

int pass(const std::vector<std::string> &words, Pass &unused);
int every(const std::vector<std::string> &arguments, Pass &unused);
int ready(const std::vector<std::string> &arguments, Pass &unused);

// A whole number of seconds from least to most, or 0 after a message that
// names what it was to be, and why not less.
long long seconds_from(const std::string &text, long long least, long long most, const char *what,
                       const std::string &why_least = "")
{
    char *end = nullptr;
    errno = 0;
    const long long seconds = strtoll(text.c_str(), &end, 10);
    const bool number = !text.empty() && text[0] >= '0' && text[0] <= '9' && *end == '\0' && errno == 0;
    if (!number || seconds < least || seconds > most) {
        say("cannot use " + quote_for_message(text) + " as the " + what + ": it is a number of seconds from " +
            std::to_string(least) + " to " + std::to_string(most) +
            (number && seconds > 0 && seconds < least ? why_least : ""));
        return 0;
    }
    return seconds;
}

// How long a failing node shows its last answer, up to a week; at least as
// long as the next pass takes to renew what this one publishes, so that the
// labels of a healthy node never expire between passes.
int lifetime(const std::vector<std::string> &arguments, Pass &pass)
{
    pass.lifetime = seconds_from(arguments[0], pass.interval + renewal_margin, max_lifetime, "lifetime",
                                 " (a pass every " + std::to_string(pass.interval) +
                                     " s must renew what the last one published before it expires)");
    return pass.lifetime == 0 ? 2 : 0;
}

// clang-format off
const Consumer consumers[] = {
    {"slurmd-options", "DIR [WORD...]",      1, any, slurmd_options, InPass::No},
    {"slurm-pending",  "DIR",                1, 1,   slurm_pending,  InPass::Retry},
    {"node-line",      "",                   0, 0,   node_line,      InPass::No},
    {"slurm-drain",    "NODE",               1, 1,   slurm_drain,    InPass::Consumer},
    {"slurm-expected", "[reset]",            0, 1,   slurm_expected, InPass::No},
    {"prometheus",     "FILE",               1, 1,   prometheus,     InPass::Consumer, false, "gpu_arch.prom"},
    {"nfd",            "FILE [PREFIX]",      1, 2,   nfd,            InPass::Consumer, false, "gpu_arch"},
    {"nfd-prefix",     "PREFIX",             1, 1,   nfd_prefix,     InPass::Setting},
    {"lifetime",       "SECONDS",            1, 1,   lifetime,       InPass::Setting},
    {"json",           "",                   0, 0,   json,           InPass::No},
    {"slurm-fleet",    "[ready] [PARTITION...]", 0, any, slurm_fleet, InPass::No},
    {"prometheus-fleet", "URL [HTTP-CONFIG]", 1, 2,   prometheus_fleet, InPass::No},
    {"pass",           "",                   0, any, pass,           InPass::No, true},
    {"every",          "SECONDS",            1, any, every,          InPass::No, true},
    {"ready",          "",                   0, 0,   ready,          InPass::No},
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
            std::string arguments = row.arguments;
            if (row.takes_pass) {
                arguments += arguments.empty() ? "" : " ";
                arguments += pass_words();
            }
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

// Where the words of GPU_ARCH_PUBLISH came from.
std::string defaults_origin()
{
    return in_service() ? "GPU_ARCH_PUBLISH in " + quote_for_message(GPU_ARCH_PUBLISH_DEFAULTS)
                        : std::string("GPU_ARCH_PUBLISH in the environment");
}

// Why a path given to a consumer that writes a file, or to a retry that
// reads a folder, cannot be meant, with what to write instead; empty when it
// can.
std::string path_problem(const Consumer &row, const std::string &path)
{
    if (row.file_name == nullptr && row.in_pass != InPass::Retry) {
        return "";
    }
    if (path.find(',') != std::string::npos) {
        return "holds a comma: separate the words of a pass with blanks, as in \"prometheus FILE nfd FILE\"";
    }
    if (path.empty() || path[0] != '/') {
        return "is a relative path: write the absolute one, starting with /";
    }
    struct stat status = {};
    if (row.file_name != nullptr &&
        (path.back() == '/' || (stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)))) {
        const std::string folder = path.substr(0, path.find_last_not_of('/') + 1);
        return "is a folder: write the path of a file in it, such as " +
               quote_for_message(folder + "/" + row.file_name);
    }
    return "";
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
        } else if (const std::string problem = path_problem(*row, words[i + 1]); !problem.empty()) {
            std::string message = origin + ": " + quote_for_message(words[i + 1]);
            message.append(" after ").append(row->name).append(" ").append(problem);
            say(message);
            good = false;
            ++i;
        } else {
            pairs.emplace_back(row, words[++i]);
        }
    }
    return good;
}

// What a pass said, and what the node has (when gpu_arch answered) against
// what the state kept before it.
struct Said {
    std::string messages;
    std::string has;
    std::string before;
};

const std::string has_prefix = "gpu_arch-publish: the node has ";

// What a writer tells of a pass: nothing when its record, its messages and
// what the node has, is the last pass's; else the messages, and what the
// node has against before, or after a pass without an answer. record is what
// the next pass is compared with.
std::string to_tell(const Said &said, const std::string &last, std::string &record)
{
    record = said.messages + (said.has.empty() ? "" : has_prefix + said.has + "\n");
    // Only the messages went quiet, with the same answer: no news, and a
    // drained node is no node without a problem.
    if (record == last || (said.messages.empty() && !said.has.empty() && last.ends_with(record) &&
                           (said.before.empty() || said.before == said.has))) {
        return "";
    }
    std::string told = said.messages;
    if (!said.has.empty()) {
        told += has_prefix + said.has;
        if (!said.before.empty() && said.before != said.has) {
            told += "; before, " + said.before;
        } else if (!last.empty() && last.find(has_prefix) == std::string::npos) {
            told += "; gpu_arch answers again";
        }
        told += "\n";
    }
    return told;
}

// The service tells each change once (see to_tell): its last record is
// kept in the state folder, so that a node in a steady state leaves the
// journal quiet. A pass run by hand says everything, and leaves the
// service's record alone.
void say_once(const Said &said)
{
    if (!in_service()) {
        fputs(said.messages.c_str(), stderr);
        return;
    }
    std::string state_path;
    const int state = open_state_folder(state_path);
    const std::string path = state_path + "/messages";
    std::string last;
    if (state >= 0 && read_file_at(state, path, "messages", max_messages + 1024, last) < 0) {
        last.clear();
    }
    std::string record;
    fputs(to_tell(said, last, record).c_str(), stderr);
    if (state >= 0 && record != last) {
        write_file_at(state, path, "messages", record);
    }
    if (state >= 0) {
        close(state);
    }
}

// The files a pass's consumers write, for what a stop leaves: those written
// so far, and those that still hold the last pass's answer. A file whose
// consumer failed is in neither: the message that said why stands.
struct PassFiles {
    std::vector<std::string> written;
    std::vector<std::string> unwritten;
};

PassFiles files_of(const std::vector<std::pair<const Consumer *, std::string>> &pairs)
{
    PassFiles files;
    for (const auto &[row, argument] : pairs) {
        if (row->in_pass == InPass::Consumer && row->file_name != nullptr) {
            files.unwritten.push_back(argument);
        }
    }
    return files;
}

// After a consumer ran with this status.
void file_done(PassFiles &files, const Consumer &row, const std::string &argument, int status)
{
    const auto file = std::find(files.unwritten.begin(), files.unwritten.end(), argument);
    if (row.file_name == nullptr || file == files.unwritten.end()) {
        return;
    }
    files.unwritten.erase(file);
    if (status == 0) {
        files.written.push_back(argument);
    }
}

std::string files_left(const PassFiles &files)
{
    const auto names = [](const std::vector<std::string> &paths) {
        std::string text;
        for (const std::string &path : paths) {
            text += (text.empty() ? "" : ", ") + quote_for_message(path);
        }
        return text;
    };
    std::string text = files.written.empty() ? "" : "written: " + names(files.written);
    if (!files.unwritten.empty()) {
        text += (text.empty() ? "" : "; ") + std::string("not yet written, so still holding the last pass's answer: ") +
                names(files.unwritten);
    }
    return text;
}

// What the node has, when gpu_arch answered in the pass.
std::string has_now(const Pass &pass)
{
    return pass.judged && pass.shown.fresh ? found_text(pass.shown.architectures) : "";
}

// One pass over what the command line named, in pairs, and what
// GPU_ARCH_PUBLISH names: settings first, with at most one run of gpu_arch.
// What it says is collected in said. A stop between two steps ends it. A
// writer (the service, the long-running mode) leaves the labels to another
// one with other settings (yielded), and does the rest.
int collected_pass(std::vector<std::pair<const Consumer *, std::string>> pairs, long long interval,
                   const std::string &writer, Said &said, bool &yielded)
{
    collect_messages(true);
    const std::vector<std::string> defaults = defaults_words();
    int status = read_pairs(defaults, defaults_origin(), pairs) ? 0 : 1;
    if (std::none_of(pairs.begin(), pairs.end(),
                     [](const auto &pair) { return pair.first->in_pass == InPass::Consumer; })) {
        say("no consumer is named: name them in " + defaults_origin() + " (see gpu_arch-publish(8))");
    }
    // The drain first: what it accepts is what the metrics of the same pass
    // hold the node to.
    std::stable_partition(pairs.begin(), pairs.end(), [](const auto &pair) { return pair.first->run == slurm_drain; });
    Pass shared;
    shared.in_pass = true;
    shared.interval = interval;
    yielded = false;
    PassFiles files = files_of(pairs);
    for (const InPass kind : {InPass::Setting, InPass::Consumer, InPass::Retry}) {
        if (kind == InPass::Consumer && !writer.empty()) {
            yielded = yields_to_another_writer(
                {time(nullptr), interval, shared.lifetime > 0 ? shared.lifetime : default_lifetime(interval),
                 shared.nfd_prefix.empty() ? default_label_prefix : shared.nfd_prefix, writer});
            status = yielded ? 1 : status;
        }
        for (const auto &[row, argument] : pairs) {
            // The labels are the one thing that two writers would flip.
            if (row->in_pass != kind || (yielded && row->run == nfd)) {
                continue;
            }
            files_before_stop(files_left(files));
            stop_point("");
            const int done = std::min(row->run({argument}, shared), 1);
            status = std::max(status, done);
            file_done(files, *row, argument, done);
        }
    }
    // An answer the pass could not keep is a failure, whatever it showed.
    if (shared.judged && shared.shown.unkept) {
        status = 1;
    }
    files_before_stop("");
    collect_messages(false);
    said = {collected_messages(), has_now(shared), shared.before};
    return status;
}

// One pass of the timer: the consumers named on the command line and in
// GPU_ARCH_PUBLISH.
int pass(const std::vector<std::string> &words, Pass & /*unused*/)
{
    std::vector<std::pair<const Consumer *, std::string>> pairs;
    if (!read_pairs(words, "pass", pairs)) {
        return usage();
    }
    Said said;
    bool yielded = false;
    const int status =
        collected_pass(pairs, timer_interval, in_service() ? "gpu_arch-publish.service" : "", said, yielded);
    say_once(said);
    return status;
}

// Reaps every child that has exited; between passes, every one is an orphan.
void reap_orphans()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

// The longest time between two passes: a day.
constexpr long long max_interval = 86400;

// Where the long-running mode records how each pass ended, for its
// container's readiness check: when, its interval, its status.
const char *const last_pass_name = "last-pass";

void record_pass(long long interval, int status)
{
    std::string path;
    const int state = open_state_folder(path);
    if (state < 0) {
        return;
    }
    write_file_at(state, path + "/" + last_pass_name, last_pass_name,
                  std::to_string(time(nullptr)) + " " + std::to_string(interval) + " " + std::to_string(status) + "\n");
    close(state);
}

// The container's readiness check: ready (status 0) while the last pass of
// the long-running mode published all it should, within two of its
// intervals and a minute, as writers count; else a message and status 1.
// It reads one small file, so that a probe costs far less than a pass.
int ready(const std::vector<std::string> & /*arguments*/, Pass & /*unused*/)
{
    std::string path;
    const int state = open_state_folder(path);
    if (state < 0) {
        return 1;
    }
    path += std::string("/") + last_pass_name;
    std::string text;
    const int read = read_file_at(state, path, last_pass_name, 64, text);
    close(state);
    if (read <= 0) {
        say(read == 0 ? "not ready: no pass of gpu_arch-publish every has ended yet" : "not ready");
        return 1;
    }
    long long values[3] = {};
    const char *at = text.data();
    const char *const end = text.data() + text.size();
    for (long long &value : values) {
        const auto [next, error] = std::from_chars(at, end, value);
        at = error == std::errc() && next < end && (*next == ' ' || *next == '\n') ? next + 1 : nullptr;
        if (at == nullptr) {
            say("not ready: " + quote_for_message(path) + " is damaged: " + quote_for_message(text));
            return 1;
        }
    }
    const auto [ended, interval, status] = values;
    const long long now = time(nullptr);
    if (ended > now || now - ended > 2 * interval + renewal_margin) {
        say("not ready: the last pass ended at " + utc_text(ended) + ", not within two of its intervals (" +
            std::to_string(interval) + " s) and a minute");
        return 1;
    }
    if (status != 0) {
        say("not ready: the last pass, at " + utc_text(ended) + ", did not publish all it should; its log says why");
        return 1;
    }
    return 0;
}

// A pass every interval, for a container that has no timer: the same pass
// as the timer's, what it says written when it differs from what the last
// pass said. As a container's first process it must end on SIGTERM and
// SIGINT by itself, with status 0 (a container's stop is no failure), also
// mid-pass, and reap what is left to it, such as the orphans of a gpu_arch
// wrapper; it takes them anywhere, as their subreaper. SIGHUP runs a pass at
// once, or right after the one it came during. It leaves every file as it
// is, so that labels outlive a restart until their expiry.
int every(const std::vector<std::string> &arguments, Pass & /*unused*/)
{
    const long long interval = seconds_from(arguments[0], 1, max_interval, "interval");
    std::vector<std::pair<const Consumer *, std::string>> pairs;
    if (interval == 0 || !read_pairs({arguments.begin() + 1, arguments.end()}, "every", pairs)) {
        return usage();
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    take_stop_signals(0, false);
    // Blocked throughout: between passes they are waited for, and one that
    // comes during a pass waits in the mask until it is over.
    sigset_t awaited;
    sigemptyset(&awaited);
    for (const int signal : {SIGTERM, SIGINT, SIGCHLD, SIGHUP}) {
        sigaddset(&awaited, signal);
    }
    sigprocmask(SIG_BLOCK, &awaited, nullptr);
    std::string last;
    for (long long due = monotonic_ms();;) {
        Said said;
        bool yielded = false;
        const int status =
            collected_pass(pairs, interval, "gpu_arch-publish every " + std::to_string(interval), said, yielded);
        collect_messages(true);
        record_pass(interval, status);
        collect_messages(false);
        said.messages += collected_messages();
        std::string record;
        fputs(to_tell(said, last, record).c_str(), stderr);
        last.swap(record);
        reap_orphans();
        // A pass that took longer than the interval is followed at once; one
        // that left the labels to another writer looks again within a
        // minute, so that they do not expire when that one stops.
        const long long next = due + interval * 1000;
        due = std::max(yielded ? std::min(next, monotonic_ms() + renewal_margin * 1000) : next, monotonic_ms());
        for (long long left = due - monotonic_ms(); left > 0; left = due - monotonic_ms()) {
            const timespec timeout = {static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
            const int got = sigtimedwait(&awaited, nullptr, &timeout);
            if (got == SIGTERM || got == SIGINT) {
                return 0;
            }
            due = got == SIGHUP ? monotonic_ms() : due;
            if (got == SIGCHLD) {
                reap_orphans();
            }
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    // A closed reader shows up as a failed write, reported as such; a parent
    // that ignores SIGCHLD must not make our children vanish unwaited.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_DFL);
    take_stop_signals(1, true);
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
