// SPDX-License-Identifier: MIT
// Running a program within limits of time and output, without polling: the
// program's output and a process handle (pidfd) wake the one poll.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "messages.hpp"
#include "run.hpp"

namespace {

// How long a killed process group may take to die before it is left behind.
constexpr int kill_grace_ms = 1000;

std::string over_time(int seconds)
{
    return "did not finish within " + std::to_string(seconds) + " s and was killed";
}

const std::string stopped = "was killed: gpu_arch-publish was stopped";

// Waits for the fds or the timeout, letting a stop through; why the wait
// cannot go on (a stop asked for, an error), or an empty string.
std::string wait_ready(pollfd *fds, nfds_t count, long long timeout_ms)
{
    const timespec timeout = {static_cast<time_t>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000000};
    const sigset_t mask = stoppable_mask();
    if (ppoll(fds, count, &timeout, &mask) >= 0) {
        return "";
    }
    const int error = errno;
    if (error == EINTR) {
        return stop_asked() ? stopped : "";
    }
    return std::string("cannot wait for it: ") + strerror(error);
}

void close_open(std::initializer_list<int> fds)
{
    for (const int fd : fds) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

// In the child: runs raw in a group of its own with standard input from
// /dev/null and the two output ends, or reports why not on exec_error_end.
[[noreturn]] void exec_in_own_group(const std::vector<char *> &raw, int output_end, int errors_end, int exec_error_end)
{
    const int null = open("/dev/null", O_RDONLY);
    // The program starts as a shell would start it: no signal blocked or ignored.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (setpgid(0, 0) == 0 && null >= 0 && dup2(null, 0) == 0 && dup2(output_end, 1) == 1 && dup2(errors_end, 2) == 2) {
        execvp(raw[0], raw.data());
    }
    const int error = errno;
    if (write(exec_error_end, &error, sizeof error) < 0) {
        _exit(127);
    }
    _exit(127);
}

// Starts argv in a process group of its own, with standard input from
// /dev/null, standard output into a pipe whose reading end output gets, and
// standard error into the same pipe (merge_errors) or one of its own whose
// reading end errors gets. Returns the process, or -1 with failure set.
pid_t start_in_own_group(const std::vector<std::string> &argv, bool merge_errors, int &output, int &errors,
                         std::string &failure)
{
    std::vector<char *> raw;
    raw.reserve(argv.size() + 1);
    for (const std::string &word : argv) {
        raw.push_back(const_cast<char *>(word.c_str()));
    }
    raw.push_back(nullptr);
    // The child reports a failed exec through the third pipe, which a
    // successful one closes.
    int output_pipe[2] = {-1, -1};
    int errors_pipe[2] = {-1, -1};
    int exec_error_pipe[2] = {-1, -1};
    if (pipe2(output_pipe, O_CLOEXEC) != 0 || (!merge_errors && pipe2(errors_pipe, O_CLOEXEC) != 0) ||
        pipe2(exec_error_pipe, O_CLOEXEC) != 0) {
        failure = std::string("cannot make a pipe: ") + strerror(errno);
        close_open({output_pipe[0], output_pipe[1], errors_pipe[0], errors_pipe[1]});
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        exec_in_own_group(raw, output_pipe[1], merge_errors ? output_pipe[1] : errors_pipe[1], exec_error_pipe[1]);
    }
    const int start_error = errno;
    close_open({output_pipe[1], errors_pipe[1], exec_error_pipe[1]});
    int exec_error = 0;
    if (pid > 0) {
        // Both sides set the group, so that it exists whichever runs first.
        setpgid(pid, pid);
        if (read(exec_error_pipe[0], &exec_error, sizeof exec_error) != sizeof exec_error) {
            exec_error = 0;
        }
    }
    close(exec_error_pipe[0]);
    if (pid < 0 || exec_error != 0) {
        failure = pid < 0 ? std::string("cannot start a process: ") + strerror(start_error)
                          : std::string("cannot be run: ") + strerror(exec_error);
        close_open({output_pipe[0], errors_pipe[0]});
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
    output = output_pipe[0];
    errors = errors_pipe[0];
    return pid;
}

// Reaps pid if it has exited.
bool reaped(pid_t pid, int &wait_status)
{
    pid_t got = -1;
    do {
        got = waitpid(pid, &wait_status, WNOHANG);
    } while (got < 0 && errno == EINTR);
    return got == pid;
}

// Appends what fd has now without waiting, up to keep bytes of text, and
// counts the rest in dropped; false at end of file or error. It reads at
// most 64 KiB a call, so that a flood leaves time to look at the deadline.
bool drain(int fd, std::string &text, size_t keep, size_t &dropped)
{
    char chunk[4096];
    for (int chunks = 0; chunks < 16; ++chunks) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            return got < 0 && (errno == EAGAIN || errno == EINTR);
        }
        const size_t kept = std::min(keep - std::min(keep, text.size()), static_cast<size_t>(got));
        text.append(chunk, kept);
        dropped += static_cast<size_t>(got) - kept;
    }
    return true;
}

// The program's output: a byte past max_output is enough to know it is too
// much.
bool drain_output(int fd, Run &run)
{
    size_t past = 0;
    return drain(fd, run.output, max_output + 1, past);
}

