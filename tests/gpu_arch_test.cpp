// SPDX-License-Identifier: MIT
// Black-box tests: each case builds a driver tree in a fresh directory, runs
// the real binary there as a child process and compares stdout, stderr and the
// exit status exactly. The binary under test is built with the relative sysfs
// root "sys", so every case has its own tree.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

const std::string primary = "sys/devices/virtual/zerdo/qlvn/layout/nodes";
const std::string fallback = "sys/devices/virtual/qlvn/qlvn/layout/nodes";
const std::string not_found = "Can not find supported GPU!\n";

struct Outcome {
    std::string out;
    std::string err;
    int status = -1;
};

// Where the tool's standard output goes.
enum class Stdout { File, DevFull, Closed, BrokenPipe };

struct RunOptions {
    bool unprivileged = false;       // as nobody when run as root
    Stdout stdout_to = Stdout::File; // only File captures the output
    bool fail_readdir = false;       // every directory read fails with EIO
    std::vector<std::string> args = {};
};

// A directory tree under /tmp, readable by everyone so that cases can also run
// as an unprivileged user; removed when the case ends.
class Tree {
public:
    Tree()
    {
        char name[] = "/tmp/gpu_arch_test.XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        root_ = name;
        fs::permissions(root_, fs::perms(0755));
    }
    ~Tree()
    {
        // A directory closed to its owner cannot be emptied by a normal user.
        std::error_code ignored;
        for (const auto &closed : closed_dirs_) {
            fs::permissions(closed, fs::perms(0755), ignored);
        }
        fs::remove_all(root_, ignored);
    }
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    fs::path path(const std::string &relative) const { return root_ / relative; }

    void dir(const std::string &relative, unsigned mode = 0755)
    {
        fs::create_directories(path(relative));
        fs::permissions(path(relative), fs::perms(mode));
        if (mode != 0755) {
            closed_dirs_.push_back(path(relative));
        }
    }
    void file(const std::string &relative, const std::string &content, unsigned mode = 0644)
    {
        fs::create_directories(path(relative).parent_path());
        std::ofstream(path(relative), std::ios::binary) << content;
        fs::permissions(path(relative), fs::perms(mode));
    }
    void node(const std::string &nodes, const std::string &name, const std::string &properties)
    {
        file(nodes + "/" + name + "/properties", properties);
    }

    // Entry names of a directory in the order the file system returns them.
    std::vector<std::string> listing(const std::string &relative) const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path(relative))) {
            names.push_back(entry.path().filename());
        }
        return names;
    }

    // Runs binary with the tree as working directory, as the options say.
    Outcome run(std::string binary, const RunOptions &options = {}) const
    {
        if (options.unprivileged) {
            // The build folder may not be reachable for nobody: run a copy.
            const std::string copy = path("gpu_arch");
            std::ofstream(copy, std::ios::binary) << std::ifstream(binary, std::ios::binary).rdbuf();
            EXPECT_EQ(chmod(copy.c_str(), 0755), 0);
            binary = copy;
        }
        std::vector<std::string> argv;
        if (options.fail_readdir) {
            argv.emplace_back(GPU_ARCH_FAIL_GETDENTS);
        }
        // A launcher such as valgrind may be put in front of the tool instead.
        const char *launcher = getenv("GPU_ARCH_TEST_LAUNCHER");
        std::stringstream emulator(launcher != nullptr ? launcher : GPU_ARCH_TEST_EMULATOR);
        for (std::string word; emulator >> word;) {
            argv.push_back(word);
        }
        argv.push_back(binary);
        argv.insert(argv.end(), options.args.begin(), options.args.end());

        // Both streams go to unlinked files, read back once the run is over.
        FILE *out = tmpfile();
        FILE *err = tmpfile();
        const pid_t pid = fork();
        if (pid == 0) {
            exec_child(argv, options, fileno(out), fileno(err));
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {slurp(out), slurp(err), WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)};
    }

