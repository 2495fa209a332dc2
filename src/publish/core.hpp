// SPDX-License-Identifier: MIT
// What gpu_arch-publish's consumers share: messages, running a program within
// limits, files that root writes and reads without following what another
// user controls, and one run of gpu_arch per pass.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Messages go to standard error (the journal under systemd), one line each.
// While a pass collects them, they wait in a buffer instead.
void say(const std::string &message);
void collect_messages(bool on);
std::string collected_messages();

// The text quoted for a message: in single quotes, with control bytes,
// backslashes and quotes written as escapes, so that one message stays one
// line in the journal.
std::string quote_for_message(std::string_view text);

// How a bounded run ended.
struct Run {
    bool exited = false; // the program exited by itself; status is its exit status
    int status = 0;
    std::string output;  // its standard output
    std::string failure; // why it did not exit by itself with status 0
};

// Runs argv in a process group of its own, with standard input from
// /dev/null, for at most the given seconds, collecting its standard output
// (and standard error when asked). Past the limit or past max_output bytes
// the whole group gets SIGKILL; what is left of the group when the program
// exits is killed too.
Run run_bounded(const std::vector<std::string> &argv, int seconds, bool collect_errors = false);
constexpr size_t max_output = 1 << 20;

// Files. Paths are absolute; every folder on the way is opened by handle
// without following a symbolic link, except one that root (or this user)
// owns in a folder that root (or this user) owns. Missing folders are made
// only below such a folder. Each returns false after saying why.

// Opens the folder; -1 with why set when it cannot.
int open_folder(const std::string &path, bool create, std::string &why);
// Writes the regular file name in folder through a temporary file that is
// synced and then renamed over it, readable by all. path names it in
// messages.
bool write_file_at(int folder, const std::string &path, const std::string &name, const std::string &text);
bool write_file(const std::string &path, const std::string &text);
// Reads the regular file name in folder (AT_FDCWD for a path), at most
// max_size bytes, following a symbolic link only when asked: 1 read, 0
// missing, -1 failed (said).
int read_file_at(int folder, const std::string &path, const std::string &name, size_t max_size, std::string &text,
                 bool follow = false);
// The folder where the program keeps what it must remember, owned by root
// (or this user) and writable by no one else; -1 after a message.
int open_state_folder(std::string &path);

// One architecture and the number of GPUs that have it.
struct Architecture {
    std::string name;
    unsigned gpus = 0;
};

// What gpu_arch printed: the architectures in the order first met, and the
// lines that were no architecture name.
struct Detection {
    std::vector<Architecture> architectures;
    std::vector<std::string> dropped;
};

// Whether a whole line is an architecture name that gpu_arch can print.
bool is_architecture_name(std::string_view line);
Detection read_detection(std::string_view output);

// What a consumer shows: this run's answer, kept as the last one; or after a
// failure the last one while it is younger than the lifetime, and none past
// it. last_success says when gpu_arch last answered.
struct Answer {
    bool fresh = false;
    std::vector<Architecture> architectures;
    long long last_success = 0;
    long long lifetime = 0;
    std::string error;
};
constexpr long long default_lifetime = 300;

// What one run of gpu_arch said, made once for all the consumers of a pass,
// and the settings that consumers share in a pass.
struct Pass {
    bool ran = false;
    bool answered = false;
    Detection detection;
    std::string error; // why gpu_arch gave no answer
    std::string nfd_prefix;
    // How long after the last answer a failing node still shows it, when a
    // pass sets it (0: as the last pass that answered kept it).
    long long lifetime = 0;
    bool judged = false; // shown holds what the consumers show
    Answer shown;
};

// Runs gpu_arch the first time it is asked; null, after a message, when it
// did not answer.
const Detection *detected(Pass &pass);

// The last answer, and when gpu_arch gave it (seconds since the epoch, 0
// for never), as the state folder keeps it.
struct Kept {
    long long since = 0;
    long long lifetime = 0; // as the pass that kept it had it
    std::vector<Architecture> architectures;
};
std::string kept_text(const Kept &kept);
Kept read_kept_text(std::string_view text);

// Made once per pass, the first time a consumer asks.
const Answer &answer(Pass &pass);

// A time as RFC 3339 in UTC.
std::string utc_text(long long seconds);

// A consumer or a setting, one row of the table that drives the command
// line, the pass and the usage text.
enum class InPass { No, Consumer, Setting };
struct Consumer {
    const char *name;
    const char *arguments; // as the usage text shows them
    size_t least;          // how many arguments the command takes
    size_t most;
    int (*run)(const std::vector<std::string> &arguments, Pass &pass);
    InPass in_pass; // named in a pass with its first argument; settings apply first
};
