// SPDX-License-Identifier: MIT
// gpu_arch-publish as its callers run it: the built program as a process, in a
// folder of its own, with stub programs standing in for gpu_arch and
// scontrol; each row checks standard output, standard error, the exit status
// and the files exactly. "@" in a row stands for the case's folder.

#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <functional>

#include "tool_process.hpp"

namespace {

// Stand-ins for gpu_arch.
const std::string good = "printf 'quarn1000\\nquarn904\\nquarn1000\\n'";
const std::string fails = "echo quarn1000; exit 3";

struct PublishCase {
    const char *name;
    std::string program; // the body of the script that stands in for gpu_arch
    std::vector<std::string> args;
    std::string err;
    int status = 0;
    std::string out = "";
    // Files below @ that must hold this text, or must not exist ("-").
    std::vector<std::pair<std::string, std::string>> files = {};
    std::function<void(DriverTree &)> setup = {};
    std::vector<std::string> env = {};
    int runs = 1;        // the checks are on the last run
    bool root = false;   // a hostile user's folder: only root can stage it
    bool native = false; // the build tree's gpu_arch on this machine's /sys, which has no driver
    RunOptions options = {};
    int seconds = 0;                              // how long the last run takes, within a second or two
    mode_t umask = 022;                           // the program's
    const char *as = nullptr;                     // the name below @ the program is run under
    bool wrapped = false;                         // as is a script of setup's, which an emulator cannot run
    bool unemulated = false; // orphans come to the program, its system calls are the host's: not so under qemu-user
    std::function<void(DriverTree &)> check = {}; // after the run
};

std::string at(const DriverTree &tree, std::string text)
{
    for (size_t i = text.find('@'); i != std::string::npos; i = text.find('@', i)) {
        text.replace(i, 1, tree.root().string());
    }
    return text;
}

// Times in text, as RFC 3339 in UTC or as seconds since the epoch, read
// <now+N> (<now> for 0, <now-N> before the run) when they lie N seconds
// after the run, within a second, for each N that expected names.
std::string with_times(const std::string &text, time_t start, time_t end, const std::string &expected)
{
    std::vector<long long> offsets;
    for (size_t at = expected.find("<now"); at != std::string::npos; at = expected.find("<now", at + 1)) {
        const size_t close = expected.find('>', at);
        offsets.push_back(close == at + 4 ? 0 : std::stoll(expected.substr(at + 4, close - at - 4)));
    }
    const auto digits = [&text](size_t at, size_t count) {
        return at + count <= text.size() &&
               std::all_of(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(at + count),
                           [](char c) { return c >= '0' && c <= '9'; });
    };
    std::string result;
    for (size_t at = 0; at < text.size();) {
        const bool after_digit = at > 0 && digits(at - 1, 1);
        size_t length = 0;
        time_t when = 0;
        tm utc = {};
        if (!after_digit && digits(at, 4) && at + 20 <= text.size() && text[at + 10] == 'T' && text[at + 19] == 'Z' &&
            strptime(text.substr(at, 20).c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc) != nullptr) {
            length = 20;
            when = timegm(&utc);
        } else if (!after_digit && text[at] == '1' && digits(at, 10) && !digits(at + 10, 1)) {
            length = 10;
            when = static_cast<time_t>(std::stoll(text.substr(at, 10)));
        }
        std::string shown = length == 0 ? text.substr(at, 1) : text.substr(at, length);
        for (const long long offset : offsets) {
            if (length > 0 && when >= start + offset - 1 && when <= end + offset + 1) {
                shown =
                    offset == 0 ? "<now>" : "<now" + std::string(offset > 0 ? "+" : "") + std::to_string(offset) + ">";
            }
        }
        result += shown;
        at += std::max<size_t>(length, 1);
    }
    return result;
}

// text with every from replaced by to.
std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The state as a pass before left it, seconds ago.
std::string kept_since(time_t seconds_ago, const std::string &rest)
{
    return "since " + std::to_string(time(nullptr) - seconds_ago) + "\n" + rest;
}

void write(DriverTree &tree, const std::string &path, const std::string &text, unsigned mode = 0644)
{
    tree.add({path, mode, text});
}

// A folder that the hostile user (nobody) owns, and a symbolic link of theirs.
void hostile_folder(DriverTree &tree, const std::string &path)
{
    tree.add({path});
    EXPECT_EQ(chown(tree.path(path).c_str(), 65534, 65534), 0);
}
void hostile_link(DriverTree &tree, const std::string &target, const std::string &path)
{
    fs::create_symlink(at(tree, target), tree.path(path));
    EXPECT_EQ(lchown(tree.path(path).c_str(), 65534, 65534), 0);
}

// A file written seconds ago, as a killed run leaves it.
void aged(DriverTree &tree, const std::string &path, time_t seconds = 1000, uid_t owner = 0)
{
    write(tree, path, "");
    const timespec times[2] = {{time(nullptr) - seconds, 0}, {time(nullptr) - seconds, 0}};
    EXPECT_EQ(utimensat(AT_FDCWD, tree.path(path).c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_EQ(lchown(tree.path(path).c_str(), owner, owner), 0);
}

// Conditions on what a run wrote below the tree: a file that holds text;
// one with count lines, each the number of a process that has ended and been
// reaped.
std::function<bool(const fs::path &)> holds(const std::string &path, const std::string &text)
{
    return [=](const fs::path &root) {
        std::stringstream content;
        content << std::ifstream(root / path).rdbuf();
        return content.str().find(text) != std::string::npos;
    };
}
std::function<bool(const fs::path &)> reaped(const std::string &path, size_t count)
{
    return [=](const fs::path &root) {
        std::ifstream file(root / path);
        size_t lines = 0;
        for (pid_t pid = 0; file >> pid; ++lines) {
            if (kill(pid, 0) == 0 || errno != ESRCH) {
                return false;
            }
        }
        return lines == count;
    };
}

// Whether a process waits for the lock on the file, as the kernel lists it.
std::function<bool(const fs::path &)> lock_waited(const std::string &path)
{
    return [=](const fs::path &root) {
        struct stat status = {};
        const std::string inode = ":" + std::to_string(stat((root / path).c_str(), &status) == 0 ? status.st_ino : 0) + " ";
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);) {
            if (line.find("-> FLOCK") != std::string::npos && line.find(inode) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
}
// The lock on the file held by another process until @/lock.held is gone,
// for at most a minute.
void lock_held(DriverTree &tree, const std::string &path)
{
    write(tree, path, "", 0600);
    const std::string held = tree.path("lock.held").string();
    EXPECT_EQ(system(("flock " + tree.path(path).string() + " sh -c 'touch " + held + "; for i in $(seq 1200); do [ -e " +
                      held + " ] && sleep 0.05; done' >/dev/null 2>&1 & for i in $(seq 1000); do [ -e " + held + " ] || sleep 0.01; done").c_str()), 0);
}
void release_lock(DriverTree &tree)
{
    fs::remove(tree.path("lock.held"));
}
// Notes in @/waits how long the publisher, whose number the stand-in for
// gpu_arch wrote to @/publisher, waits for its next pass: the timeout of the
// system call it is blocked in.
bool next_pass_noted(const fs::path &root)
{
    std::string pid = "0", set, info, timeout;
    std::ifstream(root / "publisher") >> pid;
    long number = -1;
    timespec left = {};
    const int memory = open(("/proc/" + pid + "/mem").c_str(), O_RDONLY);
    const bool read = std::ifstream("/proc/" + pid + "/syscall") >> number >> set >> info >> timeout &&
                      number == SYS_rt_sigtimedwait &&
                      pread(memory, &left, sizeof left, static_cast<off_t>(std::stoull(timeout, nullptr, 16))) > 0;
    close(memory);
    if (read) {
        std::ofstream(root / "waits") << (left.tv_sec <= 60 ? "within a minute" : std::to_string(left.tv_sec) + " s") << "\n";
    }
    return read;
}

// Whether the process whose number is in the file is gone (or a zombie).
bool gone(DriverTree &tree, const std::string &path)
{
    std::ifstream file(tree.path(path));
    pid_t pid = 0;
    file >> pid;
    for (int tries = 0; pid > 0 && tries < 100; ++tries) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string number, name, state;
        if (!(stat >> number >> name >> state) || state == "Z") {
            return true;
        }
        usleep(10000);
    }
    return false;
}

// The program run by @/read-only with the folder mounted read-only, in a
// mount namespace of its own.
std::function<void(DriverTree &)> read_only(const std::string &folder)
{
    return [folder](DriverTree &tree) {
        tree.add({folder, 0755});
        write(tree, "read-only",
              "#!/bin/sh\nexec unshare -m sh -c 'mount --bind -o ro \"$0\" \"$0\" && exec \"$@\"' '" +
                  tree.path(folder).string() + "' " GPU_ARCH_PUBLISH_BINARY " \"$@\"\n",
              0755);
    };
}
const auto read_only_ro = read_only("ro");
// The program run by @/named on a host named n1.example.org.
void fully_qualified_host(DriverTree &tree)
{
    write(tree, "named", "#!/bin/sh\nexec unshare -u sh -c 'echo n1.example.org >/proc/sys/kernel/hostname && exec \"$0\" \"$@\"' " GPU_ARCH_PUBLISH_BINARY
          " \"$@\"\n", 0755);
}
// The program run twice by @/full with a state folder that is full but for
// an answer kept 100 s ago, in a mount namespace of its own.
void full_state(DriverTree &tree)
{
    write(tree, "full",
          "#!/bin/sh\nexec unshare -m sh -c 'mount -t tmpfs -o size=8k,mode=0755 tmpfs \"$0\" && printf \"since %s\\n"
          "lifetime 300\\nquarn904 3\\n\" $(($(date +%s) - 100)) >\"$0/architectures\" && { dd if=/dev/zero "
          "of=\"$0/fill\" bs=4096 2>/dev/null; \"$@\"; exec \"$@\"; }' '" +
              tree.path("state").string() + "' " GPU_ARCH_PUBLISH_BINARY " \"$@\"\n",
          0755);
}

// scontrol records its arguments in @/scontrol.log, prints @/scontrol.says
// and exits with the status in @/scontrol.status, or runs @/scontrol.does.
const std::string scontrol = "#!/bin/sh\necho \"$*\" >>\"$0.log\"\n[ -f \"$0.does\" ] && . \"$0.does\"\n"
                             "cat \"$0.says\" 2>/dev/null\nexit $(cat \"$0.status\" 2>/dev/null || echo 0)\n";
void scontrol_answers(DriverTree &tree, const std::string &says, int status)
{
    write(tree, "bin/scontrol.says", says);
    write(tree, "bin/scontrol.status", std::to_string(status));
}
void drop_in(DriverTree &tree)
{
    write(tree, "units/slurmd.service.d/gpu_arch-publish.conf", "");
}
// The fleet's clients, sinfo or promtool, as the scontrol stub: what they
// say, and their exit status.
std::function<void(DriverTree &)> client(const std::string &name, const std::string &says, int status = 0,
                                         const std::string &does = "")
{
    return [=](DriverTree &tree) {
        write(tree, "bin/" + name, scontrol, 0755);
        scontrol_answers(tree, says, status);
        fs::rename(tree.path("bin/scontrol.says"), tree.path("bin/" + name + ".says"));
        fs::rename(tree.path("bin/scontrol.status"), tree.path("bin/" + name + ".status"));
        write(tree, "bin/" + name + ".does", does);
    };
}
// Nodes in host ranges, other features, no features, drained, down, powered
// down and not responding.
const std::string sinfo_nodes = "gpu idle ib,quarn904,quarn1000 gpu[001-040,042]\ngpu drain quarn2000 gpu041\n"
                                "big down* quarn-3,bigmem big[1-2]\nbig drain quarn2000 gpu041\nlogin mix (null) login1\n"
                                "cloud idle~ quarn7 cloud[1-9]\nempty n/a (null) \n";
const std::string promtool_found = "[{\"metric\":{\"arch\":\"quarn904\"},\"value\":[1.5,\"2\"]},"
                                   "{\"metric\":{\"arch\":\"quarn010\"},\"value\":[1.5,\"1\"]},"
                                   "{\"metric\":{\"arch\":\"quarn1000\"},\"value\":[1.5,\"3\"]}]\n";
const std::string fleet_none = "gpu_arch-publish: no node matched: ";
const std::string pending_n1 = "n1\nsite_a,quarn904\n";
// For slurm-drain: what node n1 should have, what this program drained it
// for ("" for nothing) and what scontrol says, with its exit status.
std::function<void(DriverTree &)> drain_state(const std::string &expected, const std::string &drained,
                                              const std::string &says, int status = 0)
{
    return [=](DriverTree &tree) {
        write(tree, "state/expected", kept_since(100, "lifetime 300\n" + expected));
        if (!drained.empty()) {
            write(tree, "state/slurm-drain", "n1\n" + drained + "\n");
        }
        scontrol_answers(tree, says, status);
    };
}
// What scontrol show node says of n1's state and reason.
std::string shows(const std::string &state, const std::string &reason = "", const std::string &boot = "None")
{
    return "NodeName=n1 Arch=x86_64\n   State=" + state + " ThreadsPerCore=1\n   BootTime=" + boot +
           " SlurmdStartTime=None\n   Reason=" + reason + "\n";
}
// A reason of an architecture of each number from first, short of all its GPUs.
std::string short_of_all(int first, int count)
{
    std::string text;
    for (int number = first; number < first + count; ++number) {
        text += "quarn-" + std::to_string(number) + " 1000000\n";
    }
    return text;
}
const std::string lost = "drained\ngpu_arch: 2 of 3 quarn1000";
const std::string lost_noted = "n1\n" + lost + "\nNone\n";
const std::string drained_msg = "gpu_arch-publish: node 'n1' drained in slurmctld: ";
const std::string drains_msg = ", the pass fails and slurm-drain drains the node\n";
const std::string unnoted_msg = "gpu_arch-publish: node 'n1' is drained without a note of it: the next passes ask slurmctld\n";
const std::string rebooted_msg =
    "gpu_arch-publish: node 'n1' came back from a reboot with 2 of 3 quarn1000: a reboot accepts no loss\n";
const std::string left_msg = "gpu_arch-publish: node 'n1' is left as it is: its reason, ";
const std::string options_env = "SLURMD_OPTIONS=\"-Z --conf \\\"CPUs=1 Feature=site_a,quarn1000,quarn904\\\" -N n7\"\n";
const std::string conf = "NodeName=DEFAULT Features=ib\r\nNodeName=n1 CPUs=4 \\\r\n  Weight=2\r\n"
                         "NodeName=n2 Features=a\\#b,quarn904 Weight=1 # rack\n";
const std::string prom_head = "# HELP gpu_arch_info A GPU architecture of this node, as gpu_arch names it.\n"
                              "# TYPE gpu_arch_info gauge\n";
const std::string prom_gpus = "# HELP gpu_arch_gpus GPUs of each architecture on this node.\n"
                              "# TYPE gpu_arch_gpus gauge\n";
const std::string prom_success = "# HELP gpu_arch_detection_success Whether the last run of gpu_arch answered (1) or "
                                 "not (0).\n# TYPE gpu_arch_detection_success gauge\ngpu_arch_detection_success ";
const std::string expected_good =
    "gpu_arch_expected_gpus{arch=\"quarn1000\"} 2\ngpu_arch_expected_gpus{arch=\"quarn904\"} 1\n";
// When gpu_arch last answered, the lifetime, and what the node should have.
std::string prom_times(const std::string &last_success, const std::string &lifetime = "300",
                       const std::string &expected = expected_good)
{
    return "# HELP gpu_arch_last_success_timestamp_seconds When gpu_arch last answered, 0 if not known; after a "
           "failure the architectures are that answer's, for gpu_arch_lifetime_seconds.\n"
           "# TYPE gpu_arch_last_success_timestamp_seconds gauge\n"
           "gpu_arch_last_success_timestamp_seconds " +
           last_success +
           "\n# HELP gpu_arch_lifetime_seconds How long a failing node shows its last answer.\n"
           "# TYPE gpu_arch_lifetime_seconds gauge\ngpu_arch_lifetime_seconds " +
           lifetime +
           "\n# HELP gpu_arch_written_timestamp_seconds When gpu_arch-publish wrote this file, by the node's "
           "clock.\n# TYPE gpu_arch_written_timestamp_seconds gauge\ngpu_arch_written_timestamp_seconds <now>\n"
           "# HELP gpu_arch_interval_seconds How often gpu_arch-publish writes this file.\n"
           "# TYPE gpu_arch_interval_seconds gauge\ngpu_arch_interval_seconds 60\n# HELP gpu_arch_expected_gpus GPUs "
           "of "
           "each architecture this node should have: declared, else the most it has shown, until a loss is accepted.\n"
           "# TYPE gpu_arch_expected_gpus gauge\n" +
           expected;
}
const std::string prom_good = prom_head + "gpu_arch_info{arch=\"quarn1000\"} 1\ngpu_arch_info{arch=\"quarn904\"} 1\n" +
                              prom_gpus + "gpu_arch_gpus{arch=\"quarn1000\"} 2\ngpu_arch_gpus{arch=\"quarn904\"} 1\n" +
                              prom_success + "1\n" + prom_times("<now>");
const std::string nfd_good =
    "# GPU architectures of this node, written by gpu_arch-publish.\n# +expiry-time=<now+300>\n"
    "example.org/quarn1000=true\nexample.org/quarn1000.gpus=2\n"
    "example.org/quarn904=true\nexample.org/quarn904.gpus=1\nexample.org/gpus=3\n";
const std::string json_good = "{\"architectures\": [\"quarn1000\", \"quarn904\"], \"gpus\": {\"quarn1000\": 2, "
                              "\"quarn904\": 1}, \"success\": true, \"last_success\": \"<now>\"}\n";
// What json says when gpu_arch did not answer and nothing is kept.
std::string json_failed(const std::string &why)
{
    return "{\"architectures\": [], \"gpus\": {}, \"success\": false, \"last_success\": null, \"error\": \"'@/" + why +
           "\"}\n";
}
const std::string json_quarn904 = "{\"architectures\": [\"quarn904\"], \"gpus\": {\"quarn904\": 1}, \"success\": true, "
                                  "\"last_success\": \"<now>\"}\n";
// What a failing program's run says when the state keeps an answer from
// seconds ago for a lifetime.
std::string kept_for(int seconds_ago, int lifetime)
{
    return "gpu_arch-publish: '@/program' failed (exit status 3): the last answer, from <now-" +
           std::to_string(seconds_ago) + ">, is kept until <now+" + std::to_string(lifetime - seconds_ago) + ">\n";
}
const std::string nothing_kept = prom_head + prom_gpus + prom_success + "0\n" + prom_times("0", "300", "");
// What a writer tells of a first answer, or a new one.
const std::string has_good = "gpu_arch-publish: the node has quarn1000 (2), quarn904 (1)\n";
// What a consumer says of the file it could not write.
std::string held(const std::string &path, const std::string &what = "what an earlier pass wrote there, if anything")
{
    return "gpu_arch-publish: '" + path + "' still holds " + what + "\n";
}
const std::string state_good = "since <now>\nlifetime 300\nquarn1000 2\nquarn904 1\n";
const std::string not_a_line = ", is no since, lifetime (1 to 604800) or architecture line\n";
const std::string killed = "program' did not finish within 10 s and was killed";
const std::string no_answer =
    "gpu_arch-publish: '@/program' failed (exit status 3): no GPU architecture is published\n";
const std::string service = "GPU_ARCH_PUBLISH_SERVICE=gpu_arch-publish.service";
const std::string nfd_prefix = "gpu-arch.feature.node.kubernetes.io";
// The labels of a kept answer, quarn904 3 from 100 s ago.
const std::string nfd_kept =
    "# GPU architectures of this node, written by gpu_arch-publish.\n# +expiry-time=<now+200>\n" + nfd_prefix +
    "/quarn904=true\n" + nfd_prefix + "/quarn904.gpus=3\n" + nfd_prefix + "/gpus=3\n";
// What a writer says of another one with a lifetime of its own.
std::string writers_said(const std::string &other, const std::string &self, bool first)
{
    return "gpu_arch-publish: '" + other + "' also publishes this node's answer, every 60 s, with lifetime " +
           "600 and label prefix '" + nfd_prefix + "'; '" + self + "' has lifetime 300 and label prefix '" +
           nfd_prefix + "': " +
           (first ? "this one writes no labels while that one runs" : "that one writes no labels while this one runs") +
           ", so that they do not flip; disable one of them, or give both the same lifetime and nfd-prefix (see "
           "gpu_arch-publish(8))\n";
}
// What a stop mid-pass says, while the stand-in for gpu_arch ran.
std::string stopped_by(const std::string &signal)
{
    return "gpu_arch-publish: stopped by " + signal + " while waiting for '@/program'; gpu_arch had not answered; not "
           "yet written, so still holding the last pass's answer: '@/e/gpu_arch.prom'\n";
}
const std::string unusable =
    "gpu_arch-publish: cannot use 'kubernetes.io' as the label prefix: Kubernetes keeps "
    "kubernetes.io and k8s.io to itself, but for feature.node.kubernetes.io and its subdomains\n";
const std::string pass_takes = "a pass takes [slurm-pending DIR] [slurm-drain NODE] [prometheus FILE] [nfd FILE] "
                               "[nfd-prefix PREFIX] [lifetime SECONDS]";
const std::string usage =
    "usage: gpu_arch-publish slurmd-options DIR [WORD...]\n       gpu_arch-publish slurm-pending DIR\n"
    "       gpu_arch-publish node-line\n       gpu_arch-publish slurm-drain NODE\n"
    "       gpu_arch-publish slurm-expected [reset]\n       gpu_arch-publish prometheus FILE\n"
    "       gpu_arch-publish nfd FILE [PREFIX]\n       gpu_arch-publish json\n"
    "       gpu_arch-publish slurm-fleet [ready] [PARTITION...]\n       gpu_arch-publish prometheus-fleet URL [HTTP-CONFIG]\n"
    "       gpu_arch-publish pass " +
    pass_takes.substr(sizeof "a pass takes") + "\n       gpu_arch-publish every SECONDS " +
    pass_takes.substr(sizeof "a pass takes") + "\n       gpu_arch-publish ready\n";

void PrintTo(const PublishCase &row, std::ostream *out)
{
    *out << row.name;
}

class PublishRows : public testing::TestWithParam<PublishCase> {};

TEST_P(PublishRows, FilesMessagesAndStatus)
{
    const PublishCase &row = GetParam();
    if (row.root && geteuid() != 0) {
        GTEST_SKIP() << "a hostile user's folder needs root to stage";
    }
    if (row.native && (*GPU_ARCH_TEST_EMULATOR != '\0' || fs::exists("/sys/" GPU_ARCH_PRIMARY_DEVICE) ||
                       fs::exists("/sys/" GPU_ARCH_FALLBACK_DEVICE))) {
        GTEST_SKIP() << "the build tree's gpu_arch runs natively on a machine without the driver";
    }
    if (row.wrapped && *GPU_ARCH_TEST_EMULATOR != '\0') {
        GTEST_SKIP() << "a script cannot run under the emulator";
    }
    if (row.unemulated && *GPU_ARCH_TEST_EMULATOR != '\0') {
        GTEST_SKIP() << "qemu-user does not pass PR_SET_CHILD_SUBREAPER on, nor show the program's system calls";
    }
    if (row.wrapped && row.root && geteuid() == 0 && system("unshare -m true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no mount namespace of its own here (a chroot?)";
    }
    DriverTree tree;
    write(tree, "program", "#!/bin/sh\n" + row.program + "\n", 0755);
    write(tree, "bin/scontrol", scontrol, 0755);
    tree.add({"state", 0755});
    if (row.setup) {
        row.setup(tree);
    }
    // The program under another name, or a wrapper that setup wrote.
    std::string binary = GPU_ARCH_PUBLISH_BINARY;
    if (row.as != nullptr) {
        binary = tree.path(row.as).string();
        if (!fs::exists(fs::symlink_status(binary))) {
            fs::create_symlink(GPU_ARCH_PUBLISH_BINARY, binary);
        }
    }
    RunOptions options = row.options;
    options.env = {
        "GPU_ARCH_PROGRAM=" + tree.path("program").string(), "STATE_DIRECTORY=" + tree.path("state").string(),
        "PATH=" + tree.path("bin").string() + ":/usr/bin:/bin", "SYSTEMD_UNIT_PATH=" + tree.path("units").string()};
    for (const std::string &variable : row.env) {
        options.env.push_back(at(tree, variable));
    }
    for (const std::string &arg : row.args) {
        options.args.push_back(at(tree, arg));
    }
    Outcome outcome;
    time_t start = time(nullptr);
    const mode_t umask_before = umask(row.umask);
    for (int run = 0; run < row.runs; ++run) {
        start = time(nullptr);
        outcome = run_tool(tree, binary, options);
    }
    umask(umask_before);
    const time_t end = time(nullptr);
    if (row.seconds > 0) {
        EXPECT_GE(end - start, row.seconds - 1);
        EXPECT_LE(end - start, row.seconds + 2);
    }
    if (row.check) {
        row.check(tree);
    }
    if (outcome.stopped_in_ms >= 0) {
        EXPECT_LT(outcome.stopped_in_ms, 1000);
    }
    EXPECT_EQ(with_times(outcome.err, start, end, row.err), at(tree, row.err));
    EXPECT_EQ(with_times(outcome.out, start, end, row.out), at(tree, row.out));
    EXPECT_EQ(outcome.status, row.status);
    for (const auto &[path, text] : row.files) {
        std::ifstream file(tree.path(path), std::ios::binary);
        struct stat status = {};
        if (text == "-") {
            EXPECT_FALSE(fs::exists(fs::symlink_status(tree.path(path)))) << path;
            continue;
        }
        if (text == "/") { // a folder that the program made, open to all
            EXPECT_EQ(lstat(tree.path(path).c_str(), &status) == 0 ? status.st_mode & (S_IFMT | 07777) : 0,
                      S_IFDIR | 0755U)
                << path;
            continue;
        }
        std::stringstream content;
        content << file.rdbuf();
        EXPECT_EQ(with_times(content.str(), start, end, text), at(tree, text)) << path;
        EXPECT_EQ(stat(tree.path(path).c_str(), &status) == 0 ? status.st_mode & 0777 : 0, 0644U) << path;
    }
}

// clang-format off
// The rows, an array rather than arguments of testing::Values, which compiles
// far slower.
const PublishCase publish_cases[] = {
    // The program as gpu_arch: what counts, and every way it can go wrong.
    PublishCase{.name = "json", .program = good, .args = {"json"}, .err = "",
                .out = json_good},
    PublishCase{.name = "json_junk_and_names_gpu_arch_cannot_print",
                .program = "printf 'rm -rf /\\nquarn-2147483648\\nquarn2147483648\\nquarn010\\nquarn-0\\nquarn7\\nquarn90'",
                .args = {"json"},
                .err = "gpu_arch-publish: '@/program' printed lines that are no architecture name, dropped: 'rm -rf /' "
                       "'quarn2147483648' 'quarn010' 'quarn-0'\ngpu_arch-publish: '@/program' printed a last line without "
                       "its newline, 'quarn90': its answer is incomplete: no GPU architecture is published\n", .status = 1,
                .out = json_failed("program' printed a last line without its newline, 'quarn90': its answer is incomplete")},
    PublishCase{.name = "json_fails", .program = fails, .args = {"json"}, .err = no_answer, .status = 1,
                .out = json_failed("program' failed (exit status 3)")},
    PublishCase{.name = "json_hangs_ignoring_sigterm", .program = "trap '' TERM; echo quarn1000; sleep 30", .args = {"json"},
                .err = "gpu_arch-publish: '@/program' did not finish within 10 s and was killed: no GPU architecture is published\n",
                .status = 1, .out = json_failed(killed), .seconds = 10},
    PublishCase{.name = "json_killed_by_a_signal", .program = "kill -SEGV $$", .args = {"json"},
                .err = "gpu_arch-publish: '@/program' was killed by signal Segmentation fault: no GPU architecture is published\n",
                .status = 1, .out = json_failed("program' was killed by signal Segmentation fault")},
    PublishCase{.name = "json_much_junk", .program = "yes x | head -n 60000; echo quarn904", .args = {"json"},
                .err = "gpu_arch-publish: '@/program' printed lines that are no architecture name, dropped: 'x' 'x' 'x' 'x' 'x' "
                       "'x' 'x' 'x' 'x' 'x' and 59990 more\n", .out = json_quarn904},
    PublishCase{.name = "json_errors_bounded", .program = "yes 'Can not find supported GPU!' | head -c 50000 >&2; echo quarn904",
                .args = {"json"}, .err = replaced(std::string(20, '.'), ".", "gpu_arch-publish: '@/program' says: 'Can not find "
                       "supported GPU!'\n") + "gpu_arch-publish: '@/program' wrote 49440 more bytes on standard error, dropped\n",
                .out = json_quarn904},
    // More than a pipe holds: read while it runs, or it would block until killed.
    PublishCase{.name = "json_errors_past_a_pipe", .program = "yes | head -c 200000 >&2; echo quarn904", .args = {"json"},
                .err = replaced(std::string(20, '.'), ".", "gpu_arch-publish: '@/program' says: 'y'\n") + "gpu_arch-publish: "
                       "'@/program' wrote 199960 more bytes on standard error, dropped\n", .out = json_quarn904},
    // Bounded in lines too: the verdict follows.
    PublishCase{.name = "json_blank_lines_then_fails", .program = "yes '' | head -n 4000 >&2; exit 3", .args = {"json"},
                .err = replaced(std::string(20, '.'), ".", "gpu_arch-publish: '@/program' says: ''\n") + "gpu_arch-publish: "
                       "'@/program' wrote 3980 more bytes on standard error, dropped\n" + no_answer, .status = 1,
                .out = json_failed("program' failed (exit status 3)")},
    PublishCase{.name = "json_group_killed",
                .program = "(trap '' TERM; exec sleep 30) >/dev/null 2>&1 & echo $! >\"$0.grandchild\"; echo quarn904",
                .args = {"json"}, .err = "", .out = json_quarn904,
                .check = [](DriverTree &tree) { EXPECT_TRUE(gone(tree, "program.grandchild")); }},
    PublishCase{.name = "json_lost_output", .program = good, .args = {"json"}, .err = "write: No space left on device\n",
                .status = 1, .options = {.stdout_to = Stdout::DevFull}},
    PublishCase{.name = "json_reader_gone", .program = good, .args = {"json"}, .err = "write: Broken pipe\n", .status = 1,
                .options = {.stdout_to = Stdout::ReaderGone}},
    // The fact takes the lifetime kept with the answer, and exits 0 so that
    // Ansible keeps it.
    PublishCase{.name = "fact_fails_within_the_kept_lifetime", .program = fails, .args = {}, .err = kept_for(500, 1000),
                .out = "{\"architectures\": [\"quarn904\"], \"gpus\": {\"quarn904\": 3}, \"success\": false, \"last_success\": "
                       "\"<now-500>\", \"error\": \"'@/program' failed (exit status 3)\"}\n",
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(500, "lifetime 1000\nquarn904 3\n")); },
                .as = "gpu_arch.fact"},
    PublishCase{.name = "json_floods", .program = "yes quarn1000 | head -c 2097152", .args = {"json"},
                .err = "gpu_arch-publish: '@/program' printed more than 1048576 bytes and was killed: no GPU architecture is "
                       "published\n", .status = 1, .out = json_failed("program' printed more than 1048576 bytes and was killed")},
    PublishCase{.name = "json_grandchild_holds_output", .program = "echo quarn904; sleep 30 & exit 0", .args = {"json"},
                .err = "", .out = json_quarn904},
    PublishCase{.name = "json_output_closed_before_exit", .program = "echo quarn904; exec >&-; sleep 0.2", .args = {"json"},
                .err = "", .out = json_quarn904},
    PublishCase{.name = "json_output_closed_then_hangs", .program = "echo quarn904; exec >&-; trap '' TERM; sleep 30",
                .args = {"json"},
                .err = "gpu_arch-publish: '@/program' did not finish within 10 s and was killed: no GPU architecture is published\n",
                .status = 1, .out = json_failed(killed), .seconds = 10},
    PublishCase{.name = "json_parent_ignores_sigchld", .program = good, .args = {"json"}, .err = "", .out = json_good,
                .options = {.ignore_sigchld = true}},
    // gpu_arch starts as a shell starts it, whatever this program blocks.
    PublishCase{.name = "json_program_starts_with_no_signal_blocked", .program = good, .args = {"json"}, .err = "",
                .out = json_quarn904, .files = {{"signals", "SigBlk:\t0000000000000000\nSigIgn:\t0000000\n"}},
                .setup = [](DriverTree &tree) {
                    // Not a shell, which would clear its mask itself; the C
                    // library's own signals, 32 and up, are the caller's.
                    write(tree, "masked", "#!/usr/bin/awk -f\nBEGIN { while ((getline line < \"/proc/self/status\") > 0) if (line "
                          "~ /^Sig(Blk|Ign)/) print line ~ /Ign/ ? substr(line, 1, 8) substr(line, 18) : line >\"signals\"; "
                          "print \"quarn904\" }\n", 0755);
                }, .env = {"GPU_ARCH_PROGRAM=@/masked"}},
    PublishCase{.name = "json_missing_program", .program = "", .args = {"json"},
                .err = "gpu_arch-publish: '@/nothing' cannot be run: No such file or directory: no GPU architecture is published\n",
                .status = 1, .out = json_failed("nothing' cannot be run: No such file or directory"),
                .env = {"GPU_ARCH_PROGRAM=@/nothing"}},
    // Without GPU_ARCH_PROGRAM, the build tree's gpu_arch beside it, on the
    // machine's /sys (no GPU driver here).
    PublishCase{.name = "json_finds_the_build_trees_gpu_arch", .program = good, .args = {"json"},
                .err = "gpu_arch-publish: '" GPU_ARCH_BINARY "' says: 'Can not find supported GPU!'\ngpu_arch-publish: '"
                       GPU_ARCH_BINARY "' found no supported GPU\n",
                .out = "{\"architectures\": [], \"gpus\": {}, \"success\": true, \"last_success\": \"<now>\"}\n",
                .env = {"GPU_ARCH_PROGRAM="}, .native = true},
    PublishCase{.name = "usage", .program = good, .args = {"prometheus"}, .err = usage, .status = 2},

    // prometheus: the file, the kept answer from the state folder, and the
    // files a hostile user stages.
    PublishCase{.name = "prometheus", .program = good, .args = {"prometheus", "@/exporter/gpu_arch.prom"}, .err = "",
                .files = {{"exporter/gpu_arch.prom", prom_good}, {"exporter", "/"}, {"state/architectures", state_good}}},
    PublishCase{.name = "prometheus_under_umask_077", .program = good, .args = {"prometheus", "@/e/gpu_arch.prom"}, .err = "",
                .files = {{"e/gpu_arch.prom", prom_good}, {"e", "/"}}, .umask = 077},
    PublishCase{.name = "prometheus_fails_with_nothing_kept", .program = fails, .args = {"prometheus", "@/e/gpu_arch.prom"},
                .err = no_answer, .status = 1, .files = {{"e/gpu_arch.prom", nothing_kept}}},
    PublishCase{.name = "prometheus_answer_from_the_future", .program = fails, .args = {"prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: not using the answer kept in '@/state/architectures': its answer is from <now+1000>, "
                       "after now (was the clock set back?)\n" + no_answer, .status = 1,
                .files = {{"e/gpu_arch.prom", nothing_kept}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(-1000, "lifetime 300\nquarn904 3\n")); }},
    PublishCase{.name = "prometheus_on_its_own_takes_the_kept_lifetime", .program = fails,
                .args = {"prometheus", "@/e/gpu_arch.prom"}, .err = kept_for(500, 1000) + "gpu_arch-publish: '@/e/gpu_arch.prom' keeps "
                       "the architectures of the last run that answered, and gpu_arch_detection_success 0\n", .status = 1,
                .files = {{"e/gpu_arch.prom", prom_head + "gpu_arch_info{arch=\"quarn904\"} 1\n" + prom_gpus +
                           "gpu_arch_gpus{arch=\"quarn904\"} 3\n" + prom_success + "0\n" + prom_times("<now-500>", "1000", "")}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(500, "lifetime 1000\nquarn904 3\n")); }},
    PublishCase{.name = "prometheus_state_folder_open_to_others", .program = good, .args = {"prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot keep state: '@/state' is writable by another user\n",
                .files = {{"e/gpu_arch.prom", prom_good}},
                .setup = [](DriverTree &tree) { EXPECT_EQ(chmod(tree.path("state").c_str(), 0775), 0); }},
    PublishCase{.name = "prometheus_state_is_a_link", .program = fails, .args = {"prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot read '@/state/architectures': it is a symbolic link\n" + no_answer, .status = 1,
                .files = {{"e/gpu_arch.prom", nothing_kept}},
                .setup = [](DriverTree &tree) {
                    write(tree, "kept", kept_since(10, "lifetime 300\nquarn904 3\n"));
                    fs::create_symlink("../kept", tree.path("state/architectures"));
                }},
    // What killed passes left of their own: old, regular, root's, named as
    // the program names them. Nothing else goes.
    PublishCase{.name = "prometheus_removes_what_a_killed_pass_left", .program = good, .args = {"prometheus", "@/e/gpu_arch.prom"},
                .err = "", .files = {{"e/.gpu_arch.prom.0123abcd", "-"}, {"e/.gpu_arch.prom.0123abce", ""},
                                     {"e/.gpu_arch.prom.0123abcg", ""}, {"e/.gpu_arch.prom.0123abcf", ""}, {"e/.gpu_arch.prom.0123", ""}},
                .setup = [](DriverTree &tree) {
                    aged(tree, "e/.gpu_arch.prom.0123abcd");
                    aged(tree, "e/.gpu_arch.prom.0123abce", 10);
                    aged(tree, "e/.gpu_arch.prom.0123abcg");
                    aged(tree, "e/.gpu_arch.prom.0123abcf", 1000, 65534);
                    aged(tree, "e/.gpu_arch.prom.0123");
                }, .root = true},
    // Only under systemd does a read-only folder get the line for its sandbox.
    PublishCase{.name = "prometheus_read_only_under_systemd", .program = good, .args = {"prometheus", "@/ro/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/ro/gpu_arch.prom': Read-only file system (to let "
                       "gpu_arch-publish.service write there, add the line ReadWritePaths=@/ro below [Service] with "
                       "systemctl edit gpu_arch-publish.service)\n" + held("@/ro/gpu_arch.prom"), .status = 1,
                .setup = read_only_ro, .env = {service}, .root = true, .as = "read-only", .wrapped = true},
    PublishCase{.name = "prometheus_read_only_hint_quoted", .program = good, .args = {"prometheus", "@/r\\o/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/r\\\\o/gpu_arch.prom': Read-only file system (to let "
                       "gpu_arch-publish.service write there, add the line ReadWritePaths='@/r\\\\o' below [Service] with "
                       "systemctl edit gpu_arch-publish.service)\n" + held("@/r\\\\o/gpu_arch.prom"), .status = 1,
                .setup = read_only("r\\o"), .env = {service}, .root = true, .as = "read-only", .wrapped = true},
    // By hand, or another unit's pass (INVOCATION_ID alone): no hint about this service.
    PublishCase{.name = "prometheus_read_only_by_hand", .program = good, .args = {"prometheus", "@/ro/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/ro/gpu_arch.prom': Read-only file system\n" + held("@/ro/gpu_arch.prom"), .status = 1,
                .setup = read_only_ro, .env = {"INVOCATION_ID=1"}, .root = true, .as = "read-only", .wrapped = true},
    PublishCase{.name = "prometheus_newline_in_the_path", .program = good, .args = {"prometheus", "@/e\n/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/e\\x0a/gpu_arch.prom': '@/e\\x0a' is a regular file, not a folder\n" + held("@/e\\x0a/gpu_arch.prom"),
                .status = 1, .setup = [](DriverTree &tree) { write(tree, "e\n", ""); }},
    PublishCase{.name = "prometheus_dot_dot", .program = good, .args = {"prometheus", "@/a/../e/gpu_arch.prom"}, .err = "",
                .files = {{"e/gpu_arch.prom", prom_good}, {"a/e", "-"}}, .setup = [](DriverTree &tree) { tree.add({"a"}); }},
    PublishCase{.name = "prometheus_absolute_link", .program = good, .args = {"prometheus", "@/sub/e/gpu_arch.prom"}, .err = "",
                .files = {{"real/gpu_arch.prom", prom_good}},
                .setup = [](DriverTree &tree) {
                    tree.add({"real"});
                    tree.add({"sub"});
                    fs::create_symlink(tree.path("real"), tree.path("sub/e"));
                }},
    PublishCase{.name = "prometheus_link_chain_past_40", .program = good, .args = {"prometheus", "@/l41/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/l41/gpu_arch.prom': '@/l1': Too many levels of symbolic links\n" + held("@/l41/gpu_arch.prom"),
                .status = 1, .setup = [](DriverTree &tree) {
                    tree.add({"l0"});
                    for (int link = 1; link <= 41; ++link) {
                        fs::create_symlink("l" + std::to_string(link - 1), tree.path("l" + std::to_string(link)));
                    }
                }},
    PublishCase{.name = "prometheus_link_loop", .program = good, .args = {"prometheus", "@/loop/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/loop/gpu_arch.prom': '@/loop': Too many levels of symbolic links\n" + held("@/loop/gpu_arch.prom"),
                .status = 1, .setup = [](DriverTree &tree) { fs::create_symlink("loop", tree.path("loop")); }},
    PublishCase{.name = "prometheus_link_of_another_user_in_a_sticky_folder", .program = good,
                .args = {"prometheus", "@/tmp/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/tmp/e/gpu_arch.prom': '@/tmp/e' is a symbolic link that another user "
                       "could have placed\n" + held("@/tmp/e/gpu_arch.prom"), .status = 1, .files = {{"real/gpu_arch.prom", "-"}},
                .setup = [](DriverTree &tree) {
                    tree.add({"tmp", 01777});
                    EXPECT_EQ(chmod(tree.path("tmp").c_str(), 01777), 0);
                    tree.add({"real"});
                    hostile_link(tree, "@/real", "tmp/e");
                }, .root = true},
    PublishCase{.name = "prometheus_root_link_in_another_users_folder", .program = good,
                .args = {"prometheus", "@/lib/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/lib/e/gpu_arch.prom': '@/lib/e' is a symbolic link that another user "
                       "could have placed\n" + held("@/lib/e/gpu_arch.prom"), .status = 1, .files = {{"real/gpu_arch.prom", "-"}},
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "lib");
                    tree.add({"real"});
                    fs::create_symlink(tree.path("real"), tree.path("lib/e"));
                }, .root = true},
    PublishCase{.name = "prometheus_file_the_exporter_ignores", .program = good, .args = {"prometheus", "@/e/gpu_arch.txt"},
                .err = "gpu_arch-publish: warning: '@/e/gpu_arch.txt' does not end in .prom, and the node exporter reads only "
                       "files that do\n", .files = {{"e/gpu_arch.txt", prom_good}}},
    PublishCase{.name = "prometheus_keeps_the_last_answer", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = kept_for(100, 300) + "gpu_arch-publish: '@/exporter/gpu_arch.prom' keeps the architectures of the last run that "
                       "answered, and gpu_arch_detection_success 0\n", .status = 1,
                .files = {{"exporter/gpu_arch.prom", prom_head + "gpu_arch_info{arch=\"quarn904\"} 1\n" + prom_gpus +
                           "gpu_arch_gpus{arch=\"quarn904\"} 3\n" + prom_success + "0\n" + prom_times("<now-100>", "300", "")}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n")); }},
    PublishCase{.name = "prometheus_past_the_lifetime", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer, .status = 1,
                .files = {{"exporter/gpu_arch.prom", prom_head + prom_gpus + prom_success + "0\n" + prom_times("<now-400>", "300", "")}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/architectures", kept_since(400, "lifetime 300\nquarn904 3\n"));
                }},
    PublishCase{.name = "prometheus_lifetime_of_the_pass", .program = fails,
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom", "lifetime", "120"}, .err = no_answer, .status = 1,
                .files = {{"e/gpu_arch.prom", prom_head + prom_gpus + prom_success + "0\n" + prom_times("<now-200>", "120", "")}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/architectures", kept_since(200, "lifetime 300\nquarn904 3\n"));
                }},
    PublishCase{.name = "prometheus_fifo_planted", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer + "gpu_arch-publish: cannot write '@/exporter/gpu_arch.prom': it is a FIFO\n" + held("@/exporter/gpu_arch.prom"), .status = 1,
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "exporter");
                    EXPECT_EQ(mkfifo(tree.path("exporter/gpu_arch.prom").c_str(), 0644), 0);
                }, .root = true},
    PublishCase{.name = "prometheus_dev_zero_planted", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer + "gpu_arch-publish: cannot write '@/exporter/gpu_arch.prom': it is a symbolic link\n" + held("@/exporter/gpu_arch.prom"), .status = 1,
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "exporter");
                    hostile_link(tree, "/dev/zero", "exporter/gpu_arch.prom");
                }, .root = true},
    PublishCase{.name = "prometheus_folder_swapped_for_a_link", .program = good,
                .args = {"prometheus", "@/lib/node-exporter/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/lib/node-exporter/gpu_arch.prom': '@/lib/node-exporter' is a symbolic "
                       "link that another user could have placed\n" + held("@/lib/node-exporter/gpu_arch.prom"), .status = 1,
                .files = {{"victim/gpu_arch.prom", "-"}},
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "lib");
                    tree.add({"victim"});
                    hostile_link(tree, "@/victim", "lib/node-exporter");
                }, .root = true},
    PublishCase{.name = "prometheus_no_folder_made_below_another_user", .program = good,
                .args = {"prometheus", "@/lib/made/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/lib/made/gpu_arch.prom': '@/lib/made' is missing, and is not made in a "
                       "folder that another user owns\n" + held("@/lib/made/gpu_arch.prom"), .status = 1, .files = {{"lib/made", "-"}},
                .setup = [](DriverTree &tree) { hostile_folder(tree, "lib"); }, .root = true},
    PublishCase{.name = "prometheus_root_link_followed", .program = good, .args = {"prometheus", "@/link/gpu_arch.prom"},
                .err = "", .files = {{"real/gpu_arch.prom", prom_good}},
                .setup = [](DriverTree &tree) { tree.add({"real"}); fs::create_symlink("real", tree.path("link")); }},
    PublishCase{.name = "prometheus_relative_path", .program = good, .args = {"prometheus", "gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write 'gpu_arch.prom': it is a relative path; an absolute one is needed\n" + held("gpu_arch.prom"),
                .status = 1, .files = {{"gpu_arch.prom", "-"}}},
    PublishCase{.name = "nfd_folder_for_a_file", .program = good, .args = {"nfd", "@/features.d/"},
                .err = "gpu_arch-publish: cannot write '@/features.d/': it names a folder; the path of a file in it is needed\n" + held("@/features.d/", "the labels an earlier pass wrote there, if any, until their expiry"),
                .status = 1},
    PublishCase{.name = "prometheus_folder_closed_to_nobody", .program = good, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/exporter/gpu_arch.prom': Permission denied\n" + held("@/exporter/gpu_arch.prom"), .status = 1,
                .setup = [](DriverTree &tree) { tree.add({"exporter"}); }, .root = true, .options = {.unprivileged = true}},

    // nfd: the labels in UTC whatever the time zone, and the prefix.
    PublishCase{.name = "nfd", .program = good, .args = {"nfd", "@/features.d/gpu_arch", "example.org"}, .err = "",
                .files = {{"features.d/gpu_arch", nfd_good}}, .env = {"TZ=Asia/Tokyo"}},
    // Labels no longer than the answer allows: with none to show, none at all.
    PublishCase{.name = "nfd_fails_with_nothing_kept_takes_the_labels_away", .program = fails, .args = {"nfd", "@/features.d/gpu_arch"},
                .err = no_answer + "gpu_arch-publish: removed '@/features.d/gpu_arch', so that node feature discovery drops its "
                       "labels\n", .status = 1, .files = {{"features.d/gpu_arch", "-"}},
                .setup = [](DriverTree &tree) { write(tree, "features.d/gpu_arch", "old\n"); }},
    // A clock set back: the kept answer is refused, and so are its labels.
    PublishCase{.name = "nfd_answer_from_the_future_takes_the_labels_away", .program = fails, .args = {"nfd", "@/features.d/gpu_arch"},
                .err = "gpu_arch-publish: not using the answer kept in '@/state/architectures': its answer is from <now+2592000>, "
                       "after now (was the clock set back?)\n" + no_answer + "gpu_arch-publish: removed '@/features.d/gpu_arch', "
                       "so that node feature discovery drops its labels\n", .status = 1, .files = {{"features.d/gpu_arch", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "features.d/gpu_arch", "old\n");
                    write(tree, "state/architectures", kept_since(-2592000, "lifetime 300\nquarn904 3\n"));
                }},
    // gpu_arch's output cut short is no answer: the last one is kept.
    PublishCase{.name = "nfd_incomplete_answer_keeps_the_last", .program = "printf %s quarn1000", .args = {"nfd", "@/features.d/gpu_arch"},
                .err = "gpu_arch-publish: '@/program' printed a last line without its newline, 'quarn1000': its answer is "
                       "incomplete: the last answer, from <now-100>, is kept until <now+200>\ngpu_arch-publish: "
                       "'@/features.d/gpu_arch' keeps the labels of the last run that answered, until <now+200>\n", .status = 1,
                .files = {{"features.d/gpu_arch", nfd_kept},
                          {"state/architectures", "since <now-100>\nlifetime 300\nquarn904 3\n"}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n")); }},
    PublishCase{.name = "nfd_expiry_follows_the_lifetime", .program = good,
                .args = {"pass", "nfd", "@/features.d/gpu_arch", "lifetime", "120", "nfd-prefix", "example.org"}, .err = "",
                .files = {{"features.d/gpu_arch", replaced(nfd_good, "now+300", "now+120")},
                          {"state/architectures", replaced(state_good, "300", "120")}}},
    PublishCase{.name = "nfd_failing_within_the_lifetime_keeps_the_file", .program = fails, .args = {"nfd", "@/features.d/gpu_arch"},
                .err = kept_for(100, 300) + "gpu_arch-publish: '@/features.d/gpu_arch' keeps the labels of the last run that "
                       "answered, until <now+200>\n", .status = 1,
                .files = {{"features.d/gpu_arch", nfd_kept}},
                .setup = [](DriverTree &tree) {
                    write(tree, "features.d/gpu_arch", "old\n");
                    write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n"));
                }},
    // A node without GPUs keeps its gpus=0 while its answer is kept.
    PublishCase{.name = "nfd_failing_keeps_no_gpu", .program = fails, .args = {"nfd", "@/features.d/gpu_arch", "example.org"},
                .err = kept_for(100, 300) + "gpu_arch-publish: '@/features.d/gpu_arch' keeps the labels of the last run that "
                       "answered, until <now+200>\n", .status = 1,
                .files = {{"features.d/gpu_arch", "# GPU architectures of this node, written by gpu_arch-publish.\n"
                           "# +expiry-time=<now+200>\nexample.org/gpus=0\n"}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(100, "lifetime 300\n")); }},
    // A damaged state is said, not used, and healed by the next answer.
    PublishCase{.name = "nfd_kept_lifetime_out_of_range", .program = good, .args = {"nfd", "@/features.d/gpu_arch", "example.org"},
                .err = "gpu_arch-publish: not using the answer kept in '@/state/architectures': line 2, 'lifetime "
                       "9223372036854775807'" + not_a_line,
                .files = {{"features.d/gpu_arch", nfd_good}, {"state/architectures", state_good}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/architectures", kept_since(10, "lifetime 9223372036854775807\nquarn904 1\n"));
                }},
    PublishCase{.name = "nfd_dot_file", .program = good, .args = {"nfd", "@/features.d/.gpu_arch"},
                .err = "gpu_arch-publish: warning: node feature discovery reads only files right in features.d whose names "
                       "do not start with a dot, not '@/features.d/.gpu_arch'\n"},
    PublishCase{.name = "nfd_file_in_a_subfolder", .program = good, .args = {"nfd", "@/features.d/sub/gpu_arch"},
                .err = "gpu_arch-publish: warning: node feature discovery reads only files right in features.d whose names "
                       "do not start with a dot, not '@/features.d/sub/gpu_arch'\n"},
    PublishCase{.name = "nfd_unusable_prefix", .program = good, .args = {"nfd", "@/features.d/gpu_arch", "kubernetes.io"},
                .err = unusable, .status = 2, .files = {{"features.d/gpu_arch", "-"}}},

    // The pass: settings before consumers, the worst status, the defaults
    // file's words, and a journal that a steady state leaves quiet.
    PublishCase{.name = "pass", .program = good,
                .args = {"pass", "nfd", "@/features.d/gpu_arch", "prometheus", "@/e/gpu_arch.prom", "nfd-prefix", "example.org"},
                .err = "", .files = {{"features.d/gpu_arch", nfd_good}, {"e/gpu_arch.prom", prom_good}, {"state/writers", "-"}}},
    PublishCase{.name = "pass_first_failure_counts", .program = good,
                .args = {"pass", "prometheus", "@/e.prom", "nfd", "@/features.d/gpu_arch", "nfd-prefix", "example.org"},
                .err = "gpu_arch-publish: cannot write '@/e.prom': it is a FIFO\n" + held("@/e.prom"), .status = 1,
                .files = {{"features.d/gpu_arch", nfd_good}},
                .setup = [](DriverTree &tree) { EXPECT_EQ(mkfifo(tree.path("e.prom").c_str(), 0644), 0); }},
    // Mistakes in the words of a pass, named with where they came from.
    PublishCase{.name = "pass_paths_refused", .program = good, .args = {"pass", "nfd", "@/features.d/gpu_arch"},
                .err = "gpu_arch-publish: GPU_ARCH_PUBLISH in the environment: '@/e/gpu_arch.prom,' after prometheus holds a "
                       "comma: separate the words of a pass with blanks, as in \"prometheus FILE nfd FILE\"\ngpu_arch-publish: "
                       "GPU_ARCH_PUBLISH in the environment: 'gpu_arch.prom' after prometheus is a relative path: write the "
                       "absolute one, starting with /\ngpu_arch-publish: GPU_ARCH_PUBLISH in the environment: '@/features.d/' "
                       "after nfd is a folder: write the path of a file in it, such as '@/features.d/gpu_arch'\n", .status = 1,
                .files = {{"e", "-"}, {"e/gpu_arch.prom,", "-"}}, .setup = [](DriverTree &tree) { tree.add({"features.d"}); },
                .env = {"GPU_ARCH_PUBLISH=prometheus @/e/gpu_arch.prom, prometheus gpu_arch.prom nfd @/features.d/"}},
    PublishCase{.name = "pass_bad_words_in_defaults", .program = good, .args = {"pass"},
                .err = "gpu_arch-publish: GPU_ARCH_PUBLISH in the environment: 'bogus' names no consumer; " +
                       pass_takes + "\ngpu_arch-publish: GPU_ARCH_PUBLISH in the environment: 'nfd' needs FILE after it\ngpu_arch-publish: cannot use 'kubernetes.io' as the label prefix: Kubernetes keeps "
                       "kubernetes.io and k8s.io to itself, but for feature.node.kubernetes.io and its subdomains\n", .status = 1,
                .files = {{"e/gpu_arch.prom", prom_good}},
                .env = {"GPU_ARCH_PUBLISH=prometheus @/e/gpu_arch.prom bogus x nfd-prefix kubernetes.io\tnfd"}},
    PublishCase{.name = "pass_lifetimes_refused", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot use '0' as the lifetime: it is a number of seconds from 120 to 604800\n"
                       "gpu_arch-publish: cannot use '5m' as the lifetime: it is a number of seconds from 120 to 604800\n"
                       "gpu_arch-publish: cannot use '700000' as the lifetime: it is a number of seconds from 120 to 604800\n"
                       "gpu_arch-publish: cannot use '30' as the lifetime: it is a number of seconds from 120 to 604800 (a pass "
                       "every 60 s must renew what the last one published before it expires)\n",
                .status = 1, .files = {{"e/gpu_arch.prom", prom_good}},
                .env = {"GPU_ARCH_PUBLISH=lifetime 0 lifetime 5m lifetime 700000 lifetime 30"}},
    PublishCase{.name = "pass_unknown_word_in_defaults", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: GPU_ARCH_PUBLISH in '" GPU_ARCH_PUBLISH_DEFAULTS "': 'bogus' names no consumer; " +
                       pass_takes + "\n" + has_good, .status = 1, .files = {{"e/gpu_arch.prom", prom_good}},
                .env = {"GPU_ARCH_PUBLISH=bogus", service}},
    // A lifetime no longer set gives way to the default.
    PublishCase{.name = "pass_without_lifetime_takes_the_default", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "", .files = {{"e/gpu_arch.prom", prom_good}, {"state/architectures", state_good}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(10, "lifetime 604800\nquarn904 3\n")); }},
    PublishCase{.name = "pass_bad_word_on_the_command_line", .program = good, .args = {"pass", "prometheus"},
                .err = "gpu_arch-publish: pass: 'prometheus' needs FILE after it\n" + usage, .status = 2},
    PublishCase{.name = "pass_names_no_consumer", .program = good, .args = {"pass", "slurm-pending", "@/run"},
                .err = "gpu_arch-publish: no consumer is named: name them in GPU_ARCH_PUBLISH in the environment (see "
                       "gpu_arch-publish(8))\n"},
    // A flood of messages: the bound drops the rest, but not the verdict.
    PublishCase{.name = "pass_flood_of_messages_keeps_the_verdict", .program = fails, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = [] {
                    const std::string bogus = "gpu_arch-publish: GPU_ARCH_PUBLISH in the environment: 'bogus' names no consumer; " +
                                              pass_takes + "\n";
                    const size_t shown = size_t{48 * 1024} / bogus.size();
                    return replaced(std::string(shown, '.'), ".", bogus) + no_answer + "gpu_arch-publish: " +
                           std::to_string((300 - shown) * bogus.size()) + " more bytes of messages were dropped\n";
                }(), .status = 1, .env = {"GPU_ARCH_PUBLISH=" + replaced(std::string(600, '.'), ".", "bogus ")}},
    // A pass sends the update that slurmd's start left.
    PublishCase{.name = "pass_sends_the_pending_update", .program = good, .args = {"pass", "slurm-pending", "@/run", "nfd", "@/f/gpu_arch"},
                .err = "gpu_arch-publish: slurmctld now holds the features of node 'n1': 'site_a,quarn904'\n",
                .files = {{"run/slurmctld-update", "-"},
                          {"bin/scontrol.log", "update NodeName=n1 AvailableFeatures=site_a,quarn904 ActiveFeatures=site_a,quarn904\n"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmctld-update", pending_n1); drop_in(tree); }},
    // A pass that holds the lock longer than it waits for it.
    PublishCase{.name = "pass_holds_the_lock_past_its_wait", .program = good, .args = {"pass", "slurm-pending", "@/run", "nfd", "@/f/gpu_arch"},
                .err = "gpu_arch-publish: slurmctld now holds the features of node 'n1': 'site_a,quarn904'\n",
                .files = {{"run/slurmctld-update", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    drop_in(tree);
                    write(tree, "bin/scontrol.does", "sleep 6\n");
                }, .seconds = 6},
    // A failing pass keeps its lifetime with the answer, for the fact.
    PublishCase{.name = "pass_failing_keeps_its_lifetime", .program = fails, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = no_answer, .status = 1,
                .files = {{"e/gpu_arch.prom", prom_head + prom_gpus + prom_success + "0\n" + prom_times("<now-500>", "300", "")},
                          {"state/architectures", "since <now-500>\nlifetime 300\nquarn904 3\n"}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(500, "lifetime 604800\nquarn904 3\n")); }},
    // An output cut short by far is quoted within bounds: the verdict is said.
    PublishCase{.name = "pass_long_incomplete_line", .program = "echo quarn1000; head -c 300 /dev/zero | tr '\\0' x",
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom"}, .err = "gpu_arch-publish: '@/program' printed a last line "
                "without its newline, '" + std::string(100, 'x') + "'...: its answer is incomplete: no GPU architecture is "
                "published\n", .status = 1},
    // A user's pass cannot keep its answer in root's state folder.
    PublishCase{.name = "pass_state_of_another_user", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot keep the answer in '@/state/architectures': the folder is another user's; "
                       "until an answer is kept, a failing pass shows none rather than an older one\n", .status = 1,
                .setup = [](DriverTree &tree) { hostile_folder(tree, "e"); }, .root = true, .options = {.unprivileged = true}},
    // A state folder that cannot be written is said, and fails the pass.
    PublishCase{.name = "pass_state_read_only", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot keep the answer in '@/state/architectures': Read-only file system; until an "
                       "answer is kept, a failing pass shows none rather than an older one\n", .status = 1,
                .files = {{"e/gpu_arch.prom", prom_good}}, .setup = read_only("state"), .root = true, .as = "read-only",
                .wrapped = true},
    PublishCase{.name = "pass_state_folder_cannot_be_opened", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot keep state: '@/state.file' is a regular file, not a folder\n", .status = 1,
                .files = {{"e/gpu_arch.prom", prom_good}}, .setup = [](DriverTree &tree) { write(tree, "state.file", ""); },
                .env = {"STATE_DIRECTORY=@/state.file"}},
    // A fresh answer shown but not kept: no later pass shows the older one,
    // so that last_success never goes back.
    PublishCase{.name = "pass_state_read_only_shows_no_older_answer", .program = "echo >>runs; [ $(wc -l <runs) = 1 ] || exit 3; " + good,
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: not using the answer kept in '@/state/architectures': the folder cannot be written "
                       "(Read-only file system), so a later answer may have been shown and not kept\n" + no_answer,
                .status = 1, .files = {{"e/gpu_arch.prom", nothing_kept}, {"state/architectures", "since <now-100>\nlifetime 300\nquarn904 3\n"}},
                .setup = [](DriverTree &tree) {
                    read_only("state")(tree);
                    write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n"));
                }, .runs = 2, .root = true, .as = "read-only", .wrapped = true},
    PublishCase{.name = "pass_state_full_shows_no_older_answer", .program = "echo >>runs; [ $(wc -l <runs) = 1 ] || exit 3; " + good,
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write '@/state/architectures': No space left on device\ngpu_arch-publish: "
                       "cannot keep the answer in '@/state/architectures'; until an answer is kept, a failing pass shows none "
                       "rather than an older one\n" + no_answer, .status = 1, .files = {{"e/gpu_arch.prom", nothing_kept}},
                .setup = full_state, .root = true, .as = "full", .wrapped = true},
    PublishCase{.name = "pass_says_it_once", .program = "echo 'Can not find supported GPU!' >&2", .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "", .files = {{"e/gpu_arch.prom", prom_head + prom_gpus + prom_success + "1\n" + prom_times("<now>", "300", "")}},
                .env = {service}, .runs = 2},
    // The service's journal tells each change once: passes of 2 GPUs, a
    // failure, 2, 1, 2 and 2 again.
    PublishCase{.name = "pass_tells_the_story_once",
                .program = "echo >>runs; case $(wc -l <runs) in 2) exit 3;; 4) echo quarn1000; exit;; esac; echo quarn1000; "
                           "echo quarn1000", .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: the node has quarn1000 (2)\n" + replaced(kept_for(0, 300), "<now-0>", "<now>") +
                       "gpu_arch-publish: '@/e/gpu_arch.prom' keeps the architectures of the last run that answered, and "
                       "gpu_arch_detection_success 0\ngpu_arch-publish: the node has quarn1000 (2); gpu_arch answers again\n"
                       "gpu_arch-publish: the node has quarn1000 (1); before, quarn1000 (2)\n"
                       "gpu_arch-publish: the node has quarn1000 (2); before, quarn1000 (1)\n",
                .setup = [](DriverTree &tree) {
                    write(tree, "story", "#!/bin/sh\nfor run in 1 2 3 4 5 6; do " GPU_ARCH_PUBLISH_BINARY " \"$@\"; done\n", 0755);
                }, .env = {service}, .as = "story", .wrapped = true},
    // By hand, or from another unit: all of it every time, and what the service said stays.
    PublishCase{.name = "pass_by_hand_says_everything", .program = "", .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "gpu_arch-publish: '@/program' found no supported GPU\n",
                .files = {{"state/messages", "service\n"}}, .setup = [](DriverTree &tree) {
                    write(tree, "state/messages", "service\n");
                }, .env = {"INVOCATION_ID=1"}, .runs = 2},
    // every: a pass each interval until a stop, which ends it within a
    // second, also mid-pass, with status 0 and the files as they are; what
    // the passes say is said once, and orphans are reaped; SIGHUP asks for a
    // pass at once.
    PublishCase{.name = "every_runs_a_pass_each_interval",
                .program = "echo >>runs; [ $(wc -l <runs) = 3 ] && echo quarn904 || " + good,
                .args = {"every", "1", "nfd", "@/features.d/gpu_arch", "nfd-prefix", "example.org"}, .err = has_good + "gpu_arch-publish: the node has quarn904 (1); before, quarn1000 (2), quarn904 (1)\n",
                .files = {{"features.d/gpu_arch", "# GPU architectures of this node, written by gpu_arch-publish.\n"
                           "# +expiry-time=<now+300>\nexample.org/quarn904=true\nexample.org/quarn904.gpus=1\n"
                           "example.org/gpus=1\n"}, {"runs", "\n\n\n"}, {"state/last-pass", "<now> 1 0\n"}},
                .options = {.signals_when = {{holds("features.d/gpu_arch", "example.org/gpus=1\n"), SIGTERM}}}},
    // Each orphan leaves the program's group (which a run's end kills),
    // waits to be an orphan, says whose it is and ends between passes, which
    // the publisher must reap before the next one starts.
    PublishCase{.name = "every_says_it_once_and_reaps_orphans",
                .program = "rm -f detached; setsid sh -c ': >detached; while awk -v p=$1 \"{ exit \\$4 != p }\" /proc/$$/stat; "
                           "do sleep 0.05; done; awk -v p=$0 \"{ print \\$4 == p ? \\\"ours\\\" : \\$4 }\" /proc/$$/stat "
                           ">>orphans; echo $$ >>ended' $PPID $$ &\n"
                           "until [ -e detached ]; do sleep 0.01; done\n"
                           "awk -v p=$PPID '$3 == \"Z\" && $4 == p' /proc/[0-9]*/stat 2>/dev/null | wc -l >>zombies\n" + fails,
                .args = {"every", "60", "prometheus", "@/e/gpu_arch.prom"}, .err = no_answer,
                .files = {{"e/gpu_arch.prom", nothing_kept}, {"zombies", "0\n0\n0\n"}, {"orphans", "ours\nours\nours\n"},
                          {"state/last-pass", "<now> 60 1\n"}},
                .options = {.signals_when = {{reaped("ended", 1), SIGHUP}, {reaped("ended", 2), SIGHUP},
                                             {reaped("ended", 3), SIGTERM}}}, .unemulated = true},
    PublishCase{.name = "every_hangup_runs_a_pass_at_once", .program = "echo >>runs; [ $(wc -l <runs) = 2 ] && echo quarn904 || " + good, .args = {"every", "60", "nfd", "@/f/gpu_arch"},
                .err = has_good + "gpu_arch-publish: the node has quarn904 (1); before, quarn1000 (2), quarn904 (1)\n", .files = {{"runs", "\n\n"}}, .options = {.signals_when = {{holds("f/gpu_arch", "/gpus=3\n"), SIGHUP},
                {holds("f/gpu_arch", "/gpus=1\n"), SIGTERM}}}},
    PublishCase{.name = "every_stopped_mid_pass", .program = "echo >started; sleep 3; " + good, .args = {"every", "60", "prometheus", "@/e/gpu_arch.prom"},
                .err = stopped_by("SIGTERM"), .files = {{"e/gpu_arch.prom", "-"}}, .options = {.signals_when = {{holds("started", "\n"), SIGTERM}}}},
    PublishCase{.name = "every_stopped_in_a_later_pass", .program = "echo >>runs; [ $(wc -l <runs) = 1 ] || sleep 3; " + good,
                .args = {"every", "1", "prometheus", "@/e/gpu_arch.prom"}, .err = has_good + stopped_by("SIGTERM"),
                .files = {{"e/gpu_arch.prom", replaced(prom_good, "seconds 60", "seconds 1")}, {"runs", "\n\n"}},
                .options = {.signals_when = {{holds("runs", "\n\n"), SIGTERM}}}},
    PublishCase{.name = "every_interrupted_between_passes", .program = good, .args = {"every", "60", "prometheus", "@/e/gpu_arch.prom"},
                .err = has_good, .files = {{"e/gpu_arch.prom", prom_good}}, .options = {.signals_when = {{holds("e/gpu_arch.prom", "seconds 60\n"), SIGINT}}}},
    PublishCase{.name = "every_interrupted_mid_pass", .program = "echo >started; sleep 3; " + good, .args = {"every", "60", "prometheus", "@/e/gpu_arch.prom"},
                .err = stopped_by("SIGINT"), .files = {{"e/gpu_arch.prom", "-"}}, .options = {.signals_when = {{holds("started", "\n"), SIGINT}}}},
    PublishCase{.name = "every_hangup_mid_pass_runs_one_after_it",
                .program = "echo >>runs; [ $(wc -l <runs) = 2 ] && echo quarn904 && exit; sleep 1; " + good,
                .args = {"every", "60", "nfd", "@/f/gpu_arch"}, .err = has_good + "gpu_arch-publish: the node has quarn904 (1); before, quarn1000 (2), quarn904 (1)\n", .files = {{"runs", "\n\n"}},
                .options = {.signals_when = {{holds("runs", "\n"), SIGHUP}, {holds("f/gpu_arch", "/gpus=1\n"), SIGTERM}}}},
    // The container's readiness: the long-running mode's last pass published
    // all it should, recently enough.
    PublishCase{.name = "ready", .program = fails, .args = {"ready"}, .err = "",
                .setup = [](DriverTree &tree) { write(tree, "state/last-pass", kept_since(100, "60 0\n").substr(6)); }},
    PublishCase{.name = "ready_not_after_a_failed_pass", .program = good, .args = {"ready"},
                .err = "gpu_arch-publish: not ready: the last pass, at <now-10>, did not publish all it should; its log says why\n",
                .status = 1, .setup = [](DriverTree &tree) { write(tree, "state/last-pass", kept_since(10, "60 1\n").substr(6)); }},
    PublishCase{.name = "ready_not_past_two_intervals", .program = good, .args = {"ready"},
                .err = "gpu_arch-publish: not ready: the last pass ended at <now-181>, not within two of its intervals (60 s) "
                       "and a minute\n", .status = 1,
                .setup = [](DriverTree &tree) { write(tree, "state/last-pass", kept_since(181, "60 0\n").substr(6)); }},
    PublishCase{.name = "ready_not_before_a_pass", .program = good, .args = {"ready"},
                .err = "gpu_arch-publish: not ready: no pass of gpu_arch-publish every has ended yet\n", .status = 1},
    PublishCase{.name = "ready_not_with_a_damaged_record", .program = good, .args = {"ready"},
                .err = "gpu_arch-publish: not ready: '@/state/last-pass' is damaged: '1 60'\n", .status = 1,
                .setup = [](DriverTree &tree) { write(tree, "state/last-pass", "1 60"); }},
    // A lifetime that a long interval would outlast is longer by default.
    PublishCase{.name = "every_long_interval_lengthens_the_lifetime", .program = good,
                .args = {"every", "3600", "nfd", "@/features.d/gpu_arch", "nfd-prefix", "example.org"}, .err = has_good,
                .files = {{"features.d/gpu_arch", replaced(nfd_good, "now+300", "now+3660")}},
                .options = {.signals_when = {{holds("features.d/gpu_arch", "gpus=3\n"), SIGTERM}}}},
    // The host's service and the long-running mode on one node with other
    // settings: the first to write goes on, the other gives way; both say so.
    PublishCase{.name = "writers_the_later_gives_way", .program = good,
                .args = {"every", "60", "nfd", "@/f/gpu_arch", "prometheus", "@/e/gpu_arch.prom"},
                .err = writers_said("gpu_arch-publish.service", "gpu_arch-publish every 60", true) + has_good,
                .files = {{"f/gpu_arch", "-"}, {"e/gpu_arch.prom", prom_good}, {"state/writers", "<now-10> 60 600 " + nfd_prefix + " gpu_arch-publish.service\n"
                           "<now> 60 300 " + nfd_prefix + " gpu_arch-publish every 60\n"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/writers", std::to_string(time(nullptr) - 10) + " 60 600 " + nfd_prefix + " gpu_arch-publish.service\n");
                }, .options = {.signals_when = {{holds("e/gpu_arch.prom", "seconds 60\n"), SIGTERM}}}},
    PublishCase{.name = "writers_the_first_goes_on", .program = good, .args = {"pass", "nfd", "@/f/gpu_arch"},
                .err = writers_said("gpu_arch-publish every 60", "gpu_arch-publish.service", false) + has_good,
                .files = {{"state/writers", "<now> 60 300 " + nfd_prefix + " gpu_arch-publish.service\n<now-10> 60 600 " +
                           nfd_prefix + " gpu_arch-publish every 60\n"}},
                .setup = [](DriverTree &tree) {
                    const std::string since = std::to_string(time(nullptr) - 10);
                    write(tree, "state/writers", since + " 60 300 " + nfd_prefix + " gpu_arch-publish.service\n" + since +
                          " 60 600 " + nfd_prefix + " gpu_arch-publish every 60\n" + std::to_string(time(nullptr) - 1000) +
                          " 30 600 " + nfd_prefix + " gpu_arch-publish every 30\n");
                }, .env = {service}},
    // A pass stopped by the service manager says so and ends what it started.
    // Another prefix alone is other settings; a writer counts while it wrote
    // within two intervals and a minute, and not from the future.
    PublishCase{.name = "writers_by_prefix_alone_and_within_the_window", .program = good, .args = {"pass", "nfd", "@/f/gpu_arch"},
                .err = replaced(writers_said("gpu_arch-publish every 60", "gpu_arch-publish.service", true), "600 and label prefix '" +
                                nfd_prefix, "300 and label prefix 'example.org"), .status = 1,
                .files = {{"f/gpu_arch", "-"}, {"state/writers", "<now-170> 60 300 example.org gpu_arch-publish every 60\n<now> 60 300 " +
                           nfd_prefix + " gpu_arch-publish.service\n"}},
                .setup = [](DriverTree &tree) {
                    const auto line = [](time_t ago, const std::string &rest) { return std::to_string(time(nullptr) - ago) + rest; };
                    write(tree, "state/writers", line(-1000, " 60 600 example.org gpu_arch-publish every 30\n") +
                          line(200, " 65 600 example.org gpu_arch-publish every 65\n") +
                          line(170, " 60 300 example.org gpu_arch-publish every 60\n"));
                }, .env = {service}},
    // One that gave way looks again within a minute, whatever its interval.
    PublishCase{.name = "writers_the_later_looks_again_within_a_minute", .program = "echo $PPID >publisher; " + good,
                .args = {"every", "3600", "nfd", "@/f/gpu_arch", "prometheus", "@/e/gpu_arch.prom"},
                .err = replaced(writers_said("gpu_arch-publish.service", "gpu_arch-publish every 3600", true), "lifetime 300", "lifetime 3660") +
                       has_good,
                .files = {{"f/gpu_arch", "-"}, {"waits", "within a minute\n"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/writers", std::to_string(time(nullptr) - 10) + " 60 600 " + nfd_prefix + " gpu_arch-publish.service\n");
                }, .options = {.signals_when = {{next_pass_noted, SIGTERM}}}, .unemulated = true},
    PublishCase{.name = "pass_stopped", .program = "sleep 30 & echo $! >\"$0.grandchild\"; wait",
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom"}, .err = stopped_by("SIGTERM"), .status = 1,
                .files = {{"e/gpu_arch.prom", "-"}}, .options = {.signals_when = {{holds("program.grandchild", "\n"), SIGTERM}}},
                .check = [](DriverTree &tree) { EXPECT_TRUE(gone(tree, "program.grandchild")); }},
    // A terminal's hangup ends a pass as a stop does.
    PublishCase{.name = "pass_hung_up", .program = "sleep 30 & echo $! >\"$0.grandchild\"; wait",
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom"}, .err = stopped_by("SIGHUP"), .status = 1,
                .files = {{"e/gpu_arch.prom", "-"}},
                .options = {.signals_when = {{holds("program.grandchild", "\n"), SIGHUP}}},
                .check = [](DriverTree &tree) { EXPECT_TRUE(gone(tree, "program.grandchild")); }},
    // A stop in the drain, which goes first, names what is not written yet.
    PublishCase{.name = "pass_stopped_between_consumers", .program = good,
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom", "slurm-drain", "n1", "nfd", "@/f/gpu_arch"},
                .err = "gpu_arch-publish: stopped by SIGTERM while waiting for 'scontrol'; gpu_arch had found quarn1000 (2), "
                       "quarn904 (1); not yet written, so still holding the last pass's answer: '@/e/gpu_arch.prom', "
                       "'@/f/gpu_arch'\n", .status = 1, .files = {{"e/gpu_arch.prom", "-"}, {"f/gpu_arch", "old\n"}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE"))(tree);
                    write(tree, "bin/scontrol.does", "sleep 30\n");
                    write(tree, "f/gpu_arch", "old\n");
                }, .options = {.signals_when = {{holds("bin/scontrol.log", "show node n1\n"), SIGTERM}}}},

    // Slurm: the pending update, through the folder's handle, with the
    // drop-in's consent.
    PublishCase{.name = "pending_sent", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld now holds the features of node 'n1': 'site_a,quarn904'\n",
                .files = {{"run/slurmctld-update", "-"},
                          {"bin/scontrol.log", "update NodeName=n1 AvailableFeatures=site_a,quarn904 ActiveFeatures=site_a,quarn904\n"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmctld-update", pending_n1); drop_in(tree); }},
    PublishCase{.name = "pending_none", .program = good, .args = {"slurm-pending", "@/run"}, .err = "",
                .files = {{"bin/scontrol.log", "-"}}, .setup = [](DriverTree &tree) { tree.add({"run"}); drop_in(tree); }},
    PublishCase{.name = "pending_for_an_unknown_node", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld does not know node 'n1': its update is dropped\n",
                .files = {{"run/slurmctld-update", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    drop_in(tree);
                    scontrol_answers(tree, "slurm_update error: Invalid node name specified\n", 1);
                }},
    PublishCase{.name = "pending_without_the_drop_in", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmd.service no longer has the drop-in gpu_arch-publish.conf: the update of node 'n1' "
                       "that it left is dropped\n",
                .files = {{"run/slurmctld-update", "-"}, {"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmctld-update", pending_n1); }},
    // The lock: held by another run, only for a while; of another user's, not at all.
    PublishCase{.name = "pending_lock_held", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: cannot lock '@/run/lock': another run of gpu_arch-publish has held it for 5 s\n",
                .status = 1, .files = {{"bin/scontrol.log", "-"}, {"run/slurmctld-update", pending_n1}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    lock_held(tree, "run/lock");
                    drop_in(tree);
                }, .seconds = 5, .check = release_lock},
    PublishCase{.name = "pass_stopped_waiting_for_the_lock", .program = good, .args = {"pass", "slurm-pending", "@/run", "nfd", "@/f/gpu_arch"},
                .err = "gpu_arch-publish: stopped by SIGINT while waiting for the lock '@/run/lock'; gpu_arch had found quarn1000 "
                       "(2), quarn904 (1); written: '@/f/gpu_arch'\n", .status = 1,
                .files = {{"bin/scontrol.log", "-"}, {"run/slurmctld-update", pending_n1}, {"f/gpu_arch", replaced(nfd_good, "example.org", nfd_prefix)}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    lock_held(tree, "run/lock");
                    drop_in(tree);
                }, .options = {.signals_when = {{lock_waited("run/lock"), SIGINT}}}, .check = release_lock},
    PublishCase{.name = "pending_lock_of_another_user", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: cannot lock '@/run/lock': another user could open it\n", .status = 1,
                .files = {{"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    write(tree, "run/lock", "", 0600);
                    EXPECT_EQ(chown(tree.path("run/lock").c_str(), 65534, 65534), 0);
                    drop_in(tree);
                }, .root = true},
    PublishCase{.name = "pending_a_link", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: cannot read '@/run/slurmctld-update': it is a symbolic link\n", .status = 1,
                .files = {{"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "update", pending_n1);
                    tree.add({"run"});
                    fs::create_symlink("../update", tree.path("run/slurmctld-update"));
                    drop_in(tree);
                }},
    PublishCase{.name = "pending_a_fifo", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: cannot read '@/run/slurmctld-update': it is a FIFO\n", .status = 1,
                .setup = [](DriverTree &tree) {
                    tree.add({"run"});
                    EXPECT_EQ(mkfifo(tree.path("run/slurmctld-update").c_str(), 0644), 0);
                }},
    // slurmd restarts while the retry waits for scontrol: its new folder
    // keeps the new update, not the stale one.
    PublishCase{.name = "pending_stale_update_stays_in_the_old_folder", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld did not take the features of node 'n1' (scontrol failed (exit status 1): "
                       "'down'): until it does, it may still hold the node's old GPU architectures; gpu_arch-publish.timer "
                       "retries every minute\ngpu_arch-publish: cannot write '@/run/slurmctld-update': No such file or directory\n",
                .status = 1, .files = {{"run/slurmctld-update", "n1\nsite_a,quarn1000\n"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    drop_in(tree);
                    scontrol_answers(tree, "down\n", 1);
                    write(tree, "bin/scontrol.does", at(tree, "rm -rf @/run && mkdir @/run && "
                                                             "printf 'n1\\nsite_a,quarn1000\\n' >@/run/slurmctld-update\n"));
                }},

    // slurm-drain: what the node should have, raised by fresh answers and
    // written only when it changes; a drain on a loss, once, and a resume
    // only of its own reason; slurmctld asked nothing while all is well.
    PublishCase{.name = "drain_first_answer_sets_what_the_node_should_have", .program = good, .args = {"pass", "slurm-drain", "n1"},
                .err = "", .files = {{"state/expected", state_good}, {"bin/scontrol.log", "show node n1\n"}}},
    PublishCase{.name = "drain_healthy_node_asks_nothing", .program = good, .args = {"slurm-drain", "n1"}, .err = "",
                .files = {{"state/expected", "since <now-100>\nlifetime 300\nquarn1000 2\nquarn904 1\n"}, {"bin/scontrol.log", "-"}},
                .setup = drain_state("quarn1000 2\nquarn904 1\n", "", "")},
    PublishCase{.name = "drain_on_a_loss", .program = good, .args = {"slurm-drain", "n1"},
                .err = drained_msg + "'gpu_arch: 2 of 3 quarn1000, 0 of 1 quarn2000'\n",
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 3 quarn1000, 0 of 1 quarn2000\n"},
                          {"state/slurm-drain", "n1\ndrained\ngpu_arch: 2 of 3 quarn1000, 0 of 1 quarn2000\nNone\n"},
                          {"state/expected", "since <now>\nlifetime 300\nquarn1000 3\nquarn2000 1\nquarn904 1\n"}},
                .setup = drain_state("quarn1000 3\nquarn2000 1\n", "", shows("IDLE"))},
    // Powered down is no drain of an administrator's.
    PublishCase{.name = "drain_powered_down_node", .program = good, .args = {"slurm-drain", "n1"},
                .err = drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n", .files = {{"state/slurm-drain", lost_noted}},
                .setup = drain_state("quarn1000 3\n", "", shows("IDLE+POWERED_DOWN"))},
    // A drain whose note cannot be kept (a full disk) is made all the same,
    // and the next pass asks slurmctld.
    PublishCase{.name = "drain_record_not_kept", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: cannot read '@/state/slurm-drain': it is a symbolic link\ngpu_arch-publish: cannot "
                       "write '@/state/slurm-drain': it is a symbolic link\ngpu_arch-publish: node 'n1' is drained without a "
                       "note of it: the next passes ask slurmctld\n" + drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n",
                .status = 1, .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 3 "
                                        "quarn1000\n"}, {"state/expected", "-"}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE"))(tree);
                    fs::create_symlink("/etc/shadow", tree.path("state/slurm-drain"));
                }},
    PublishCase{.name = "drain_names_one_node", .program = good, .args = {"slurm-drain", "n[1-64]"},
                .err = "gpu_arch-publish: cannot use 'n[1-64]' as the node's name: one node's, of letters, digits, '.', '_' and "
                       "'-' only\n", .status = 2, .files = {{"bin/scontrol.log", "-"}}},
    PublishCase{.name = "drain_steady", .program = good, .args = {"slurm-drain", "n1"}, .err = "",
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/slurm-drain", "n1\n" + lost + "\n"}},
                .setup = drain_state("quarn1000 3\n", lost, shows("IDLE+DRAIN", "gpu_arch: 2 of 3 quarn1000 [root@2024-05-01T10:00:00]"))},
    PublishCase{.name = "drain_with_a_new_reason", .program = good, .args = {"slurm-drain", "n1"},
                .err = drained_msg + "'gpu_arch: 2 of 3 quarn1000, 1 of 2 quarn904'\n",
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 3 quarn1000, 1 of 2 quarn904\n"}},
                .setup = drain_state("quarn1000 3\nquarn904 2\n", lost, shows("MIXED+DRAIN", "gpu_arch: 2 of 3 quarn1000"))},
    PublishCase{.name = "drain_leaves_the_administrators_drain", .program = good, .args = {"slurm-drain", "n1"},
                .err = left_msg + "'fan', is not one that gpu_arch-publish set\n",
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/slurm-drain", "-"}},
                .setup = drain_state("quarn1000 3\n", "", shows("DOWN", "fan [admin@2024-05-01T10:00:00]"))},
    PublishCase{.name = "drain_resumes_what_it_drained", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' resumed in slurmctld: it has all its GPUs again\n",
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=RESUME\n"}, {"state/slurm-drain", "-"}},
                .setup = drain_state("quarn1000 2\n", lost, shows("IDLE+DRAIN", "gpu_arch: 2 of 3 quarn1000 [root@2024-05-01T10:00:00]"))},
    PublishCase{.name = "drain_leaves_a_changed_reason", .program = good, .args = {"slurm-drain", "n1"},
                .err = left_msg + "'fan', is not one that gpu_arch-publish set\n",
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/slurm-drain", "n1\n" + lost + "\n"}},
                .setup = drain_state("quarn1000 2\n", lost, shows("IDLE+DRAIN", "fan"))},
    PublishCase{.name = "drain_taken_over_then_resumed_by_hand", .program = good, .args = {"slurm-drain", "n1"}, .err = "gpu_arch-publish: "
                "node 'n1' was resumed by hand with 2 of 3 quarn1000: what it has now is what it should have\n",
                .files = {{"state/slurm-drain", "-"}, {"state/expected", state_good}}, .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", lost, shows("IDLE+DRAIN", "fan"))(tree);
                    write(tree, "bin/scontrol.does", "[ -f \"$0.once\" ] && sed -i 's/+DRAIN//; s/fan//' \"$0.says\"; touch \"$0.once\"\n");
                }, .runs = 2},
    PublishCase{.name = "drain_resumed_by_hand_takes_what_the_node_has", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' was resumed by hand with 2 of 3 quarn1000: what it has now is what it should have\n",
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/slurm-drain", "-"}, {"state/expected", state_good}},
                .setup = drain_state("quarn1000 3\n", lost + "\n2024-05-01T10:00:00", shows("IDLE", "", "2024-05-01T10:00:01"))},
    PublishCase{.name = "drain_controller_down", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: cannot read the state of node 'n1' in slurmctld (scontrol failed (exit status 1): "
                       "'Unable to contact slurm controller'): the next pass tries again\n", .status = 1,
                .files = {{"state/slurm-drain", "-"}},
                .setup = drain_state("quarn1000 3\n", "", "Unable to contact slurm controller\n", 1)},
    PublishCase{.name = "drain_refused_by_the_controller", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: cannot drain node 'n1' in slurmctld (scontrol failed (exit status 1): 'Access denied'): "
                       "the next pass tries again\n", .status = 1, .files = {{"state/slurm-drain", "n1\ndraining\ngpu_arch: 2 of 3 quarn1000\nNone\n"}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE"))(tree);
                    write(tree, "bin/scontrol.does", "[ $1 = update ] && echo 'Access denied' && exit 1\n");
                }},
    PublishCase{.name = "drain_unknown_node", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: slurmctld does not know node 'n1': it is neither drained nor resumed\n", .status = 1,
                .setup = drain_state("quarn1000 3\n", "", "Node n1 not found\n", 1)},
    PublishCase{.name = "drain_without_slurm", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: scontrol cannot be run: No such file or directory: node 'n1' is neither drained nor resumed\n", .status = 1,
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", "")(tree);
                    fs::remove(tree.path("bin/scontrol"));
                }, .env = {"PATH=@/bin"}},
    PublishCase{.name = "drain_no_answer_past_the_lifetime", .program = fails, .args = {"slurm-drain", "n1"},
                .err = no_answer + drained_msg + "'gpu_arch: no answer'\n", .status = 1,
                .files = {{"state/slurm-drain", "n1\ndrained\ngpu_arch: no answer\nNone\n"}},
                .setup = drain_state("quarn904 1\n", "", shows("IDLE"))},
    PublishCase{.name = "drain_kept_answer_within_the_lifetime", .program = fails, .args = {"slurm-drain", "n1"},
                .err = kept_for(100, 300), .status = 1, .files = {{"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn904 9\n", "", shows("IDLE"))(tree);
                    write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n"));
                }},
    PublishCase{.name = "drain_resumed_by_hand_without_an_answer", .program = fails, .args = {"slurm-drain", "n1"},
                .err = no_answer + "gpu_arch-publish: node 'n1' was resumed by hand while gpu_arch gives no answer: it is not "
                       "drained again for that\n", .status = 1, .files = {{"state/slurm-drain", "n1\naccepted\ngpu_arch: no answer\n\n"}},
                .setup = drain_state("quarn904 1\n", "drained\ngpu_arch: no answer", shows("IDLE"))},
    PublishCase{.name = "drain_not_again_after_a_resume_by_hand", .program = fails, .args = {"slurm-drain", "n1"}, .err = no_answer,
                .status = 1, .files = {{"bin/scontrol.log", "-"}}, .setup = drain_state("quarn904 1\n", "accepted\ngpu_arch: no answer", "")},
    PublishCase{.name = "drain_damaged_expectation_drains", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: not using what the node should have, kept in '@/state/expected': line 3, 'quarn1000 x'" +
                       replaced(not_a_line, "\n", "; until 'gpu_arch-publish slurm-expected reset'" + drains_msg) +
                       drained_msg + "'gpu_arch: what it should have is unknown'\n", .status = 1,
                .files = {{"state/expected", "since <now-100>\nlifetime 300\nquarn1000 x\n"}}, .setup = drain_state("quarn1000 x\n", "", shows("IDLE"))},
    // After a fault: a reboot resumes no loss, whatever form it takes;
    // Slurm's own additions keep a drain ours; a drain that timed out but
    // landed, or one stopped before it was asked for, is carried on; a lost
    // state folder takes back what slurmctld shows or what is declared; a
    // clock put back is no fault.
    PublishCase{.name = "drain_again_after_a_reboot_resumed_it", .program = good, .args = {"slurm-drain", "n1"},
                .err = rebooted_msg + drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n", .files = {{"state/slurm-drain", lost_noted}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", lost, shows("IDLE"))(tree);
                    fs::last_write_time(tree.path("state/slurm-drain"), fs::file_time_type::clock::now() - std::chrono::hours(24 * 3650));
                }},
    PublishCase{.name = "drain_again_after_slurm_shows_another_boot", .program = good, .args = {"slurm-drain", "n1"},
                .err = rebooted_msg + drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n", .files = {{"state/slurm-drain", "n1\n" + lost + "\n2024-05-01T10:01:00\n"}},
                .setup = drain_state("quarn1000 3\n", lost + "\n2024-05-01T10:00:00", shows("IDLE", "", "2024-05-01T10:01:00"))},
    PublishCase{.name = "drain_resumed_after_slurm_rebooted_it", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' resumed in slurmctld: it has all its GPUs again\n",
                .setup = drain_state("quarn1000 2\n", lost, shows("IDLE+DRAIN", "gpu_arch: 2 of 3 quarn1000 : reboot issued [root@2024-05-01T10:00:00]"))},
    PublishCase{.name = "drain_timed_out_but_landed", .program = good, .args = {"slurm-drain", "n1"}, .err = "",
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 3 quarn1000\nshow node n1\n"},
                          {"state/slurm-drain", "n1\ndrained\ngpu_arch: 2 of 3 quarn1000\n2024-05-01T10:00:00\n"}},
                .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE", "", "2024-05-01T10:00:00"))(tree);
                    write(tree, "bin/scontrol.does", "[ $1 = update ] && sed -i 's/IDLE/IDLE+DRAIN/; s/Reason=/&gpu_arch: 2 of 3 quarn1000/' "
                          "\"$0.says\" && echo 'slurm_update error: Socket timed out on send/recv operation' && exit 1\n");
                }, .runs = 2},
    PublishCase{.name = "drain_stopped_before_it_was_asked_for", .program = good, .args = {"slurm-drain", "n1"},
                .err = drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n", .setup = drain_state("quarn1000 3\n", "draining\ngpu_arch: 2 of 3 quarn1000", shows("IDLE"))},
    PublishCase{.name = "drain_declared_on_a_lost_state_folder", .program = good, .args = {"slurm-drain", "n1"},
                .err = drained_msg + "'gpu_arch: 2 of 8 quarn1000'\n", .files = {{"state/expected", state_good}},
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("IDLE"), 0); }, .env = {"GPU_ARCH_EXPECTED=quarn1000=8  quarn904=1"}},
    PublishCase{.name = "drain_declaration_damaged", .program = good, .args = {"slurm-drain", "n1"}, .err = "gpu_arch-publish: not using "
                "what the node should have, declared in GPU_ARCH_EXPECTED: 'quarn904=1=1' is no ARCHITECTURE=GPUS of its own; until it is "
                "mended" + drains_msg, .status = 1, .files = {{"state/expected", state_good}},
                .setup = drain_state("quarn1000 2\n", "drained\ngpu_arch: what it should have is "
                "unknown", shows("DRAIN", "gpu_arch: what it should have is unknown")), .env = {"GPU_ARCH_EXPECTED=quarn1000=8 quarn904=1=1"}},
    PublishCase{.name = "drain_kept_when_the_state_folder_is_lost", .program = good, .args = {"slurm-drain", "n1"}, .err = "",
                .files = {{"state/expected", "since <now>\nlifetime 300\nquarn1000 3\nquarn904 1\n"}, {"state/slurm-drain", lost_noted}},
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("IDLE+DRAIN", "gpu_arch: 2 of 3 quarn1000 : reboot issued"), 0); }},
    PublishCase{.name = "drain_resumed_when_the_state_folder_is_lost", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' resumed in slurmctld: it has all its GPUs again\n",
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("DRAIN", "gpu_arch: 1 of 2 quarn1000, x of y, of 9"), 0); }},
    PublishCase{.name = "drain_cut_short_kept_when_the_state_folder_is_lost", .program = good, .args = {"slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' stays drained: what it should have is lost with the state folder, and named only in part "
                       "by the drain's reason; declare it in GPU_ARCH_EXPECTED, or resume the node by hand\n", .status = 1,
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/expected", "-"}},
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("DRAIN", "gpu_arch: 1 of 2 quarn1000 and 9 more : reboot issued"), 0); }},
    PublishCase{.name = "drain_with_the_clock_put_back", .program = good, .args = {"slurm-drain", "n1"}, .err = drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n",
                .setup = [](DriverTree &tree) {
                    drain_state("", "", shows("IDLE"))(tree);
                    write(tree, "state/expected", kept_since(-86400, "lifetime 300\nquarn1000 3\n"));
                }},
    // Kept: an acceptance holds for its reason only; a node without GPUs is
    // not drained for a failure; an administrator's FAIL or a node not
    // responding is left; no resume of a node resumed by hand; the reason
    // whole within 100 characters.
    PublishCase{.name = "drain_a_new_loss_after_an_acceptance", .program = good, .args = {"slurm-drain", "n1"}, .err = drained_msg +
                "'gpu_arch: 2 of 3 quarn1000'\n", .setup = drain_state("quarn1000 3\n", "accepted\ngpu_arch: no answer", shows("IDLE"))},
    PublishCase{.name = "drain_no_gpus_no_answer", .program = fails, .args = {"slurm-drain", "n1"}, .err = no_answer, .status = 1,
                .files = {{"bin/scontrol.log", "-"}}, .setup = drain_state("", "", shows("IDLE"))},
    PublishCase{.name = "drain_leaves_a_failed_node", .program = good, .args = {"slurm-drain", "n1"}, .err = left_msg + "'bad', is not "
                "one that gpu_arch-publish set\n", .setup = drain_state("quarn1000 3\n", "", shows("IDLE+FAIL", "bad"))},
    PublishCase{.name = "drain_leaves_a_node_not_responding", .program = good, .args = {"slurm-drain", "n1"}, .err = left_msg +
                "'Not responding', is not one that gpu_arch-publish set\n", .setup = drain_state("quarn1000 3\n", "", shows("DOWN*", "Not responding"))},
    PublishCase{.name = "drain_no_resume_after_a_resume_by_hand", .program = good, .args = {"slurm-drain", "n1"}, .err = "",
                .files = {{"bin/scontrol.log", "show node n1\n"}, {"state/slurm-drain", "-"}}, .setup = drain_state("quarn1000 2\n", lost, shows("IDLE"))},
    PublishCase{.name = "drain_reason_of_six", .program = good, .args = {"slurm-drain", "n1"}, .err = drained_msg + "'gpu_arch: 0 of "
                "1000000 quarn-2147483640, 0 of 1000000 quarn-2147483641 and 4 more'\n", .setup = drain_state(short_of_all(2147483640, 6), "", shows("IDLE"))},
    PublishCase{.name = "drain_reason_of_twelve", .program = good, .args = {"slurm-drain", "n1"}, .err = drained_msg + "'gpu_arch: 0 of "
                "1000000 quarn-2147483630, 0 of 1000000 quarn-2147483631 and 10 more'\n", .setup = drain_state(short_of_all(2147483630, 12), "", shows("IDLE"))},
    PublishCase{.name = "drain_host_name", .program = good, .args = {"slurm-drain", "-"}, .err = "gpu_arch-publish: node 'n1' drained in slurmctld: "
                "'gpu_arch: 2 of 3 quarn1000'\n", .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE"))(tree);
                    write(tree, "uts", "#!/bin/sh\nexec unshare -u sh -c 'hostname n1.example.org && exec \"$0\" \"$@\"' " GPU_ARCH_PUBLISH_BINARY " \"$@\"\n", 0755);
                }, .root = true, .as = "uts", .wrapped = true},
    // Failing safe: a state folder read-only, or not ours, stops no drain.
    PublishCase{.name = "drain_state_folder_read_only", .program = good, .args = {"slurm-drain", "n1"}, .err = "gpu_arch-publish: cannot "
                "keep the answer in '@/state/architectures': Read-only file system; until an answer is kept, a failing pass shows none rather "
                "than an older one\ngpu_arch-publish: cannot lock '@/state/slurm-drain.lock': Read-only file system\ngpu_arch-publish: cannot "
                "write '@/state/slurm-drain': Read-only file system\n" + unnoted_msg + drained_msg + "'gpu_arch: 2 of 3 quarn1000'\n", .status = 1,
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 3 quarn1000\n"}},
                .setup = [](DriverTree &tree) { drain_state("quarn1000 3\n", "", shows("IDLE"))(tree); read_only("state")(tree); },
                .root = true, .as = "read-only", .wrapped = true},
    PublishCase{.name = "drain_state_folder_not_ours", .program = good, .args = {"slurm-drain", "n1"}, .err = "gpu_arch-publish: cannot "
                "keep state: '@/state' is writable by another user\n" + unnoted_msg + drained_msg + "'gpu_arch: 2 of 8 quarn1000'\n", .status = 1,
                .files = {{"bin/scontrol.log", "show node n1\nupdate NodeName=n1 State=DRAIN Reason=gpu_arch: 2 of 8 quarn1000\n"}},
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("IDLE"), 0); fs::permissions(tree.path("state"), fs::perms(01777)); },
                .env = {"GPU_ARCH_EXPECTED=quarn1000=8"}},
    // A declaration of blanks only names nothing; one over lines, as
    // GPU_ARCH_PUBLISH may be, is read whole.
    PublishCase{.name = "drain_declaration_of_blanks", .program = good, .args = {"slurm-drain", "n1"}, .err = "gpu_arch-publish: not using "
                "what the node should have, declared in GPU_ARCH_EXPECTED: it names no ARCHITECTURE=GPUS; until it is mended" + drains_msg +
                drained_msg + "'gpu_arch: what it should have is unknown'\n", .status = 1,
                .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("IDLE"), 0); }, .env = {"GPU_ARCH_EXPECTED= \n "}},
    PublishCase{.name = "drain_declaration_over_lines", .program = good, .args = {"slurm-drain", "n1"}, .err = drained_msg + "'gpu_arch: "
                "2 of 8 quarn1000'\n", .setup = [](DriverTree &tree) { scontrol_answers(tree, shows("IDLE"), 0); },
                .env = {"GPU_ARCH_EXPECTED=quarn1000=8\nquarn904=1\n"}},
    // The service's pass after a drain tells nothing new.
    PublishCase{.name = "drain_then_quiet", .program = good, .args = {"pass", "slurm-drain", "n1"}, .err = "", .setup = [](DriverTree &tree) {
                    drain_state("quarn1000 3\n", "", shows("IDLE"))(tree);
                    write(tree, "bin/scontrol.does", "[ $1 = update ] && sed -i 's/IDLE/DRAIN/; s/Reason=/&gpu_arch: 2 of 3 quarn1000/' \"$0.says\"\n");
                }, .env = {service}, .runs = 2},
    // The alert's expectation is the drain's: declared, or lowered by an acceptance in the same pass.
    PublishCase{.name = "prometheus_expected_declared", .program = good, .args = {"prometheus", "@/e/gpu_arch.prom"}, .err = "",
                .files = {{"e/gpu_arch.prom", replaced(prom_good, expected_good, "gpu_arch_expected_gpus{arch=\"quarn1000\"} 8\n")}},
                .env = {"GPU_ARCH_EXPECTED=quarn1000=8"}},
    PublishCase{.name = "pass_acceptance_quiets_the_alert", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom", "slurm-drain", "n1"},
                .err = "gpu_arch-publish: node 'n1' was resumed by hand with 2 of 3 quarn1000: what it has now is what it should have\n",
                .files = {{"e/gpu_arch.prom", prom_good}}, .setup = drain_state("quarn1000 3\n", lost, shows("IDLE"))},
    PublishCase{.name = "pass_declared_acceptance_quiets_the_alert", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom",
                "slurm-drain", "n1"}, .err = "gpu_arch-publish: node 'n1' was resumed by hand with 2 of 8 quarn1000: it is not drained again "
                "for that\n", .files = {{"e/gpu_arch.prom", prom_good}}, .setup = drain_state("quarn1000 2\nquarn904 1\n", "drained\n"
                "gpu_arch: 2 of 8 quarn1000", shows("IDLE")), .env = {"GPU_ARCH_EXPECTED=quarn1000=8 quarn904=1"}},
    // What the node should have unknown: the alert fires, the pass fails.
    PublishCase{.name = "prometheus_expected_damaged", .program = good, .args = {"prometheus", "@/e/gpu_arch.prom"}, .err = "gpu_arch-publish: "
                "not using what the node should have, kept in '@/state/expected': line 3, 'quarn1000 x'" + replaced(not_a_line, "\n",
                "; until 'gpu_arch-publish slurm-expected reset'" + drains_msg), .status = 1, .files = {{"e/gpu_arch.prom", replaced(prom_good,
                expected_good, "gpu_arch_expected_gpus{arch=\"quarn1000\"} +Inf\ngpu_arch_expected_gpus{arch=\"quarn904\"} +Inf\n")}},
                .setup = drain_state("quarn1000 x\n", "", "")},
    PublishCase{.name = "prometheus_declaration_damaged", .program = good, .args = {"pass", "prometheus", "@/e/gpu_arch.prom"}, .err = "gpu_arch-"
                "publish: not using what the node should have, declared in GPU_ARCH_EXPECTED: 'bogus' is no ARCHITECTURE=GPUS of its own; until "
                "it is mended" + drains_msg, .status = 1, .env = {"GPU_ARCH_EXPECTED=quarn1000=8 bogus"}},
    PublishCase{.name = "expected_shown", .program = fails, .args = {"slurm-expected"}, .err = "", .out = "quarn1000 3\nquarn904 1\n",
                .setup = drain_state("quarn1000 3\nquarn904 1\n", "", "")},
    PublishCase{.name = "expected_reset", .program = fails, .args = {"slurm-expected", "reset"},
                .err = "gpu_arch-publish: what the node should have is forgotten: the next fresh answer sets it\n",
                .files = {{"state/expected", "-"}}, .setup = drain_state("quarn1000 3\n", "", "")},
    PublishCase{.name = "expected_reset_declared", .program = fails, .args = {"slurm-expected", "reset"}, .err = "gpu_arch-publish: what was "
                "learned is forgotten; GPU_ARCH_EXPECTED still declares what the node should have: change it there to accept a loss\n",
                .files = {{"state/expected", "-"}}, .setup = drain_state("quarn1000 3\n", "", ""), .env = {"GPU_ARCH_EXPECTED=quarn1000=8"}},
    PublishCase{.name = "expected_makes_no_folder", .program = fails, .args = {"slurm-expected"}, .err = "", .files = {{"state", "-"}},
                .setup = [](DriverTree &tree) { fs::remove(tree.path("state")); }},
    PublishCase{.name = "expected_bad_word", .program = fails, .args = {"slurm-expected", "x"},
                .err = "gpu_arch-publish: slurm-expected takes reset or nothing, not 'x'\n", .status = 2},

    // slurmd-options: the env file, the update with -N's name, and when
    // neither is written.
    PublishCase{.name = "options_dynamic", .program = good,
                .args = {"slurmd-options", "@/run", "-Z", "--conf", "CPUs=1 Feature=site_a", "-N", "n7"},
                .err = "gpu_arch-publish: node 'n7' features: 'site_a,quarn1000,quarn904'\n",
                .files = {{"run/slurmd.env", options_env},
                          {"bin/scontrol.log", "update NodeName=n7 AvailableFeatures=site_a,quarn1000,quarn904 "
                                               "ActiveFeatures=site_a,quarn1000,quarn904\n"}},
                .setup = [](DriverTree &tree) { tree.add({"run"}); }},
    // slurmd's start outwaits a retry that holds the lock.
    PublishCase{.name = "options_wait_for_a_retry", .program = good, .args = {"slurmd-options", "@/run", "-Z", "-N", "n7"},
                .err = "gpu_arch-publish: node 'n7' features: 'quarn1000,quarn904'\n", .files = {{"bin/scontrol.log",
                "update NodeName=n7 AvailableFeatures=quarn1000,quarn904 ActiveFeatures=quarn1000,quarn904\n"}},
                .setup = [](DriverTree &tree) { lock_held(tree, "run/lock"); },
                .options = {.signals_when = {{[](const fs::path &root) { return lock_waited("run/lock")(root) && fs::remove(root / "lock.held"); }, 0}}}},
    // A stop while it waits for the lock ends it at once, saying what gpu_arch found.
    PublishCase{.name = "options_stopped_waiting_for_the_lock", .program = good, .args = {"slurmd-options", "@/run", "-Z", "-N", "n7"},
                .err = "gpu_arch-publish: stopped by SIGTERM while waiting for the lock '@/run/lock'; gpu_arch had found quarn1000 "
                       "(2), quarn904 (1); files not yet written keep what they held\n", .status = 1,
                .files = {{"run/slurmd.env", "-"}, {"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) { lock_held(tree, "run/lock"); },
                .options = {.signals_when = {{lock_waited("run/lock"), SIGTERM}}}, .check = release_lock},
    PublishCase{.name = "options_controller_down", .program = good, .args = {"slurmd-options", "@/run", "-Z", "-N", "n7"},
                .err = "gpu_arch-publish: slurmctld did not take the features of node 'n7' (scontrol failed (exit status 1): "
                       "'Unable to contact slurm controller'): until it does, it may still hold the node's old GPU "
                       "architectures; gpu_arch-publish.timer retries every minute\n"
                       "gpu_arch-publish: node 'n7' features: 'quarn1000,quarn904'\n", .status = 1,
                .files = {{"run/slurmctld-update", "n7\nquarn1000,quarn904\n"}},
                .setup = [](DriverTree &tree) {
                    tree.add({"run"});
                    scontrol_answers(tree, "Unable to contact slurm controller\n", 1);
                }},
    PublishCase{.name = "options_static_node", .program = good, .args = {"slurmd-options", "@/run", "-D"},
                .err = "gpu_arch-publish: slurmd runs without -Z: its node is defined in slurm.conf, whose line "
                       "gpu_arch-publish node-line prints\n",
                .files = {{"run/slurmd.env", "-"}, {"bin/scontrol.log", "-"}}, .setup = [](DriverTree &tree) { tree.add({"run"}); }},
    PublishCase{.name = "options_past_the_kernel_limit", .program = good,
                .args = {"slurmd-options", "@/run", "-Z", "--conf", "Feature=" + std::string(131040, 'a')},
                .err = "gpu_arch-publish: slurmd's options with the architectures would take 131078 bytes, more than the "
                       "kernel passes to a program (131072)\ngpu_arch-publish: slurmd starts with the site's options, and "
                       "slurmctld is left as it is\n", .status = 1,
                .files = {{"run/slurmd.env", "-"}, {"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmd.env", "old"); }},

    // slurm-fleet and prometheus-fleet: the architectures sorted and once
    // each, and a status for each way there are none.
    PublishCase{.name = "fleet_partitions", .program = fails, .args = {"slurm-fleet", "gpu", "big"}, .err = "",
                .out = "quarn-3\nquarn1000\nquarn2000\nquarn7\nquarn904\n",
                .files = {{"bin/sinfo.log", "--noheader --format=%R %t %f %N --partition=gpu,big\n"}}, .setup = client("sinfo", sinfo_nodes)},
    PublishCase{.name = "fleet_ready_nodes", .program = fails, .args = {"slurm-fleet", "ready"}, .err = "",
                .out = "quarn1000\nquarn904\n", .files = {{"bin/sinfo.log", "--noheader --format=%R %t %f %N --all\n"}},
                .setup = client("sinfo", sinfo_nodes)},
    PublishCase{.name = "fleet_no_such_partition", .program = fails, .args = {"slurm-fleet", "gpx"},
                .err = fleet_none + "partition 'gpx' has no node, or no such partition exists (sinfo --summarize lists the "
                       "partitions)\n", .status = 3, .setup = client("sinfo", "")},
    PublishCase{.name = "fleet_none_ready", .program = fails, .args = {"slurm-fleet", "ready", "ready", "big"},
                .err = fleet_none + "none of the nodes of partitions 'ready', 'big' can run jobs now (each is down, "
                       "drained, powered down or not responding)\n", .status = 3, .setup = client("sinfo", "big down* quarn-3 big[1-2]\nready drng quarn7 n1\n")},
    PublishCase{.name = "fleet_no_architecture", .program = fails, .args = {"slurm-fleet"},
                .err = "gpu_arch-publish: sinfo said: 'sinfo: warning: x'\ngpu_arch-publish: slurmctld's nodes have no "
                       "GPU architecture among their features (gpu_arch-publish publishes them there)\n", .status = 4,
                .setup = client("sinfo", "login idle (null) login[1-2]\ngpu idle quarn1000x,xquarn7 n1\n", 0, "echo 'sinfo: warning: x' >&2\n")},
    PublishCase{.name = "fleet_controller_down", .program = fails, .args = {"slurm-fleet", "gpu"},
                .err = "gpu_arch-publish: cannot ask slurmctld for the features of the nodes of partition 'gpu': sinfo failed (exit status 1): "
                       "'slurm_load_partitions: Unable to contact slurm controller (connect failure)'\n", .status = 1,
                .setup = client("sinfo", "", 1, "echo 'slurm_load_partitions: Unable to contact slurm controller (connect failure)' >&2\n")},
    PublishCase{.name = "fleet_unreadable_line", .program = fails, .args = {"slurm-fleet"},
                .err = "gpu_arch-publish: cannot read sinfo's line 'gpu idle': it is not partition, state, features and nodes\n",
                .status = 1, .setup = client("sinfo", "gpu idle quarn904 n2\ngpu idle\n")},
    PublishCase{.name = "fleet_partition_mistyped", .program = fails, .args = {"slurm-fleet", "gpu", "gpuu", "big", "empty"},
                .err = fleet_none + "partitions 'gpuu', 'empty' have no node, or no such partition exists (sinfo --summarize "
                       "lists the partitions)\n", .status = 3, .setup = client("sinfo", sinfo_nodes)},
    PublishCase{.name = "fleet_sinfo_answer_too_long", .program = fails, .args = {"slurm-fleet"}, .err = "gpu_arch-publish: cannot ask "
                "slurmctld for the features of slurmctld's nodes: sinfo printed more than 1048576 bytes and was killed: '" +
                std::string(300, 'x') + "'...\n", .status = 1, .setup = client("sinfo", "", 0, "head -c 2000000 /dev/zero | tr '\\0' x\n")},
    PublishCase{.name = "fleet_partition_list", .program = fails, .args = {"slurm-fleet", "a,b"},
                .err = "gpu_arch-publish: slurm-fleet takes partition names, each a word of its own: not 'a,b'\n", .status = 2,
                .files = {{"bin/sinfo.log", "-"}}, .setup = client("sinfo", "")},
    PublishCase{.name = "fleet_prometheus", .program = fails, .args = {"prometheus-fleet", "https://p:9090", "@/http.yml"},
                .err = "", .out = "quarn1000\nquarn904\n", .files = {{"bin/promtool.log", "query --format=json instant "
                "--http.config.file=@/http.yml -- https://p:9090 arch:gpu_arch_nodes:count > 0\n"}}, .setup = client("promtool", promtool_found)},
    PublishCase{.name = "fleet_prometheus_no_node", .program = fails, .args = {"prometheus-fleet", "http://p"},
                .err = fleet_none + "no node has a fresh answer of gpu_arch in Prometheus at 'http://p'\n", .status = 3,
                .setup = client("promtool", "[]\n")},
    PublishCase{.name = "fleet_prometheus_no_architecture", .program = fails, .args = {"prometheus-fleet", "http://p"},
                .err = "gpu_arch-publish: the nodes with a fresh answer in Prometheus at 'http://p' have no GPU architecture, or "
                       "its rules lack gpu_arch.rules.yml's arch:gpu_arch_nodes:count\n", .status = 4,
                .files = {{"bin/promtool.log", "query --format=json instant -- http://p arch:gpu_arch_nodes:count > 0\n"
                           "query --format=json instant -- http://p count(gpu_arch_detection_success == 1)\n"}},
                .setup = client("promtool", "[]\n", 0, "case \"$*\" in *count\\(*) echo '[{\"metric\":{},\"value\":[1,\"2\"]}]'; exit;; esac\n")},
    PublishCase{.name = "fleet_prometheus_unreachable", .program = fails, .args = {"prometheus-fleet", "http://p"},
                .err = "gpu_arch-publish: cannot ask Prometheus at 'http://p': promtool failed (exit status 1): 'query error: "
                       "connection refused'\n", .status = 1,
                .setup = client("promtool", "", 1, "echo 'query error: connection refused' >&2\n")},
    PublishCase{.name = "fleet_prometheus_escaped_label", .program = fails, .args = {"prometheus-fleet", "http://p"}, .err = "",
                .out = "quarn1000\nquarn904\n", .setup = client("promtool", "[{\"metric\":{\"arch\":\"quarn1\\\"x\"}}," + promtool_found.substr(1))},
    PublishCase{.name = "fleet_prometheus_unreadable", .program = fails, .args = {"prometheus-fleet", "http://p"}, .err = "gpu_arch-publish: "
                "cannot read the answer of Prometheus at 'http://p': it is not a JSON list of series: '<p>Bad gateway'\n",
                .status = 1, .setup = client("promtool", "<p>Bad gateway\n")},
    PublishCase{.name = "fleet_prometheus_option", .program = fails, .args = {"prometheus-fleet", "--http.config.file=/etc/shadow"},
                .err = "gpu_arch-publish: prometheus-fleet takes a URL and the path of promtool's HTTP settings file, not "
                       "'--http.config.file=/etc/shadow'\n", .status = 2, .files = {{"bin/promtool.log", "-"}}, .setup = client("promtool", "[]\n")},

    // node-line: DEFAULT's features, CRLF continuations and an escaped #.
    PublishCase{.name = "node_line_inherits_default_features", .program = good, .args = {"node-line"}, .err = "",
                .out = "NodeName=n1 CPUs=4   Weight=2 Feature=ib,quarn1000,quarn904\n",
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); },
                .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n1"}},
    PublishCase{.name = "node_line_escaped_hash", .program = good, .args = {"node-line"}, .err = "",
                .out = "NodeName=n2 Features=a\\#b,quarn1000,quarn904 Weight=1 # rack\n",
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); },
                .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n2"}},
    // The kept answer after a failure, as every consumer shows it; without
    // one, no line that would take the architectures away.
    PublishCase{.name = "node_line_keeps_the_last_answer", .program = fails, .args = {"node-line"}, .err = kept_for(100, 300),
                .status = 1, .out = "NodeName=n2 Features=a\\#b,quarn904 Weight=1 # rack\n",
                .setup = [](DriverTree &tree) {
                    write(tree, "slurm.conf", conf);
                    write(tree, "state/architectures", kept_since(100, "lifetime 300\nquarn904 3\n"));
                }, .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n2"}},
    PublishCase{.name = "node_line_without_an_answer", .program = fails, .args = {"node-line"}, .err = no_answer, .status = 1,
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); },
                .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n2"}},
    PublishCase{.name = "node_line_without_slurm_conf", .program = good, .args = {"node-line"},
                .err = "gpu_arch-publish: cannot read '@/nothing': No such file or directory\n", .status = 1,
                .env = {"SLURM_CONF=@/nothing", "SLURMD_NODENAME=n2"}},
    // slurmctld knows the node by its short name, not the host's full one.
    PublishCase{.name = "node_line_fully_qualified_host", .program = good, .args = {"node-line"}, .err = "",
                .out = "NodeName=n1 CPUs=4   Weight=2 Feature=ib,quarn1000,quarn904\n",
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); fully_qualified_host(tree); },
                .env = {"SLURM_CONF=@/slurm.conf"}, .root = true, .as = "named", .wrapped = true},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, PublishRows, testing::ValuesIn(publish_cases),
                         [](const testing::TestParamInfo<PublishCase> &info) { return std::string(info.param.name); });

