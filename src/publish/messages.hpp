// SPDX-License-Identifier: MIT
// Messages: one line each on standard error (the journal under systemd).
// While a pass collects them they wait, within a bound, in a buffer instead.
// SIGTERM, SIGINT and SIGHUP end the program only where it waits, after
// what it collected and a line that says what it was waiting on and what it
// leaves.
#pragma once

#include <signal.h>

#include <string>
#include <string_view>

void say(const std::string &message);
// What a pass decided (failed and why, what it shows and until when): kept
// past the bound that drops other messages, so that it always reaches the
// journal.
void say_verdict(const std::string &message);
void collect_messages(bool on);
// What was collected, with a last line saying how much the bound dropped.
std::string collected_messages();
// Far more than a pass says; what the state folder keeps of it is read back
// within the same bound. Verdicts may take the room beyond it.
constexpr size_t max_messages = size_t{48} * 1024;
constexpr size_t verdict_room = size_t{16} * 1024;

// The text quoted for a message: in single quotes, with control bytes,
// backslashes and quotes written as escapes, so that one message stays one
// line in the journal.
std::string quote_for_message(std::string_view text);
// The start of what another program printed, quoted: at most length bytes
// of it, with "..." after the quote when cut short, so that a megabyte of an
// answer never becomes one message.
constexpr size_t quoted_output = 300;
std::string quote_start(std::string_view text, size_t length = quoted_output);

// Whether this is the service's own pass, which its unit marks (other units
// and agents set INVOCATION_ID too): only it reads the defaults file, keeps
// what it said, and has a sandbox to widen.
bool in_service();

// Blocks SIGTERM, SIGINT and, when hangup, SIGHUP, which from then on stop
// the program where it waits, with this exit status.
void take_stop_signals(int status_when_stopped, bool hangup);
// The signal mask for a wait that a stop may end: the present one with the
// stop signals let through.
sigset_t stoppable_mask();
// Whether a stop was asked for; a pending one is taken first.
bool stop_asked();
// Ends the program when a stop was asked for, saying what was collected,
// what gpu_arch had found (found_before_stop) and what it waited on. What the
// program started must be ended before.
void stop_point(const std::string &waiting_on);
void found_before_stop(const std::string &found);
// What a stop leaves of the files: those written, those that still hold what
// the last pass wrote; empty when nothing is known of them.
void files_before_stop(const std::string &files);
