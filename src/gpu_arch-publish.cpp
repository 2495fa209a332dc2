// SPDX-License-Identifier: MIT
// gpu_arch-publish: runs gpu_arch and hands the node's GPU architectures to
// the software that schedules or describes the node.
//
// Usage:
//   gpu_arch-publish slurmd-options DIR [WORD...]
//       Before slurmd starts (the slurmd.service drop-in): WORDs are slurmd's
//       options as systemd split them. For a dynamic node (-Z) it writes
//       DIR/slurmd.env, whose SLURMD_OPTIONS are the same words with the
//       architectures among --conf's features, and sets the same features in
//       slurmctld; an update that does not land is left in
//       DIR/slurmctld-update for the next slurm-pending.
//   gpu_arch-publish slurm-pending DIR
//       Sends the update left in DIR, if any; does nothing otherwise.
//   gpu_arch-publish node-line
//       Prints this node's line of slurm.conf with its features changed.
//   gpu_arch-publish prometheus FILE
//       Writes the node exporter's text file FILE; a failed run keeps the
//       architectures that FILE had and says so in a gauge.
//   gpu_arch-publish nfd FILE [PREFIX]
//       Writes the feature file FILE for node feature discovery, with labels
//       under PREFIX (gpu-arch.feature.node.kubernetes.io); a failed run
//       leaves the last labels until their expiry time.
//   gpu_arch-publish json
//       Prints the architectures and GPU counts as JSON; run as gpu_arch.fact
//       (a link, as Ansible's fact folder wants it), it does this alone.
//   gpu_arch-publish pass [slurm-pending DIR] [prometheus FILE] [nfd FILE]
//                         [nfd-prefix PREFIX]
//       One pass of the timer: what slurm-pending, prometheus and nfd do, with
//       at most one run of gpu_arch.
//
// gpu_arch runs in a process group of its own, for at most ten seconds, and
// only its lines that are architecture names count. GPU_ARCH_PROGRAM names
// another program to run instead. Messages go to standard error, which is
// the journal under systemd. Exit status: 0 when everything worked, 1 when
// something failed (and a message says what), 2 for a usage error.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "publish_text.hpp"

// Set by the build: where gpu_arch lies, relative to this program's folder,
// and where Slurm's configuration is by default.
#if !defined(GPU_ARCH_PUBLISH_TO_BINDIR) || !defined(GPU_ARCH_SLURM_CONF)
#error "GPU_ARCH_PUBLISH_TO_BINDIR and GPU_ARCH_SLURM_CONF must be defined by the build"
#endif

