// SPDX-License-Identifier: MIT
// Running the tool as a child process, as its callers do: in a tree, as a given user, behind the launchers a
// build needs, with standard output going where the case says; both streams and the exit status come back.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <sstream>

#include "driver_tree.hpp"

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
    long long stopped_in_ms = -1; // from the stop to the exit
};

// Where the tool's standard output goes.
enum class Stdout { File, DevFull, Closed, BrokenPipe, ReaderGone };

struct RunOptions {
    bool unprivileged = false;       // as nobody when run as root
    Stdout stdout_to = Stdout::File; // only File captures the output
    bool fail_readdir = false;       // every directory read fails with EIO
    std::vector<std::string> args = {};
    std::vector<std::string> env = {}; // NAME=value, set for the run
    bool ignore_sigchld = false;       // as some launchers leave it
    // Signals sent when what the run wrote says it is time (a hangup, a
    // container's stop, a terminal's ^C): each once its condition on the tree
    // holds, looked at every 10 ms for at most 30 s, so that a slowed run is
    // waited for rather than guessed at.
    std::vector<std::pair<std::function<bool(const fs::path &)>, int>> signals_when = {};
};

inline bool redirect_stdout(Stdout to, int file)
{
    int ends[2];
    switch (to) {
    case Stdout::File:
        return dup2(file, 1) == 1;
    case Stdout::DevFull: {
        const int full = open("/dev/full", O_WRONLY);
        return full >= 0 && dup2(full, 1) == 1;
    }
    case Stdout::Closed:
        return close(1) == 0;
    case Stdout::BrokenPipe:
        // An ignored SIGPIPE stays ignored across exec: writes fail with EPIPE.
        return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) == 1 && signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    case Stdout::ReaderGone:
        // SIGPIPE as a shell leaves it: only a program that ignores it itself sees the failed write.
        return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) == 1;
    }
    return false;
}

// Root gives up its privileges for nobody; anyone else stays who they are.
inline bool drop_privileges()
{
    const passwd *nobody = getpwnam("nobody");
    return geteuid() != 0 || (setgroups(0, nullptr) == 0 && setgid(nobody != nullptr ? nobody->pw_gid : 65534) == 0 &&
                              setuid(nobody != nullptr ? nobody->pw_uid : 65534) == 0);
}

[[noreturn]] inline void exec_child(std::vector<std::string> argv, const fs::path &cwd, const RunOptions &options,
                                    int out, int err)
{
    // Default dispositions and no signal blocked, as a shell starts a program, whatever the harness inherited.
    for (int signal_number = 1; signal_number < NSIG; ++signal_number) {
        signal(signal_number, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(err, 2) < 0 || chdir(cwd.c_str()) != 0 || !redirect_stdout(options.stdout_to, out) ||
        (options.unprivileged && !drop_privileges())) {
        _exit(126);
    }
    for (const std::string &variable : options.env) {
        putenv(const_cast<char *>(variable.c_str()));
    }
    if (options.ignore_sigchld) {
        signal(SIGCHLD, SIG_IGN);
    }
    if (options.fail_readdir) {
        // The leak checker lists the process's threads through a directory
        // read at exit, which fails here too; valgrind still checks leaks.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    }
    std::vector<char *> raw;
    for (auto &word : argv) {
        raw.push_back(word.data());
    }
    raw.push_back(nullptr);
    execvp(raw[0], raw.data());
    _exit(127);
}

// What the child wrote to file, which ends where the child's writes ended.
inline std::string slurp(FILE *file)
{
    std::string text(static_cast<size_t>(ftell(file)), '\0');
    rewind(file);
    text.resize(fread(text.data(), 1, text.size(), file));
    fclose(file);
    return text;
}

// Runs binary with the tree as its working directory, as the options say,
// behind the failing-readdir launcher, the emulator of a cross build or a
// launcher such as valgrind, as asked.
inline Outcome run_tool(const DriverTree &tree, std::string binary, const RunOptions &options = {})
{
    if (options.unprivileged) {
        // The build folder may not be reachable for nobody: run a copy.
        const std::string copy = tree.path(fs::path(binary).filename());
        std::ofstream(copy, std::ios::binary) << std::ifstream(binary, std::ios::binary).rdbuf();
        EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
        binary = copy;
    }
    std::vector<std::string> argv;
    if (options.fail_readdir) {
        argv.emplace_back(GPU_ARCH_FAIL_GETDENTS);
    }
    const char *launcher = getenv("GPU_ARCH_TEST_LAUNCHER");
    std::stringstream words(launcher != nullptr ? launcher : GPU_ARCH_TEST_EMULATOR);
    for (std::string word; words >> word;) {
        argv.push_back(word);
    }
    argv.push_back(binary);
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    // The launcher found on the harness's PATH, not on the one a case sets for the tool.
    std::stringstream path(getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string folder; argv[0].find('/') == std::string::npos && std::getline(path, folder, ':');) {
        if (access((folder + "/" + argv[0]).c_str(), X_OK) == 0) {
            argv[0] = folder + "/" + argv[0];
        }
    }

    // Both streams go to unlinked files, read back once the run is over.
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    const pid_t pid = fork();
    if (pid == 0) {
        exec_child(argv, tree.root(), options, fileno(out), fileno(err));
    }
    int status = 0;
    long long stopped_in_ms = -1;
    if (!options.signals_when.empty()) {
        for (const auto &[ready, signal_number] : options.signals_when) {
            for (int waited_ms = 0; !ready(tree.root()) && waited_ms < 30000; waited_ms += 10) {
                usleep(10000);
            }
            kill(pid, signal_number);
        }
        const auto stopped = std::chrono::steady_clock::now();
        // A program that does not end within 5 s is killed, so that the row fails rather than hangs.
        for (int waited_ms = 0; waitpid(pid, &status, WNOHANG) == 0; waited_ms += 10) {
            if (waited_ms == 5000) {
                kill(pid, SIGKILL);
            }
            usleep(10000);
        }
        stopped_in_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - stopped).count();
    } else {
        waitpid(pid, &status, 0);
    }
    return {slurp(out), slurp(err), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), stopped_in_ms};
}
