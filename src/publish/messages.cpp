// SPDX-License-Identifier: MIT
// Messages, quoted so that each is one line, and bounded while collected;
// and the stop, which comes only where the program waits.
#include "messages.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool collecting = false;
std::string collected;
size_t dropped = 0;

volatile sig_atomic_t stop_signal = 0;
int stopped_status = 1;
bool hangup_stops = true;
std::string found_so_far;
std::string files_so_far;

void take(const std::string &message, size_t bound)
{
    const std::string line = "gpu_arch-publish: " + message + "\n";
    if (!collecting) {
        fputs(line.c_str(), stderr);
    } else if (collected.size() + line.size() <= bound) {
        collected += line;
    } else {
        dropped += line.size();
    }
}

void note_stop(int signal)
{
    stop_signal = signal;
}

sigset_t stop_signals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    if (hangup_stops) {
        sigaddset(&signals, SIGHUP);
    }
    return signals;
}

const char *signal_name(int signal)
{
    return signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM";
}

} // namespace

void say(const std::string &message)
{
    // Once something was dropped, nothing later but a verdict goes in.
    take(message, dropped == 0 ? max_messages : 0);
}

void say_verdict(const std::string &message)
{
    take(message, max_messages + verdict_room);
}

void collect_messages(bool on)
{
    collecting = on;
}

std::string collected_messages()
{
    std::string messages;
    messages.swap(collected);
    if (dropped > 0) {
        messages += "gpu_arch-publish: " + std::to_string(dropped) + " more bytes of messages were dropped\n";
        dropped = 0;
    }
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

std::string quote_start(std::string_view text, size_t length)
{
    return quote_for_message(text.substr(0, length)) + (text.size() > length ? "..." : "");
}

bool in_service()
{
    const char *mark = getenv("GPU_ARCH_PUBLISH_SERVICE");
    return mark != nullptr && *mark != '\0';
}

void take_stop_signals(int status_when_stopped, bool hangup)
{
    stopped_status = status_when_stopped;
    hangup_stops = hangup;
    // No SA_RESTART: a wait that lets the signal through returns EINTR.
    struct sigaction action = {};
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    if (hangup) {
        sigaction(SIGHUP, &action, nullptr);
    } else {
        signal(SIGHUP, SIG_DFL);
    }
}

sigset_t stoppable_mask()
{
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    sigdelset(&mask, SIGTERM);
    sigdelset(&mask, SIGINT);
    if (hangup_stops) {
        sigdelset(&mask, SIGHUP);
    }
    return mask;
}

bool stop_asked()
{
    const sigset_t signals = stop_signals();
    sigset_t pending;
    if (stop_signal == 0 && sigpending(&pending) == 0 &&
        (sigismember(&pending, SIGTERM) == 1 || sigismember(&pending, SIGINT) == 1 ||
         (hangup_stops && sigismember(&pending, SIGHUP) == 1))) {
        // Delivered here, to the handler, which records which one.
        sigprocmask(SIG_UNBLOCK, &signals, nullptr);
        sigprocmask(SIG_BLOCK, &signals, nullptr);
    }
    return stop_signal != 0;
}

void found_before_stop(const std::string &found)
{
    found_so_far = found;
}

void files_before_stop(const std::string &files)
{
    files_so_far = files;
}

void stop_point(const std::string &waiting_on)
{
    if (!stop_asked()) {
        return;
    }
    const int signal = stop_signal;
    collect_messages(false);
    const std::string messages = collected_messages();
    fputs(messages.c_str(), stderr);
    std::string line = std::string("stopped by ") + signal_name(signal);
    line += waiting_on.empty() ? "" : " while waiting for " + waiting_on;
    line += found_so_far.empty() ? "; gpu_arch had not answered" : "; gpu_arch had found " + found_so_far;
    say(line + "; " + (files_so_far.empty() ? "files not yet written keep what they held" : files_so_far));
    fflush(stderr);
    _exit(stopped_status);
}
