// SPDX-License-Identifier: MIT
// gpu_arch-publish as its callers run it: the built program as a process, in a
// folder of its own, with stub programs standing in for gpu_arch and
// scontrol; each row checks standard output, standard error, the exit status
// and the files exactly. "@" in a row stands for the case's folder.

#include <sys/stat.h>
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
};

std::string at(const DriverTree &tree, std::string text)
{
    for (size_t i = text.find('@'); i != std::string::npos; i = text.find('@', i)) {
        text.replace(i, 1, tree.root().string());
    }
    return text;
}

// Times that the run wrote read <now>, or <now+N> for a lifetime N later,
// <old> for one written a while before the run: in UTC, whatever the
// program's time zone, as RFC 3339 or seconds since the epoch.
std::string with_times(const std::string &text, time_t start, time_t end)
{
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
        for (const time_t later : {0, 120, 300}) {
            if (length > 0 && when >= start - 60 + later && when <= end + later) {
                shown = later == 0 ? "<now>" : "<now+" + std::to_string(later) + ">";
            }
        }
        if (length > 0 && when >= start - 1000 && when < start - 60) {
            shown = "<old>";
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
const std::string pending_n1 = "n1\nsite_a,quarn904\n";
const std::string options_env = "SLURMD_OPTIONS=\"-Z --conf \\\"CPUs=1 Feature=site_a,quarn1000,quarn904\\\" -N n7\"\n";
const std::string conf = "NodeName=DEFAULT Features=ib\r\nNodeName=n1 CPUs=4 \\\r\n  Weight=2\r\n"
                         "NodeName=n2 Features=a\\#b,quarn904 Weight=1 # rack\n";
const std::string prom_head = "# HELP gpu_arch_info A GPU architecture of this node, as gpu_arch names it.\n"
                              "# TYPE gpu_arch_info gauge\n";
const std::string prom_gpus = "# HELP gpu_arch_gpus GPUs of each architecture on this node.\n"
                              "# TYPE gpu_arch_gpus gauge\n";
const std::string prom_success = "# HELP gpu_arch_detection_success Whether the last run of gpu_arch answered (1) or "
                                 "not (0).\n# TYPE gpu_arch_detection_success gauge\ngpu_arch_detection_success ";
// When gpu_arch last answered, and the lifetime.
std::string prom_times(const std::string &last_success, const std::string &lifetime = "300")
{
    return (last_success.empty()
                ? ""
                : "# HELP gpu_arch_last_success_timestamp_seconds When gpu_arch last answered; after a "
                  "failure the architectures are that answer's, for gpu_arch_lifetime_seconds.\n"
                  "# TYPE gpu_arch_last_success_timestamp_seconds gauge\n"
                  "gpu_arch_last_success_timestamp_seconds " +
                      last_success + "\n") +
           "# HELP gpu_arch_lifetime_seconds How long a failing node shows its last answer.\n"
           "# TYPE gpu_arch_lifetime_seconds gauge\ngpu_arch_lifetime_seconds " +
           lifetime + "\n";
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
    return "{\"architectures\": [], \"gpus\": {}, \"success\": false, \"last_success\": null, \"error\": \"@/" + why +
           "\"}\n";
}
const std::string json_quarn904 = "{\"architectures\": [\"quarn904\"], \"gpus\": {\"quarn904\": 1}, \"success\": true, "
                                  "\"last_success\": \"<now>\"}\n";
const std::string killed = "program did not finish within 10 s and was killed";
const std::string no_answer = "gpu_arch-publish: @/program failed (exit status 3): no GPU architecture is published\n";
const std::string unusable =
    "gpu_arch-publish: cannot use 'kubernetes.io' as the label prefix: Kubernetes keeps "
    "kubernetes.io and k8s.io to itself, but for feature.node.kubernetes.io and its subdomains\n";
const std::string pass_takes =
    "a pass takes [slurm-pending DIR] [prometheus FILE] [nfd FILE] [nfd-prefix PREFIX] [lifetime SECONDS]";
const std::string usage =
    "usage: gpu_arch-publish slurmd-options DIR [WORD...]\n       gpu_arch-publish slurm-pending DIR\n"
    "       gpu_arch-publish node-line\n       gpu_arch-publish prometheus FILE\n"
    "       gpu_arch-publish nfd FILE [PREFIX]\n       gpu_arch-publish json\n"
    "       gpu_arch-publish pass " +
    pass_takes.substr(sizeof "a pass takes") + "\n";

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
    DriverTree tree;
    write(tree, "program", "#!/bin/sh\n" + row.program + "\n", 0755);
    write(tree, "bin/scontrol", scontrol, 0755);
    tree.add({"state", 0755});
    if (row.setup) {
        row.setup(tree);
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
    const time_t start = time(nullptr);
    for (int run = 0; run < row.runs; ++run) {
        outcome = run_tool(tree, GPU_ARCH_PUBLISH_BINARY, options);
    }
    const time_t end = time(nullptr);
    EXPECT_EQ(outcome.err, at(tree, row.err));
    EXPECT_EQ(with_times(outcome.out, start, end), at(tree, row.out));
    EXPECT_EQ(outcome.status, row.status);
    for (const auto &[path, text] : row.files) {
        std::ifstream file(tree.path(path), std::ios::binary);
        if (text == "-") {
            EXPECT_FALSE(fs::exists(fs::symlink_status(tree.path(path)))) << path;
            continue;
        }
        std::stringstream content;
        content << file.rdbuf();
        EXPECT_EQ(with_times(content.str(), start, end), at(tree, text)) << path;
        struct stat status = {};
        EXPECT_EQ(stat(tree.path(path).c_str(), &status) == 0 ? status.st_mode & 0777 : 0, 0644U) << path;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Table, PublishRows, testing::Values(
    // The program as gpu_arch: what counts, and every way it can go wrong.
    PublishCase{.name = "json", .program = good, .args = {"json"}, .err = "",
                .out = json_good},
    PublishCase{.name = "json_junk_and_names_gpu_arch_cannot_print",
                .program = "printf 'rm -rf /\\nquarn-2147483648\\nquarn2147483648\\nquarn010\\nquarn-0\\nquarn7'", .args = {"json"},
                .err = "gpu_arch-publish: @/program printed lines that are no architecture name, dropped: 'rm -rf /' "
                       "'quarn2147483648' 'quarn010' 'quarn-0'\n",
                .out = "{\"architectures\": [\"quarn-2147483648\", \"quarn7\"], \"gpus\": {\"quarn-2147483648\": 1, "
                       "\"quarn7\": 1}, \"success\": true, \"last_success\": \"<now>\"}\n"},
    PublishCase{.name = "json_fails", .program = fails, .args = {"json"}, .err = no_answer, .status = 1,
                .out = json_failed("program failed (exit status 3)")},
    PublishCase{.name = "json_hangs_ignoring_sigterm", .program = "trap '' TERM; echo quarn1000; sleep 30", .args = {"json"},
                .err = "gpu_arch-publish: @/program did not finish within 10 s and was killed: no GPU architecture is published\n",
                .status = 1, .out = json_failed(killed)},
    PublishCase{.name = "json_floods", .program = "yes quarn1000 | head -c 2097152", .args = {"json"},
                .err = "gpu_arch-publish: @/program printed more than 1048576 bytes and was killed: no GPU architecture is "
                       "published\n", .status = 1, .out = json_failed("program printed more than 1048576 bytes and was killed")},
    PublishCase{.name = "json_grandchild_holds_output", .program = "echo quarn904; sleep 30 & exit 0", .args = {"json"},
                .err = "", .out = json_quarn904},
    PublishCase{.name = "json_output_closed_before_exit", .program = "echo quarn904; exec >&-; sleep 0.2", .args = {"json"},
                .err = "", .out = json_quarn904},
    PublishCase{.name = "json_output_closed_then_hangs", .program = "echo quarn904; exec >&-; trap '' TERM; sleep 30",
                .args = {"json"},
                .err = "gpu_arch-publish: @/program did not finish within 10 s and was killed: no GPU architecture is published\n",
                .status = 1, .out = json_failed(killed)},
    PublishCase{.name = "json_parent_ignores_sigchld", .program = good, .args = {"json"}, .err = "", .out = json_good,
                .options = {.ignore_sigchld = true}},
    PublishCase{.name = "json_missing_program", .program = "", .args = {"json"},
                .err = "gpu_arch-publish: @/nothing cannot be run: No such file or directory: no GPU architecture is published\n",
                .status = 1, .out = json_failed("nothing cannot be run: No such file or directory"),
                .env = {"GPU_ARCH_PROGRAM=@/nothing"}},
    // Without GPU_ARCH_PROGRAM, the build tree's gpu_arch beside it, on the
    // machine's /sys (no GPU driver here).
    PublishCase{.name = "json_finds_the_build_trees_gpu_arch", .program = good, .args = {"json"},
                .err = "Can not find supported GPU!\ngpu_arch-publish: " GPU_ARCH_BINARY " found no supported GPU\n",
                .out = "{\"architectures\": [], \"gpus\": {}, \"success\": true, \"last_success\": \"<now>\"}\n",
                .env = {"GPU_ARCH_PROGRAM="}, .native = true},
    PublishCase{.name = "usage", .program = good, .args = {"prometheus"}, .err = usage, .status = 2},

    // prometheus: the file, the kept answer from the state folder, and the
    // files a hostile user stages.
    PublishCase{.name = "prometheus", .program = good, .args = {"prometheus", "@/exporter/gpu_arch.prom"}, .err = "",
                .files = {{"exporter/gpu_arch.prom", prom_good},
                          {"state/architectures", "since <now>\nlifetime 300\nquarn1000 2\nquarn904 1\n"}}},
    PublishCase{.name = "prometheus_file_the_exporter_ignores", .program = good, .args = {"prometheus", "@/e/gpu_arch.txt"},
                .err = "gpu_arch-publish: warning: @/e/gpu_arch.txt does not end in .prom, and the node exporter reads only "
                       "files that do\n", .files = {{"e/gpu_arch.txt", prom_good}}},
    PublishCase{.name = "prometheus_keeps_the_last_answer", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer + "gpu_arch-publish: @/exporter/gpu_arch.prom keeps the architectures of the last run that "
                       "answered, and gpu_arch_detection_success 0\n", .status = 1,
                .files = {{"exporter/gpu_arch.prom", prom_head + "gpu_arch_info{arch=\"quarn904\"} 1\n" + prom_gpus +
                           "gpu_arch_gpus{arch=\"quarn904\"} 3\n" + prom_success + "0\n" + prom_times("<old>")}},
                .setup = [](DriverTree &tree) { write(tree, "state/architectures", kept_since(100, "quarn904 3\n")); }},
    PublishCase{.name = "prometheus_past_the_lifetime", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer, .status = 1,
                .files = {{"exporter/gpu_arch.prom", prom_head + prom_gpus + prom_success + "0\n" + prom_times("<old>")}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/architectures", kept_since(400, "lifetime 300\nquarn904 3\n"));
                }},
    PublishCase{.name = "prometheus_lifetime_of_the_pass", .program = fails,
                .args = {"pass", "prometheus", "@/e/gpu_arch.prom", "lifetime", "120"}, .err = no_answer, .status = 1,
                .files = {{"e/gpu_arch.prom", prom_head + prom_gpus + prom_success + "0\n" + prom_times("<old>", "120")}},
                .setup = [](DriverTree &tree) {
                    write(tree, "state/architectures", kept_since(200, "lifetime 300\nquarn904 3\n"));
                }},
    PublishCase{.name = "prometheus_fifo_planted", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer + "gpu_arch-publish: cannot write @/exporter/gpu_arch.prom: it is a FIFO\n", .status = 1,
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "exporter");
                    EXPECT_EQ(mkfifo(tree.path("exporter/gpu_arch.prom").c_str(), 0644), 0);
                }, .root = true},
    PublishCase{.name = "prometheus_dev_zero_planted", .program = fails, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = no_answer + "gpu_arch-publish: cannot write @/exporter/gpu_arch.prom: it is a symbolic link\n", .status = 1,
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "exporter");
                    hostile_link(tree, "/dev/zero", "exporter/gpu_arch.prom");
                }, .root = true},
    PublishCase{.name = "prometheus_folder_swapped_for_a_link", .program = good,
                .args = {"prometheus", "@/lib/node-exporter/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write @/lib/node-exporter/gpu_arch.prom: @/lib/node-exporter is a symbolic "
                       "link that another user could have placed\n", .status = 1,
                .files = {{"victim/gpu_arch.prom", "-"}},
                .setup = [](DriverTree &tree) {
                    hostile_folder(tree, "lib");
                    tree.add({"victim"});
                    hostile_link(tree, "@/victim", "lib/node-exporter");
                }, .root = true},
    PublishCase{.name = "prometheus_no_folder_made_below_another_user", .program = good,
                .args = {"prometheus", "@/lib/made/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write @/lib/made/gpu_arch.prom: @/lib/made is missing, and is not made in a "
                       "folder that another user owns\n", .status = 1, .files = {{"lib/made", "-"}},
                .setup = [](DriverTree &tree) { hostile_folder(tree, "lib"); }, .root = true},
    PublishCase{.name = "prometheus_root_link_followed", .program = good, .args = {"prometheus", "@/link/gpu_arch.prom"},
                .err = "", .files = {{"real/gpu_arch.prom", prom_good}},
                .setup = [](DriverTree &tree) { tree.add({"real"}); fs::create_symlink("real", tree.path("link")); }},
    PublishCase{.name = "prometheus_relative_path", .program = good, .args = {"prometheus", "gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write 'gpu_arch.prom': an absolute path to a file is needed\n", .status = 1,
                .files = {{"gpu_arch.prom", "-"}}},
    PublishCase{.name = "prometheus_folder_closed_to_nobody", .program = good, .args = {"prometheus", "@/exporter/gpu_arch.prom"},
                .err = "gpu_arch-publish: cannot write @/exporter/gpu_arch.prom: Permission denied\n", .status = 1,
                .setup = [](DriverTree &tree) { tree.add({"exporter"}); }, .options = {.unprivileged = true}},

    // nfd: the labels in UTC whatever the time zone, and the prefix.
    PublishCase{.name = "nfd", .program = good, .args = {"nfd", "@/features.d/gpu_arch", "example.org"}, .err = "",
                .files = {{"features.d/gpu_arch", nfd_good}}, .env = {"TZ=Asia/Tokyo"}},
    PublishCase{.name = "nfd_keeps_the_file", .program = fails, .args = {"nfd", "@/features.d/gpu_arch"},
                .err = no_answer + "gpu_arch-publish: @/features.d/gpu_arch keeps the last labels until their expiry time\n",
                .status = 1, .files = {{"features.d/gpu_arch", "old\n"}},
                .setup = [](DriverTree &tree) { write(tree, "features.d/gpu_arch", "old\n"); }},
    PublishCase{.name = "nfd_expiry_follows_the_lifetime", .program = good,
                .args = {"pass", "nfd", "@/features.d/gpu_arch", "lifetime", "120", "nfd-prefix", "example.org"}, .err = "",
                .files = {{"features.d/gpu_arch", replaced(nfd_good, "now+300", "now+120")}}},
    PublishCase{.name = "nfd_dot_file", .program = good, .args = {"nfd", "@/features.d/.gpu_arch"},
                .err = "gpu_arch-publish: warning: node feature discovery reads only files right in features.d whose names "
                       "do not start with a dot, not @/features.d/.gpu_arch\n"},
    PublishCase{.name = "nfd_file_in_a_subfolder", .program = good, .args = {"nfd", "@/features.d/sub/gpu_arch"},
                .err = "gpu_arch-publish: warning: node feature discovery reads only files right in features.d whose names "
                       "do not start with a dot, not @/features.d/sub/gpu_arch\n"},
    PublishCase{.name = "nfd_unusable_prefix", .program = good, .args = {"nfd", "@/features.d/gpu_arch", "kubernetes.io"},
                .err = unusable, .status = 2, .files = {{"features.d/gpu_arch", "-"}}},

    // The pass: settings before consumers, the worst status, the defaults
    // file's words, and a journal that a steady state leaves quiet.
    PublishCase{.name = "pass", .program = good,
                .args = {"pass", "nfd", "@/features.d/gpu_arch", "prometheus", "@/e/gpu_arch.prom", "nfd-prefix", "example.org"},
                .err = "", .files = {{"features.d/gpu_arch", nfd_good}, {"e/gpu_arch.prom", prom_good}}},
    PublishCase{.name = "pass_first_failure_counts", .program = good,
                .args = {"pass", "prometheus", "@/e.prom", "nfd", "@/features.d/gpu_arch", "nfd-prefix", "example.org"},
                .err = "gpu_arch-publish: cannot write @/e.prom: it is a folder\n", .status = 1,
                .files = {{"features.d/gpu_arch", nfd_good}}, .setup = [](DriverTree &tree) { tree.add({"e.prom"}); }},
    PublishCase{.name = "pass_bad_words_in_defaults", .program = good, .args = {"pass"},
                .err = "gpu_arch-publish: GPU_ARCH_PUBLISH in " GPU_ARCH_PUBLISH_DEFAULTS ": 'bogus' names no consumer; " +
                       pass_takes + "\ngpu_arch-publish: GPU_ARCH_PUBLISH in " GPU_ARCH_PUBLISH_DEFAULTS ": 'nfd' needs FILE after it\ngpu_arch-publish: cannot use 'kubernetes.io' as the label prefix: Kubernetes keeps "
                       "kubernetes.io and k8s.io to itself, but for feature.node.kubernetes.io and its subdomains\n", .status = 1,
                .files = {{"e/gpu_arch.prom", prom_good}},
                .env = {"GPU_ARCH_PUBLISH=prometheus @/e/gpu_arch.prom bogus nfd-prefix kubernetes.io\tnfd"}},
    PublishCase{.name = "pass_bad_word_on_the_command_line", .program = good, .args = {"pass", "prometheus"},
                .err = "gpu_arch-publish: pass: 'prometheus' needs FILE after it\n" + usage, .status = 2},
    PublishCase{.name = "pass_names_no_consumer", .program = good, .args = {"pass", "slurm-pending", "@/run"},
                .err = "gpu_arch-publish: no consumer is named: name them in GPU_ARCH_PUBLISH in " GPU_ARCH_PUBLISH_DEFAULTS
                       " (see gpu_arch-publish(8))\n"},
    PublishCase{.name = "pass_says_it_once", .program = "", .args = {"pass", "prometheus", "@/e/gpu_arch.prom"},
                .err = "", .files = {{"e/gpu_arch.prom", prom_head + prom_gpus + prom_success + "1\n" + prom_times("<now>")}},
                .runs = 2},

    // Slurm: the pending update, through the folder's handle, with the
    // drop-in's consent.
    PublishCase{.name = "pending_sent", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld now holds the features of node n1: site_a,quarn904\n",
                .files = {{"run/slurmctld-update", "-"},
                          {"bin/scontrol.log", "update NodeName=n1 AvailableFeatures=site_a,quarn904 ActiveFeatures=site_a,quarn904\n"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmctld-update", pending_n1); drop_in(tree); }},
    PublishCase{.name = "pending_none", .program = good, .args = {"slurm-pending", "@/run"}, .err = "",
                .files = {{"bin/scontrol.log", "-"}}, .setup = [](DriverTree &tree) { tree.add({"run"}); drop_in(tree); }},
    PublishCase{.name = "pending_for_an_unknown_node", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld does not know node n1: its update is dropped\n",
                .files = {{"run/slurmctld-update", "-"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    drop_in(tree);
                    scontrol_answers(tree, "slurm_update error: Invalid node name specified\n", 1);
                }},
    PublishCase{.name = "pending_without_the_drop_in", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmd.service no longer has the drop-in gpu_arch-publish.conf: the update of node n1 "
                       "that it left is dropped\n",
                .files = {{"run/slurmctld-update", "-"}, {"bin/scontrol.log", "-"}},
                .setup = [](DriverTree &tree) { write(tree, "run/slurmctld-update", pending_n1); }},
    PublishCase{.name = "pending_a_fifo", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: cannot read @/run/slurmctld-update: it is a FIFO\n", .status = 1,
                .setup = [](DriverTree &tree) {
                    tree.add({"run"});
                    EXPECT_EQ(mkfifo(tree.path("run/slurmctld-update").c_str(), 0644), 0);
                }},
    // slurmd restarts while the retry waits for scontrol: its new folder
    // keeps the new update, not the stale one.
    PublishCase{.name = "pending_stale_update_stays_in_the_old_folder", .program = good, .args = {"slurm-pending", "@/run"},
                .err = "gpu_arch-publish: slurmctld did not take the features of node n1 (scontrol failed (exit status 1): "
                       "down): until it does, it may still hold the node's old GPU architectures; gpu_arch-publish.timer "
                       "retries every minute\ngpu_arch-publish: cannot write @/run/slurmctld-update: No such file or directory\n",
                .status = 1, .files = {{"run/slurmctld-update", "n1\nsite_a,quarn1000\n"}},
                .setup = [](DriverTree &tree) {
                    write(tree, "run/slurmctld-update", pending_n1);
                    drop_in(tree);
                    scontrol_answers(tree, "down\n", 1);
                    write(tree, "bin/scontrol.does", at(tree, "rm -rf @/run && mkdir @/run && "
                                                             "printf 'n1\\nsite_a,quarn1000\\n' >@/run/slurmctld-update\n"));
                }},

    // slurmd-options: the env file, the update with -N's name, and when
    // neither is written.
    PublishCase{.name = "options_dynamic", .program = good,
                .args = {"slurmd-options", "@/run", "-Z", "--conf", "CPUs=1 Feature=site_a", "-N", "n7"},
                .err = "gpu_arch-publish: node n7 features: site_a,quarn1000,quarn904\n",
                .files = {{"run/slurmd.env", options_env},
                          {"bin/scontrol.log", "update NodeName=n7 AvailableFeatures=site_a,quarn1000,quarn904 "
                                               "ActiveFeatures=site_a,quarn1000,quarn904\n"}},
                .setup = [](DriverTree &tree) { tree.add({"run"}); }},
    PublishCase{.name = "options_controller_down", .program = good, .args = {"slurmd-options", "@/run", "-Z", "-N", "n7"},
                .err = "gpu_arch-publish: slurmctld did not take the features of node n7 (scontrol failed (exit status 1): "
                       "Unable to contact slurm controller): until it does, it may still hold the node's old GPU "
                       "architectures; gpu_arch-publish.timer retries every minute\n"
                       "gpu_arch-publish: node n7 features: quarn1000,quarn904\n", .status = 1,
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

    // node-line: DEFAULT's features, CRLF continuations and an escaped #.
    PublishCase{.name = "node_line_inherits_default_features", .program = good, .args = {"node-line"}, .err = "",
                .out = "NodeName=n1 CPUs=4   Weight=2 Feature=ib,quarn1000,quarn904\n",
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); },
                .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n1"}},
    PublishCase{.name = "node_line_escaped_hash", .program = good, .args = {"node-line"}, .err = "",
                .out = "NodeName=n2 Features=a\\#b,quarn1000,quarn904 Weight=1 # rack\n",
                .setup = [](DriverTree &tree) { write(tree, "slurm.conf", conf); },
                .env = {"SLURM_CONF=@/slurm.conf", "SLURMD_NODENAME=n2"}},
    PublishCase{.name = "node_line_without_slurm_conf", .program = good, .args = {"node-line"},
                .err = "gpu_arch-publish: cannot read @/nothing: No such file or directory\n", .status = 1,
                .env = {"SLURM_CONF=@/nothing", "SLURMD_NODENAME=n2"}}),
    [](const testing::TestParamInfo<PublishCase> &info) { return std::string(info.param.name); });
// clang-format on

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
