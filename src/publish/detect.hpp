// SPDX-License-Identifier: MIT
// What gpu_arch says, run once per pass, and what the consumers show: this
// run's answer, or the last one kept in the state folder.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "files.hpp"
#include "run.hpp"

// One architecture and the number of GPUs that have it.
struct Architecture {
    std::string name;
    unsigned gpus = 0;
};

// What gpu_arch printed: the architectures in the order first met, the
// lines that were no architecture name, and a last line without its newline.
struct Detection {
    std::vector<Architecture> architectures;
    std::vector<std::string> dropped;
    std::string partial;
};

// Whether a whole line is an architecture name that gpu_arch can print.
bool is_architecture_name(std::string_view line);
Detection read_detection(std::string_view output);
// The architectures as messages name them: quarn1000 (2), quarn904 (1).
std::string found_text(const std::vector<Architecture> &architectures);

// What a consumer shows: this run's answer, kept as the last one; or after a
// failure the last one while it is younger than the lifetime, and none past
// it. last_success says when gpu_arch last answered (0: not known).
struct Answer {
    bool fresh = false;
    std::vector<Architecture> architectures;
    long long last_success = 0;
    long long lifetime = 0;
    std::string error;
    bool unkept = false; // a pass could not keep what it must: it fails
    bool known = false;  // an answer is shown: this run's, or the kept one
};
constexpr long long max_lifetime = 604800;
// The timer's interval, and how much longer than its interval a lifetime must
// be, so that the next pass renews what the last one published: the longest
// a pass takes, with room to spare.
constexpr long long timer_interval = 60;
constexpr long long renewal_margin = 60;
// 300 s, or the interval and the margin when that is longer.
long long default_lifetime(long long interval);

// What one run of gpu_arch said, made once for all the consumers of a pass,
// and the settings that consumers share in a pass.
struct Pass {
    bool in_pass = false; // a pass without a lifetime takes the default
    long long interval = timer_interval;
    bool ran = false;
    bool answered = false;
    Detection detection;
    std::string error; // why gpu_arch gave no answer
    std::string nfd_prefix;
    long long lifetime = 0; // as the pass set it, or 0
    bool judged = false;    // shown holds what the consumers show
    Answer shown;
    std::string before; // the kept answer the run found, as found_text says it, if any
    // Whether the state folder held what was learned when the pass began
    // (-1: not looked yet), and whether a problem with it was said.
    int learned_missing = -1;
    bool expectation_said = false;
    bool state_failed = false; // the state folder could not be opened, as said
};

// Runs gpu_arch the first time it is asked; null, after a message, when it
// did not answer.
const Detection *detected(Pass &pass);

// The last answer, when gpu_arch gave it (seconds since the epoch) and the
// lifetime of the run that kept it, as the state folder keeps it; problem
// says why a damaged one is not used.
struct Kept {
    long long since = 0;
    long long lifetime = 0;
    std::vector<Architecture> architectures;
    std::string problem;
};
std::string kept_text(const Kept &kept);
// What the longest output of gpu_arch takes as a kept answer: each name
// line gains a blank and a count of at most seven digits.
constexpr size_t max_kept = 2 * max_output;
// The kept answer; a damaged one, or one from after now, has a problem and
// nothing else.
Kept read_kept_text(std::string_view text, long long now);

// Made once per pass, the first time a consumer asks.
const Answer &answer(Pass &pass);

// A time as RFC 3339 in UTC.
std::string utc_text(long long seconds);