private:
    [[noreturn]] void exec_child(const std::vector<std::string> &argv, const RunOptions &options, int out,
                                 int err) const
    {
        if (dup2(err, 2) < 0 || chdir(root_.c_str()) != 0 || !redirect_stdout(options.stdout_to, out)) {
            _exit(126);
        }
        if (options.unprivileged && geteuid() == 0) {
            const passwd *nobody = getpwnam("nobody");
            const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
            const gid_t gid = nobody != nullptr ? nobody->pw_gid : 65534;
            if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) {
                _exit(125);
            }
        }
        if (options.fail_readdir) {
            // The leak checker lists the process's threads through a directory
            // read at exit, which fails here too; valgrind still checks leaks.
            setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        }
        std::vector<char *> raw;
        for (const auto &word : argv) {
            raw.push_back(const_cast<char *>(word.c_str()));
        }
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }

    static bool redirect_stdout(Stdout to, int file)
    {
        switch (to) {
        case Stdout::File:
            return dup2(file, 1) == 1;
        case Stdout::DevFull: {
            const int full = open("/dev/full", O_WRONLY);
            return full >= 0 && dup2(full, 1) == 1;
        }
        case Stdout::Closed:
            return close(1) == 0;
        case Stdout::BrokenPipe: {
            // An ignored SIGPIPE stays ignored across exec: writes fail with EPIPE.
            int ends[2];
            return pipe(ends) == 0 && close(ends[0]) == 0 && dup2(ends[1], 1) == 1 &&
                   signal(SIGPIPE, SIG_IGN) != SIG_ERR;
        }
        }
        return false;
    }

    static std::string slurp(FILE *file)
    {
        std::string text;
        rewind(file);
        for (int c = 0; (c = fgetc(file)) != EOF;) {
            text.push_back(static_cast<char>(c));
        }
        fclose(file);
        return text;
    }

    fs::path root_;
    std::vector<fs::path> closed_dirs_;
};

void expect_outcome(const Outcome &got, const std::string &out, const std::string &err, int status = 0)
{
    EXPECT_EQ(got.out, out);
    EXPECT_EQ(got.err, err);
    EXPECT_EQ(got.status, status);
}

// One properties file in one node: its content and the stdout it must give.
struct PropertiesCase {
    const char *name;
    std::string content;
    std::string out;
};

class PropertiesLines : public testing::TestWithParam<PropertiesCase> {};

TEST_P(PropertiesLines, PrintArchitectureLines)
{
    Tree tree;
    tree.node(primary, "1", GetParam().content);
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY), GetParam().out, "");
}