namespace {

// Limits that keep slurmd's start, which waits for this program, well within
// systemd's 90 s: gpu_arch, then one scontrol, each killed when over time.
constexpr int detection_seconds = 10;
constexpr int scontrol_seconds = 20;
// How long a killed process group may take to die before it is left behind.
constexpr int kill_grace_ms = 1000;
// More output than any machine's GPUs give means the program is not gpu_arch.
constexpr size_t max_output = 1 << 20;

void say(const std::string &message)
{
    fprintf(stderr, "gpu_arch-publish: %s\n", message.c_str());
}

long long now_ms()
{
    timespec now = {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// How a bounded run ended.
struct Run {
    bool exited = false; // the program exited by itself; status is its exit status
    int status = 0;
    std::string output;  // its standard output
    std::string failure; // why it did not exit by itself with status 0
};

// Waits for pid until the deadline; true when it was reaped.
bool reap_until(pid_t pid, long long deadline, int &wait_status)
{
    for (;;) {
        const pid_t reaped = waitpid(pid, &wait_status, WNOHANG);
        if (reaped == pid || (reaped < 0 && errno != EINTR)) {
            return reaped == pid;
        }
        if (now_ms() >= deadline) {
            return false;
        }
        usleep(10000);
    }
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

std::string over_time(int seconds)
{
    return "did not finish within " + std::to_string(seconds) + " s and was killed";
}

// Reads fd into output until end of file; returns why it stopped before
// that (the deadline, too much output), or an empty string.
std::string collect_output(int fd, long long deadline, int seconds, std::string &output)
{
    for (;;) {
        const long long left = deadline - now_ms();
        if (left <= 0) {
            return over_time(seconds);
        }
        pollfd readable = {fd, POLLIN, 0};
        const int ready = poll(&readable, 1, static_cast<int>(std::min(left, 1000LL)));
        if (ready < 0 && errno != EINTR) {
            return std::string("cannot wait for its output: ") + strerror(errno);
        }
        if (ready <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got == 0) {
            return "";
        }
        if (got > 0) {
            output.append(chunk, static_cast<size_t>(got));
        }
        if (output.size() > max_output) {
            return "printed more than " + std::to_string(max_output) + " bytes and was killed";
        }
    }
}

// Runs argv in a process group of its own for at most the given seconds,
// collecting its standard output (and standard error when asked). When it
// runs past the limit or prints too much, the whole group gets SIGKILL; a
// group that does not die even then is left behind, not waited for.
Run run_bounded(const std::vector<std::string> &argv, int seconds, bool collect_errors = false)
{
    Run run;
    int output = -1;
    const pid_t pid = start_in_own_group(argv, collect_errors, output, run.failure);
    if (pid < 0) {
        return run;
    }
    const long long deadline = now_ms() + seconds * 1000LL;
    run.failure = collect_output(output, deadline, seconds, run.output);
    close(output);
    int wait_status = 0;
    if (run.failure.empty() && !reap_until(pid, deadline, wait_status)) {
        run.failure = over_time(seconds);
    }
    if (!run.failure.empty()) {
        kill(-pid, SIGKILL);
        if (!reap_until(pid, now_ms() + kill_grace_ms, wait_status)) {
            run.failure += ", but did not die (a read stuck in the kernel?) and was left behind";
        }
        return run;
    }
    if (WIFEXITED(wait_status)) {
        run.exited = true;
        run.status = WEXITSTATUS(wait_status);
        if (run.status != 0) {
            run.failure = "failed (exit status " + std::to_string(run.status) + ")";
        }
    } else {
        run.failure = std::string("was killed by signal ") + strsignal(WTERMSIG(wait_status));
    }
    return run;
}

// The program that reports the GPUs: GPU_ARCH_PROGRAM, or gpu_arch in its
// folder relative to this program's.
std::string detection_program()
{
    const char *chosen = getenv("GPU_ARCH_PROGRAM");
    if (chosen != nullptr && *chosen != '\0') {
        return chosen;
    }
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) {
        return "gpu_arch";
    }
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.rfind('/') + 1) + GPU_ARCH_PUBLISH_TO_BINDIR "/gpu_arch";
}

// Runs the detection program; false, with a message, when it did not
// answer. Lines that are no architecture name are dropped with a message.
bool detect(Detection &detection)
{
    const std::string program = detection_program();
    const Run run = run_bounded({program}, detection_seconds);
    if (!run.failure.empty()) {
        say(program + " " + run.failure + ": no GPU architecture is published");
        return false;
    }
    detection = read_detection(run.output);
    if (!detection.dropped.empty()) {
        std::string quoted;
        for (const std::string &line : detection.dropped) {
            quoted += ' ';
            quoted += quote_for_message(line);
        }
        say(program + " printed lines that are no architecture name, dropped:" + quoted);
    }
    if (detection.architectures.empty()) {
        say(program + " found no supported GPU");
    }
    return true;
}

// Writes text to path through a temporary file in the same folder, so that
// readers see the old file or the new one, never a part.
bool write_atomically(const std::string &path, const std::string &text)
{
    // A dot-file, which the readers of these folders skip, in the folder,
    // made when missing.
    const size_t slash = path.rfind('/') + 1;
    for (size_t at = path.find('/', 1); at != std::string::npos && at < slash; at = path.find('/', at + 1)) {
        mkdir(path.substr(0, at).c_str(), 0755);
    }
    std::string temporary = path.substr(0, slash) + "." + path.substr(slash) + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        say("cannot write " + path + ": " + strerror(errno));
        return false;
    }
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t wrote = write(fd, text.data() + written, text.size() - written);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            break;
        }
        written += static_cast<size_t>(wrote);
    }
    int error = written < text.size() ? (errno != 0 ? errno : EIO) : 0;
    // Readable by all, like the files it stands for; mkostemp makes it private.
    if (error == 0 && fchmod(fd, 0644) != 0) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        say("cannot write " + path + ": " + strerror(error != 0 ? error : errno));
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

// Holds an exclusive lock on a folder while it lives, so that the start of
// slurmd and a pending update never interleave.
class FolderLock {
public:
    explicit FolderLock(const std::string &dir) : fd_(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
        if (fd_ >= 0) {
            flock(fd_, LOCK_EX);
        }
    }
    ~FolderLock()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int fd_;
};

std::string pending_path(const std::string &dir)
{
    return dir + "/slurmctld-update";
}

