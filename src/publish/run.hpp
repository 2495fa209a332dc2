// SPDX-License-Identifier: MIT
// Running a program within limits of time and output.
#pragma once

#include <string>
#include <vector>

// How a bounded run ended.
struct Run {
    bool exited = false; // the program exited by itself; status is its exit status
    int status = 0;
    std::string output;        // its standard output
    std::string errors;        // the first whole lines of its standard error, when kept apart
    size_t errors_dropped = 0; // the bytes of standard error past those
    std::string failure;       // why it did not exit by itself with status 0
};

// Runs argv in a process group of its own, with standard input from
// /dev/null, for at most the given seconds, collecting its standard output,
// and its standard error with it (merge_errors) or apart, within
// max_errors. Past the limit or past max_output bytes of output the whole
// group gets SIGKILL; what is left of the group when the program exits is
// killed too. A stop asked for meanwhile kills the group and then ends the
// program.
Run run_bounded(const std::vector<std::string> &argv, int seconds, bool merge_errors = false);
constexpr size_t max_output = 1 << 20;
constexpr size_t max_errors = 4096;
constexpr size_t max_error_lines = 20;

// Milliseconds of the monotonic clock, which no change of the time of day
// moves.
long long monotonic_ms();