const std::string filler(4096, 'x');
using namespace std::string_literals;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, PropertiesLines,
    testing::Values(
        PropertiesCase{"MajorThenMinorLine", "isa_major 10\nisa_minor 0\n", "quarn1000\n"},
        PropertiesCase{"MinorOnOwnLineIgnored", "isa_major 10\nisa_minor 3\n", "quarn1000\n"},
        PropertiesCase{"BothOnOneLine", "isa_major 9 isa_minor 4\n", "quarn904\n"},
        PropertiesCase{"MinorFirst", "isa_minor 4 isa_major 9\n", "quarn904\n"},
        PropertiesCase{"MinorAlone", "isa_minor 3\n", ""},
        PropertiesCase{"MajorZero", "simd_count 256\nisa_major 0\nisa_minor 6\n", ""},
        PropertiesCase{"NegativeMajor", "isa_major -1\n", "quarn-100\n"},
        PropertiesCase{"SumIsZero", "isa_major 1 isa_minor -100\n", "quarn0\n"},
        PropertiesCase{"MinorDoesNotCarryOver", "isa_minor 5\nisa_major 3\n", "quarn300\n"},
        PropertiesCase{"TabAndBlank", "isa_major\t 7\n", "quarn700\n"},
        PropertiesCase{"OtherSeparators", "isa_major=7\nisa_major: 7\n", ""},
        PropertiesCase{"TrailingLetters", "isa_major 7abc\n", "quarn700\n"},
        PropertiesCase{"KeyFollowedByUnderscore", "isa_major_x 5\n", ""},
        PropertiesCase{"KeyInsideWord", "visa_major 3\n", "quarn300\n"},
        PropertiesCase{"CaseSensitive", "ISA_major 3\nIsa_major 3\n", ""},
        PropertiesCase{"TwoMajorLines", "isa_major 10\nisa_major 10\n", "quarn1000\nquarn1000\n"},
        PropertiesCase{"FirstOccurrenceWins", "isa_major 5 isa_major 6 isa_minor 1 isa_minor 2\n", "quarn501\n"},
        PropertiesCase{"NulHidesRest", "isa_major 5\0 isa_minor 9\nab\0isa_major 4\n"s, "quarn500\n"},
        PropertiesCase{"CrLf", "isa_major 7\r\nisa_major 7 isa_minor 2\r\n", "quarn700\nquarn702\n"},
        PropertiesCase{"NoFinalNewline", "isa_major 8 isa_minor 1", "quarn801\n"},
        PropertiesCase{"NumberOnNextLine", "isa_major\n5\n", ""},
        PropertiesCase{"Empty", "", ""},
        PropertiesCase{"LeadingZero", "isa_major 010\n", "quarn1000\n"},
        PropertiesCase{"Hexadecimal", "isa_major 0x10\n", ""},
        PropertiesCase{"PlusSign", "isa_major +5\n", "quarn500\n"},
        PropertiesCase{"Low32BitsZero", "isa_major 4294967296\n", ""},
        PropertiesCase{"Low32BitsOne", "isa_major 4294967297\n", "quarn100\n"},
        PropertiesCase{"SumWraps", "isa_major 21474837 isa_minor 48\n", "quarn-2147483548\n"},
        PropertiesCase{"MinorWraps", "isa_major 2147483647 isa_minor 2147483647\n", "quarn2147483547\n"},
        PropertiesCase{"AboveInt64", "isa_major 99999999999999999999\n", "quarn-100\n"},
        PropertiesCase{"AboveInt64WithMinor", "isa_major 99999999999999999999 isa_minor 5\n", "quarn-95\n"},
        PropertiesCase{"BelowInt64", "isa_major -99999999999999999999\n", ""},
        PropertiesCase{"KeyInSecondPiece", filler.substr(0, 4095) + "isa_major 5\n", "quarn500\n"},
        PropertiesCase{"KeySplitAcrossPieces", filler.substr(0, 4090) + "isa_major 5\n", ""},
        PropertiesCase{"KeyAndValueFillPiece", filler.substr(0, 4084) + "isa_major 5\n", "quarn500\n"},
        PropertiesCase{"ValueInNextPiece", filler.substr(0, 4085) + "isa_major 5\n", ""},
        PropertiesCase{"KeyInEachPiece", "isa_major 6 " + filler + "isa_major 7\n", "quarn600\nquarn700\n"}),
    [](const testing::TestParamInfo<PropertiesCase> &info) { return std::string(info.param.name); });
// clang-format on

// Where the tool looks for the tree, and what it says when it cannot read it.
struct LocationCase {
    const char *name;
    void (*build)(Tree &);
    bool unprivileged;
    std::string out;
    std::string err;
};

class Locations : public testing::TestWithParam<LocationCase> {};