// Sets the node's features in slurmctld. A node that slurmctld does not know
// yet registers with them by itself. An update that does not land stays in
// dir, with a message, for slurm-pending to retry.
bool update_controller(const std::string &dir, const std::string &node, const std::string &features)
{
    const Run run = run_bounded(
        {"scontrol", "update", "NodeName=" + node, "AvailableFeatures=" + features, "ActiveFeatures=" + features},
        scontrol_seconds, true);
    if (run.exited && (run.status == 0 || run.output.find("Invalid node name") != std::string::npos)) {
        unlink(pending_path(dir).c_str());
        return true;
    }
    // scontrol's lines become one line of the message.
    std::string output;
    for (const char c : run.output) {
        if (c == '\n') {
            output += "; ";
        } else {
            output += c;
        }
    }
    output.erase(output.find_last_not_of("; ") + 1);
    say("slurmctld did not take the features of node " + node + " (scontrol " + run.failure +
        (output.empty() ? "" : ": " + output) +
        "): until it does, it may still hold the node's old GPU architectures; gpu_arch-publish.timer retries every "
        "minute");
    write_atomically(pending_path(dir), node + "\n" + features + "\n");
    return false;
}

std::string short_host_name()
{
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return "";
    }
    name[strcspn(name, ".")] = '\0';
    return name;
}

int slurmd_options(const std::string &dir, const std::vector<std::string> &words)
{
    Detection detection;
    const bool detected = detect(detection);
    const SlurmdOptions options = rewrite_slurmd_options(words, detection.architectures);
    if (!options.dynamic) {
        say("slurmd runs without -Z: its node is defined in slurm.conf, whose line gpu_arch-publish node-line prints");
        return detected ? 0 : 1;
    }
    std::string value;
    for (const std::string &word : options.words) {
        if (!value.empty()) {
            value += ' ';
        }
        value += quote_for_command_line(word);
    }
    const FolderLock lock(dir);
    if (!write_atomically(dir + "/slurmd.env", "SLURMD_OPTIONS=" + quote_for_environment_file(value) + "\n")) {
        say("slurmd starts with the site's options, and slurmctld is left as it is");
        return 1;
    }
    const std::string node = options.node_name.empty() ? short_host_name() : options.node_name;
    const bool updated = update_controller(dir, node, options.features);
    say("node " + node + " features: " + (options.features.empty() ? "none" : options.features));
    return detected && updated ? 0 : 1;
}

// Reads the whole file, or says why not.
bool read_file(const char *path, std::string &text)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        say(std::string("cannot read ") + path + ": " + strerror(errno));
        return false;
    }
    char chunk[4096];
    size_t got = 0;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        say(std::string("cannot read ") + path);
    }
    return !failed;
}

int slurm_pending(const std::string &dir)
{
    const FolderLock lock(dir);
    const std::string path = pending_path(dir);
    if (access(path.c_str(), F_OK) != 0) {
        return 0;
    }
    std::string pending;
    if (!read_file(path.c_str(), pending)) {
        return 1;
    }
    const size_t newline = pending.find('\n');
    const std::string node = pending.substr(0, newline);
    std::string features = newline == std::string::npos ? "" : pending.substr(newline + 1);
    features.erase(features.find_last_not_of('\n') + 1);
    if (!update_controller(dir, node, features)) {
        return 1;
    }
    say("slurmctld now holds the features of node " + node + ": " + (features.empty() ? "none" : features));
    return 0;
}