// Words that no command takes: the usage text and status 2, nothing run.
TEST(PublishUsage, WordsNoCommandTakes)
{
    DriverTree tree;
    const std::vector<std::string> calls[] = {{"pass", "json", "x"},
                                              {"lifetime", "60"},
                                              {"prometheus", "A", "B"},
                                              {"json", "x"},
                                              {},
                                              {"bogus"},
                                              {"every"},
                                              {"every", "0"},
                                              {"every", "86401"},
                                              {"every", "1m"},
                                              {"every", "1", "json"}};
    for (const std::vector<std::string> &args : calls) {
        const Outcome outcome =
            run_tool(tree, GPU_ARCH_PUBLISH_BINARY, {.args = args, .env = {"GPU_ARCH_PROGRAM=/none"}});
        EXPECT_EQ(outcome.out + outcome.err.substr(outcome.err.find("usage:")) + std::to_string(outcome.status),
                  usage + "2")
            << testing::PrintToString(args);
    }
}

// The manual's synopsis is the usage text, in roff.
TEST(PublishManual, SynopsisIsTheUsageText)
{
    std::ifstream page(GPU_ARCH_PUBLISH_MANUAL);
    std::string synopsis;
    bool inside = false;
    for (std::string line; std::getline(page, line);) {
        if (line.rfind(".SH", 0) == 0) {
            inside = line == ".SH SYNOPSIS";
        } else if (inside && line == ".br") {
            synopsis += "\n";
        } else if (inside && line[0] == '.') {
            // .B and .I take their words, the alternating macros join theirs.
            const size_t blank = line.find(' ');
            std::string words = line.substr(blank + 1);
            if (line.substr(0, blank).size() == 3) {
                words.erase(std::remove(words.begin(), words.end(), ' '), words.end());
            }
            synopsis += (synopsis.empty() || synopsis.back() == '\n' ? "" : " ") + words;
        }
    }
    synopsis = replaced(synopsis, "\\-", "-") + "\n";
    std::string expected = replaced(replaced(usage, "usage: ", ""), "       ", "");
    for (char &c : expected) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(synopsis, expected);
}

} // namespace