// Standard error: the first max_errors bytes are kept, the rest counted.
bool drain_errors(int fd, Run &run)
{
    return fd >= 0 && drain(fd, run.errors, max_errors, run.errors_dropped);
}

// Waits for pid to exit until the deadline; over time, or an empty string.
std::string wait_exit(pid_t pid, int pidfd, long long deadline, int seconds, int &wait_status)
{
    pollfd ready = {pidfd, POLLIN, 0};
    while (!reaped(pid, wait_status)) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0) {
            return over_time(seconds);
        }
        // Without a pidfd (a kernel before 5.3), the exit is looked for
        // every 10 ms.
        std::string why =
            wait_ready(pidfd < 0 ? nullptr : &ready, pidfd < 0 ? 0 : 1, pidfd < 0 ? std::min(left, 10LL) : left);
        if (!why.empty()) {
            return why;
        }
    }
    return "";
}

std::string too_much()
{
    return "printed more than " + std::to_string(max_output) + " bytes and was killed";
}

// What the program wrote before it exited, at most what a pipe holds; why
// that is too much, or an empty string.
std::string drain_after_exit(int output, int errors, Run &run)
{
    for (int reads = 0; reads < 16 && drain_output(output, run) && run.output.size() <= max_output; ++reads) {
    }
    for (int reads = 0; reads < 16 && drain_errors(errors, run); ++reads) {
    }
    return run.output.size() > max_output ? too_much() : "";
}

// Waits until the program has exited and its output is at an end, the
// deadline passes or the output grows too large; returns why it stopped
// early, or an empty string. Once it has exited, what it left behind may
// hold the output open: what it wrote is in the pipe already.
std::string wait_for(pid_t pid, int pidfd, int output, int errors, long long deadline, int seconds, Run &run,
                     int &wait_status)
{
    bool output_open = true;
    bool errors_open = errors >= 0;
    bool exited = false;
    while ((output_open || errors_open) && !exited) {
        const long long left = deadline - monotonic_ms();
        if (left <= 0) {
            return over_time(seconds);
        }
        // A closed stream is polled as -1, which poll skips.
        pollfd ready[3] = {
            {output_open ? output : -1, POLLIN, 0}, {errors_open ? errors : -1, POLLIN, 0}, {pidfd, POLLIN, 0}};
        std::string why = wait_ready(ready, 3, pidfd < 0 ? std::min(left, 10LL) : left);
        if (!why.empty()) {
            return why;
        }
        if ((ready[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            output_open = drain_output(output, run);
        }
        if ((ready[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            errors_open = drain_errors(errors, run);
        }
        if (run.output.size() > max_output) {
            return too_much();
        }
        exited = (pidfd < 0 || (ready[2].revents & POLLIN) != 0) && reaped(pid, wait_status);
    }
    return exited ? drain_after_exit(output, errors, run) : wait_exit(pid, pidfd, deadline, seconds, wait_status);
}

// Cuts what standard error kept back to its last whole line, and to the
// first max_error_lines lines.
void keep_whole_lines(Run &run)
{
    size_t whole = 0;
    for (size_t lines = 0; lines < max_error_lines; ++lines) {
        const size_t end = run.errors.find('\n', whole);
        if (end == std::string::npos) {
            break;
        }
        whole = end + 1;
    }
    // More lines than that, or a last line cut short by the byte bound.
    const bool cut = run.errors.find('\n', whole) != std::string::npos || run.errors_dropped > 0;
    if (cut && whole < run.errors.size()) {
        run.errors_dropped += run.errors.size() - whole;
        run.errors.erase(whole);
    }
}

} // namespace

long long monotonic_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Run run_bounded(const std::vector<std::string> &argv, int seconds, bool merge_errors)
{
    Run run;
    int output = -1;
    int errors = -1;
    const pid_t pid = start_in_own_group(argv, merge_errors, output, errors, run.failure);
    if (pid < 0) {
        return run;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (const int fd : {output, errors}) {
        if (fd >= 0) {
            fcntl(fd, F_SETFL, O_NONBLOCK);
        }
    }
    const long long deadline = monotonic_ms() + seconds * 1000LL;
    int wait_status = 0;
    run.failure = wait_for(pid, pidfd, output, errors, deadline, seconds, run, wait_status);
    close(output);
    if (errors >= 0) {
        close(errors);
    }
    keep_whole_lines(run);
    // The rest of its group goes with it, or in its stead.
    kill(-pid, SIGKILL);
    if (!run.failure.empty()) {
        if (!wait_exit(pid, pidfd, monotonic_ms() + kill_grace_ms, 1, wait_status).empty()) {
            run.failure += ", but did not die (a read stuck in the kernel?) and was left behind";
        }
    } else if (WIFEXITED(wait_status)) {
        run.exited = true;
        run.status = WEXITSTATUS(wait_status);
        if (run.status != 0) {
            run.failure = "failed (exit status " + std::to_string(run.status) + ")";
        }
    } else {
        run.failure = std::string("was killed by signal ") + strsignal(WTERMSIG(wait_status));
    }
    if (pidfd >= 0) {
        close(pidfd);
    }
    // What it started is gone: a stop can end the program now.
    stop_point(quote_for_message(argv[0]));
    return run;
}