TEST_P(Locations, ChooseAndReadNodesDirectory)
{
    Tree tree;
    GetParam().build(tree);
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY, {.unprivileged = GetParam().unprivileged}), GetParam().out,
                   GetParam().err);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Locations,
    testing::Values(
        LocationCase{"Primary", [](Tree &t) { t.node(primary, "0", "isa_major 10\n"); }, false, "quarn1000\n", ""},
        LocationCase{"Fallback", [](Tree &t) { t.node(fallback, "0", "isa_major 9\n"); }, false, "quarn900\n", ""},
        LocationCase{"PrimaryWins",
                     [](Tree &t) {
                         t.node(primary, "0", "isa_major 10\n");
                         t.node(fallback, "0", "isa_major 9\n");
                     },
                     false, "quarn1000\n", ""},
        LocationCase{"PrimaryWithoutNodes",
                     [](Tree &t) {
                         t.dir("sys/devices/virtual/zerdo/qlvn/layout");
                         t.node(fallback, "0", "isa_major 9\n");
                     },
                     false, "", not_found},
        LocationCase{"PrimaryDeviceOnly",
                     [](Tree &t) {
                         t.dir("sys/devices/virtual/zerdo/qlvn");
                         t.node(fallback, "0", "isa_major 9\n");
                     },
                     false, "", not_found},
        LocationCase{"PrimaryDeviceClosed",
                     [](Tree &t) {
                         t.node(primary, "0", "isa_major 10\n");
                         t.node(fallback, "0", "isa_major 9\n");
                         t.dir("sys/devices/virtual/zerdo/qlvn", 0);
                     },
                     true, "", not_found},
        LocationCase{"Neither", [](Tree &t) { t.dir("sys/devices/virtual"); }, false, "", not_found},
        LocationCase{"NodesIsAFile", [](Tree &t) { t.file(primary, "isa_major 1\n"); }, false, "", not_found},
        LocationCase{"EmptyNodes", [](Tree &t) { t.dir(primary); }, false, "", ""},
        LocationCase{"PrimaryNotSearchable",
                     [](Tree &t) {
                         t.node(primary, "0", "isa_major 10\n");
                         t.node(fallback, "0", "isa_major 9\n");
                         t.dir("sys/devices/virtual/zerdo", 0600);
                     },
                     true, "quarn900\n", ""},
        LocationCase{"NodesNotReadable",
                     [](Tree &t) {
                         t.node(primary, "0", "isa_major 10\n");
                         t.dir(primary, 0311);
                     },
                     true, "", not_found},
        LocationCase{"PropertiesNotReadable",
                     [](Tree &t) { t.file(primary + "/0/properties", "isa_major 10\n", 0200); }, true, "",
                     "fopen: Permission denied\n"},
        LocationCase{"NodeNotSearchable",
                     [](Tree &t) {
                         t.node(primary, "0", "isa_major 10\n");
                         t.dir(primary + "/0", 0600);
                     },
                     true, "", "fopen: Permission denied\n"}),
    [](const testing::TestParamInfo<LocationCase> &info) { return std::string(info.param.name); });

// A nodes directory with every kind of entry; the expected streams follow the
// order in which the directory returns its entries.
TEST(Walk, VisitsEveryDirectoryEntryInDirectoryOrder)
{
    Tree tree;
    const std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"0", {"quarn1000\n", ""}},
        {".hidden", {"quarn904\n", ""}},
        {"node with spaces", {"quarn1100\n", ""}},
        {std::string(255, 'n'), {"quarn1201\n", ""}},
        {"twin", {"quarn1000\n", ""}},
        {"cpu", {"", ""}},
        {"link", {"quarn1000\n", ""}},
        {"dangling", {"", "stat: No such file or directory\n"}},
        {"loop", {"", "stat: Too many levels of symbolic links\n"}},
        {"no_properties", {"", "fopen: No such file or directory\n"}},
        {"properties_is_dir", {"", "fgets: Is a directory\n"}},
        {"regular", {"", ""}},
        {"fifo", {"", ""}},
    };
    tree.node(primary, "0", "cpu_cores_count 0\nisa_major 10\nisa_minor 0\n");
    tree.node(primary, ".hidden", "isa_major 9 isa_minor 4\n");
    tree.node(primary, "node with spaces", "isa_major 11\n");
    tree.node(primary, std::string(255, 'n'), "isa_major 12 isa_minor 1\n");
    tree.node(primary, "twin", "isa_major 10\n");
    tree.node(primary, "cpu", "isa_major 0\n");
    tree.node(primary, "cpu/caches", "isa_major 5\n");
    fs::create_symlink("0", tree.path(primary + "/link"));
    fs::create_symlink("missing", tree.path(primary + "/dangling"));
    fs::create_symlink("loop", tree.path(primary + "/loop"));
    tree.dir(primary + "/no_properties");
    tree.dir(primary + "/properties_is_dir/properties");
    tree.file(primary + "/regular", "isa_major 3\n");
    ASSERT_EQ(mkfifo(tree.path(primary + "/fifo").c_str(), 0644), 0);

    std::string out;
    std::string err;
    const auto order = tree.listing(primary);
    ASSERT_EQ(order.size(), expected.size());
    for (const auto &name : order) {
        out += expected.at(name).first;
        err += expected.at(name).second;
    }
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY), out, err);
}

