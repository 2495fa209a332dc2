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

#include <cerrno>
#include <cstring>

#include "core.hpp"

namespace {

// How long a killed process group may take to die before it is left behind.
constexpr int kill_grace_ms = 1000;

long long now_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string over_time(int seconds)
{
    return "did not finish within " + std::to_string(seconds) + " s and was killed";
}

// Starts argv in a process group of its own, with standard input from
// /dev/null and standard output (and standard error when collect_errors is
// set, else it stays ours) into a pipe whose reading end output gets. Returns
// the process, or -1 with failure set.
pid_t start_in_own_group(const std::vector<std::string> &argv, bool collect_errors, int &output, std::string &failure)
{
    std::vector<char *> raw;
    raw.reserve(argv.size() + 1);
    for (const std::string &word : argv) {
        raw.push_back(const_cast<char *>(word.c_str()));
    }
    raw.push_back(nullptr);
    // The child reports a failed exec through the second pipe, which a
    // successful one closes.
    int output_pipe[2] = {-1, -1};
    int exec_error_pipe[2] = {-1, -1};
    if (pipe2(output_pipe, O_CLOEXEC) != 0 || pipe2(exec_error_pipe, O_CLOEXEC) != 0) {
        failure = std::string("cannot make a pipe: ") + strerror(errno);
        close(output_pipe[0]);
        close(output_pipe[1]);
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        signal(SIGPIPE, SIG_DFL);
        if (setpgid(0, 0) == 0 && null >= 0 && dup2(null, 0) == 0 && dup2(output_pipe[1], 1) == 1 &&
            (!collect_errors || dup2(output_pipe[1], 2) == 2)) {
            execvp(raw[0], raw.data());
        }
        const int error = errno;
        if (write(exec_error_pipe[1], &error, sizeof error) < 0) {
            _exit(127);
        }
        _exit(127);
    }
    const int start_error = errno;
    close(output_pipe[1]);
    close(exec_error_pipe[1]);
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
        close(output_pipe[0]);
        if (pid > 0) {
            waitpid(pid, nullptr, 0);
        }
        return -1;
    }
    output = output_pipe[0];
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

// Appends what fd has now without waiting; false at end of file or error.
bool drain(int fd, std::string &output)
{
    char chunk[4096];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            output.append(chunk, static_cast<size_t>(got));
            if (output.size() > max_output) {
                return false;
            }
            continue;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
}

// Waits for pid to exit until the deadline; over time, or an empty string.
std::string wait_exit(pid_t pid, int pidfd, long long deadline, int seconds, int &wait_status)
{
    pollfd ready = {pidfd, POLLIN, 0};
    while (!reaped(pid, wait_status)) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return over_time(seconds);
        }
        // Without a pidfd (a kernel before 5.3), the exit is looked for
        // every 10 ms.
        poll(pidfd < 0 ? nullptr : &ready, pidfd < 0 ? 0 : 1,
             static_cast<int>(pidfd < 0 ? std::min(left, 10LL) : left));
    }
    return "";
}

// Waits until the program has exited and its output is at an end, the
// deadline passes or the output grows too large; returns why it stopped
// early, or an empty string. Once it has exited, what it left behind may
// hold the output open: what it wrote is in the pipe already.
std::string wait_for(pid_t pid, int pidfd, int output, long long deadline, int seconds, Run &run, int &wait_status)
{
    bool output_open = true;
    bool exited = false;
    while (output_open && !exited) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return over_time(seconds);
        }
        pollfd ready[2] = {{output, POLLIN, 0}, {pidfd, POLLIN, 0}};
        const int timeout = static_cast<int>(pidfd < 0 ? std::min(left, 10LL) : left);
        if (poll(ready, pidfd < 0 ? 1 : 2, timeout) < 0 && errno != EINTR) {
            return std::string("cannot wait for it: ") + strerror(errno);
        }
        if ((ready[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            output_open = drain(output, run.output);
        }
        if (run.output.size() > max_output) {
            return "printed more than " + std::to_string(max_output) + " bytes and was killed";
        }
        exited = (pidfd < 0 || (ready[1].revents & POLLIN) != 0) && reaped(pid, wait_status);
    }
    if (exited) {
        drain(output, run.output);
        return "";
    }
    return wait_exit(pid, pidfd, deadline, seconds, wait_status);
}

} // namespace

Run run_bounded(const std::vector<std::string> &argv, int seconds, bool collect_errors)
{
    Run run;
    int output = -1;
    const pid_t pid = start_in_own_group(argv, collect_errors, output, run.failure);
    if (pid < 0) {
        return run;
    }
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    fcntl(output, F_SETFL, O_NONBLOCK);
    const long long deadline = now_ms() + seconds * 1000LL;
    int wait_status = 0;
    run.failure = wait_for(pid, pidfd, output, deadline, seconds, run, wait_status);
    close(output);
    // The rest of its group goes with it, or in its stead.
    kill(-pid, SIGKILL);
    if (!run.failure.empty()) {
        if (!wait_exit(pid, pidfd, now_ms() + kill_grace_ms, 1, wait_status).empty()) {
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
    return run;
}