int node_line()
{
    const char *conf_path = getenv("SLURM_CONF");
    conf_path = conf_path != nullptr && *conf_path != '\0' ? conf_path : GPU_ARCH_SLURM_CONF;
    // Within a job step, Slurm names the node; elsewhere its host name does.
    const char *named = getenv("SLURMD_NODENAME");
    const std::string node = named != nullptr && *named != '\0' ? named : short_host_name();
    std::string conf;
    if (!read_file(conf_path, conf)) {
        return 1;
    }
    Detection detection;
    const bool detected = detect(detection);
    const NodeLine line = rewrite_node_line(conf, node, detection.architectures);
    if (!line.error.empty()) {
        say(std::string(conf_path) + ": " + line.error);
        return 1;
    }
    if (printf("%s\n", line.line.c_str()) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return detected ? 0 : 1;
}

int usage()
{
    fputs("usage: gpu_arch-publish slurmd-options DIR [WORD...]\n"
          "       gpu_arch-publish slurm-pending DIR\n"
          "       gpu_arch-publish node-line\n"
          "       gpu_arch-publish prometheus FILE\n"
          "       gpu_arch-publish nfd FILE [PREFIX]\n"
          "       gpu_arch-publish json\n"
          "       gpu_arch-publish pass [slurm-pending DIR] [prometheus FILE] [nfd FILE] [nfd-prefix PREFIX]\n",
          stderr);
    return 2;
}

// How long labels last without a new pass: a few of the timer's minutes.
constexpr time_t label_lifetime_seconds = 300;
constexpr const char *default_label_prefix = "gpu-arch.feature.node.kubernetes.io";

// What one run of gpu_arch said, made once for all the consumers of a pass.
struct Detected {
    bool ran = false;
    bool answered = false;
    Detection detection;
};

const Detection *detected(Detected &once)
{
    if (!once.ran) {
        once.ran = true;
        once.answered = detect(once.detection);
    }
    return once.answered ? &once.detection : nullptr;
}

int prometheus(const std::string &path, Detected &once)
{
    const Detection *detection = detected(once);
    // Without an answer, the file keeps the architectures it had.
    std::vector<Architecture> kept;
    std::string old;
    if (detection == nullptr && access(path.c_str(), F_OK) == 0 && read_file(path.c_str(), old)) {
        kept = read_prometheus_text(old);
        say(path + " keeps the architectures of the last run that answered, and gpu_arch_detection_success 0");
    }
    const std::vector<Architecture> &architectures = detection != nullptr ? detection->architectures : kept;
    return write_atomically(path, prometheus_text(architectures, detection != nullptr)) && detection != nullptr ? 0 : 1;
}

int feature_file(const std::string &path, const std::string &prefix, Detected &once)
{
    const std::string problem = label_prefix_problem(prefix);
    if (!problem.empty()) {
        say("cannot use '" + prefix + "' as the label prefix: " + problem);
        return 2;
    }
    const Detection *detection = detected(once);
    if (detection == nullptr) {
        say(path + " keeps the last labels until their expiry time");
        return 1;
    }
    const time_t expiry = time(nullptr) + label_lifetime_seconds;
    tm utc = {};
    char expiry_text[32];
    gmtime_r(&expiry, &utc);
    strftime(expiry_text, sizeof expiry_text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return write_atomically(path, feature_file_text(detection->architectures, prefix, expiry_text)) ? 0 : 1;
}

int json()
{
    Detected once;
    const Detection *detection = detected(once);
    if (detection == nullptr) {
        return 1;
    }
    if (fputs(json_text(detection->architectures).c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return 0;
}

// One pass of the timer over the consumers named in words, as pairs of a
// consumer and its file or folder.
int pass(const std::vector<std::string> &words)
{
    if (words.size() % 2 != 0) {
        return usage();
    }
    std::string prefix = default_label_prefix;
    for (size_t i = 0; i < words.size(); i += 2) {
        if (words[i] == "nfd-prefix") {
            prefix = words[i + 1];
        } else if (words[i] != "slurm-pending" && words[i] != "prometheus" && words[i] != "nfd") {
            return usage();
        }
    }
    Detected once;
    int status = 0;
    for (size_t i = 0; i < words.size(); i += 2) {
        int result = 0;
        if (words[i] == "slurm-pending") {
            result = slurm_pending(words[i + 1]);
        } else if (words[i] == "prometheus") {
            result = prometheus(words[i + 1], once);
        } else if (words[i] == "nfd") {
            result = feature_file(words[i + 1], prefix, once);
        }
        status = std::max(status, result);
    }
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    // A closed reader shows up as a failed write, reported as such.
    signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
    if (args.size() >= 2 && args[0] == "slurmd-options") {
        return slurmd_options(args[1], {args.begin() + 2, args.end()});
    }
    if (args.size() == 2 && args[0] == "slurm-pending") {
        return slurm_pending(args[1]);
    }
    if (args.size() == 1 && args[0] == "node-line") {
        return node_line();
    }
    // Ansible runs the executables of its fact folder without arguments.
    const std::string name = argc > 0 ? argv[0] : "";
    if ((args.size() == 1 && args[0] == "json") || name.substr(name.rfind('/') + 1) == "gpu_arch.fact") {
        return json();
    }
    Detected once;
    if (args.size() == 2 && args[0] == "prometheus") {
        return prometheus(args[1], once);
    }
    if ((args.size() == 2 || args.size() == 3) && args[0] == "nfd") {
        return feature_file(args[1], args.size() == 3 ? args[2] : default_label_prefix, once);
    }
    if (!args.empty() && args[0] == "pass") {
        return pass({args.begin() + 1, args.end()});
    }
    return usage();
}