// Lost output is the one failure that changes the exit status; with nothing to
// write, a broken standard output is no error.
struct OutputFailureCase {
    const char *name;
    Stdout stdout_to;
    std::string error;
};

class OutputFailures : public testing::TestWithParam<OutputFailureCase> {};

TEST_P(OutputFailures, ReportLostOutputLast)
{
    Tree with_gpus;
    for (const char *node : {"0", "1", "2"}) {
        with_gpus.node(primary, node, "isa_major 10\n");
    }
    with_gpus.dir(primary + "/no_properties");
    expect_outcome(with_gpus.run(GPU_ARCH_TREE_BINARY, {.stdout_to = GetParam().stdout_to}), "",
                   "fopen: No such file or directory\nwrite: " + GetParam().error + "\n", 1);

    Tree without_gpus;
    without_gpus.node(primary, "cpu", "isa_major 0\n");
    expect_outcome(without_gpus.run(GPU_ARCH_TREE_BINARY, {.stdout_to = GetParam().stdout_to}), "", "");
}

INSTANTIATE_TEST_SUITE_P(Table, OutputFailures,
                         testing::Values(OutputFailureCase{"DeviceFull", Stdout::DevFull, "No space left on device"},
                                         OutputFailureCase{"Closed", Stdout::Closed, "Bad file descriptor"},
                                         OutputFailureCase{"BrokenPipe", Stdout::BrokenPipe, "Broken pipe"}),
                         [](const testing::TestParamInfo<OutputFailureCase> &info) {
                             return std::string(info.param.name);
                         });

// A properties file whose read fails is reported; the walk goes on.
TEST(ReadFailures, PropertiesReadErrorIsReported)
{
    Tree tree;
    tree.node(primary, "0", "isa_major 10\n");
    tree.dir(primary + "/mem");
    // Offset 0 of a process's memory is never mapped: reading it fails with EIO.
    fs::create_symlink("/proc/self/mem", tree.path(primary + "/mem/properties"));
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY), "quarn1000\n", "fgets: Input/output error\n");
}

TEST(ReadFailures, NodesDirectoryReadErrorIsReported)
{
    Tree tree;
    tree.node(primary, "0", "isa_major 10\n");
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY, {.fail_readdir = true}), "", "readdir: Input/output error\n");
}

TEST(Arguments, ChangeNothing)
{
    Tree tree;
    tree.node(primary, "0", "isa_major 10\n");
    expect_outcome(tree.run(GPU_ARCH_TREE_BINARY, {.args = {"--help", "-v", "sys"}}), "quarn1000\n", "");
}

// The production binary on this machine's own sysfs.
TEST(Production, ReadsRealSysfs)
{
    Tree tree;
    const Outcome got = tree.run(GPU_ARCH_BINARY);
    EXPECT_EQ(got.status, 0);
    std::stringstream lines(got.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(line.rfind("quarn", 0) == 0 && line.find_first_not_of("-0123456789", 5) == std::string::npos)
            << line;
    }
}

} // namespace
