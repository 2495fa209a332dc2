// SPDX-License-Identifier: MIT
// Black-box tests: each case builds a driver tree of its own (driver_tree.hpp), runs the real binary, built
// with the relative sysfs root "sys", in it (tool_process.hpp) and compares both streams and the status exactly.

#include <sys/stat.h>

#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "driver_tree.hpp"
#include "slurm.hpp"
#include "tool_process.hpp"

namespace {

const std::string not_found = "Can not find supported GPU!\n";

// Names each row of a table after its name field.
template <class Case> std::string case_name(const testing::TestParamInfo<Case> &info)
{
    return info.param.name;
}

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
    DriverTree tree;
    tree.node(primary, "1", GetParam().content);
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY), GetParam().out, "");
}

const std::string filler(4096, 'x');
using namespace std::string_literals;

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, PropertiesLines,
    testing::Values(
        PropertiesCase{.name = "MinorOnOwnLineIgnored", .content = "isa_major 10\nisa_minor 3\n", .out = "quarn1000\n"},
        PropertiesCase{.name = "BothOnOneLine", .content = "isa_major 9 isa_minor 4\n", .out = "quarn904\n"},
        PropertiesCase{.name = "MinorFirst", .content = "isa_minor 4 isa_major 9\n", .out = "quarn904\n"},
        PropertiesCase{.name = "MinorAlone", .content = "isa_minor 3\n", .out = ""},
        PropertiesCase{.name = "MajorZero", .content = "simd_count 256\nisa_major 0\nisa_minor 6\n", .out = ""},
        PropertiesCase{.name = "NegativeMajor", .content = "isa_major -1\n", .out = "quarn-100\n"},
        PropertiesCase{.name = "SumIsZero", .content = "isa_major 1 isa_minor -100\n", .out = "quarn0\n"},
        PropertiesCase{.name = "MinorDoesNotCarryOver", .content = "isa_minor 5\nisa_major 3\n", .out = "quarn300\n"},
        PropertiesCase{.name = "TabAndBlank", .content = "isa_major\t 7\n", .out = "quarn700\n"},
        PropertiesCase{.name = "OtherSeparators", .content = "isa_major=7\nisa_major: 7\n", .out = ""},
        PropertiesCase{.name = "TrailingLetters", .content = "isa_major 7abc\n", .out = "quarn700\n"},
        PropertiesCase{.name = "KeyFollowedByUnderscore", .content = "isa_major_x 5\n", .out = ""},
        PropertiesCase{.name = "KeyInsideWord", .content = "visa_major 3\n", .out = "quarn300\n"},
        PropertiesCase{.name = "CaseSensitive", .content = "ISA_major 3\nIsa_major 3\n", .out = ""},
        PropertiesCase{.name = "TwoMajorLines", .content = "isa_major 10\nisa_major 10\n", .out = "quarn1000\nquarn1000\n"},
        PropertiesCase{.name = "FirstOccurrenceWins", .content = "isa_major 5 isa_major 6 isa_minor 1 isa_minor 2\n", .out = "quarn501\n"},
        PropertiesCase{.name = "NulHidesRest", .content = "isa_major 5\0 isa_minor 9\nab\0isa_major 4\n"s, .out = "quarn500\n"},
        PropertiesCase{.name = "CrLf", .content = "isa_major 7\r\nisa_major 7 isa_minor 2\r\n", .out = "quarn700\nquarn702\n"},
        PropertiesCase{.name = "NoFinalNewline", .content = "isa_major 8 isa_minor 1", .out = "quarn801\n"},
        PropertiesCase{.name = "NumberOnNextLine", .content = "isa_major\n5\n", .out = ""},
        PropertiesCase{.name = "Empty", .content = "", .out = ""},
        PropertiesCase{.name = "LeadingZero", .content = "isa_major 010\n", .out = "quarn1000\n"},
        PropertiesCase{.name = "Hexadecimal", .content = "isa_major 0x10\n", .out = ""},
        PropertiesCase{.name = "PlusSign", .content = "isa_major +5\n", .out = "quarn500\n"},
        PropertiesCase{.name = "Low32BitsZero", .content = "isa_major 4294967296\n", .out = ""},
        PropertiesCase{.name = "Low32BitsOne", .content = "isa_major 4294967297\n", .out = "quarn100\n"},
        PropertiesCase{.name = "SumWraps", .content = "isa_major 21474837 isa_minor 48\n", .out = "quarn-2147483548\n"},
        PropertiesCase{.name = "MinorWraps", .content = "isa_major 2147483647 isa_minor 2147483647\n", .out = "quarn2147483547\n"},
        PropertiesCase{.name = "AboveInt64", .content = "isa_major 99999999999999999999\n", .out = "quarn-100\n"},
        PropertiesCase{.name = "AboveInt64WithMinor", .content = "isa_major 99999999999999999999 isa_minor 5\n", .out = "quarn-95\n"},
        PropertiesCase{.name = "BelowInt64", .content = "isa_major -99999999999999999999\n", .out = ""},
        PropertiesCase{.name = "KeyInSecondPiece", .content = filler.substr(0, 4095) + "isa_major 5\n", .out = "quarn500\n"},
        PropertiesCase{.name = "KeySplitAcrossPieces", .content = filler.substr(0, 4090) + "isa_major 5\n", .out = ""},
        PropertiesCase{.name = "KeyAndValueFillPiece", .content = filler.substr(0, 4084) + "isa_major 5\n", .out = "quarn500\n"},
        PropertiesCase{.name = "ValueInNextPiece", .content = filler.substr(0, 4085) + "isa_major 5\n", .out = ""},
        PropertiesCase{.name = "KeyInEachPiece", .content = "isa_major 6 " + filler + "isa_major 7\n", .out = "quarn600\nquarn700\n"}),
    case_name<PropertiesCase>);
// clang-format on

// Where the tool looks for the tree, and what it says when it cannot read it:
// a GPU node at either location or both, then one entry made last.
struct LocationCase {
    const char *name;
    bool primary_gpu = false;  // node 0 with isa_major 10 in the primary nodes directory
    bool fallback_gpu = false; // node 0 with isa_major 9 in the fallback one
    DriverTree::Entry last = {};
    bool unprivileged = false;
    std::string out = "";
    std::string err = "";
};

class Locations : public testing::TestWithParam<LocationCase> {};

TEST_P(Locations, ChooseAndReadNodesDirectory)
{
    const LocationCase &row = GetParam();
    DriverTree tree;
    if (row.primary_gpu) {
        tree.node(primary, "0", "isa_major 10\n");
    }
    if (row.fallback_gpu) {
        tree.node(fallback, "0", "isa_major 9\n");
    }
    tree.add(row.last);
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY, {.unprivileged = row.unprivileged}), row.out, row.err);
}


// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, Locations,
    testing::Values(
        LocationCase{.name = "Primary", .primary_gpu = true, .out = "quarn1000\n"},
        LocationCase{.name = "Fallback", .fallback_gpu = true, .out = "quarn900\n"},
        LocationCase{.name = "PrimaryWins", .primary_gpu = true, .fallback_gpu = true, .out = "quarn1000\n"},
        LocationCase{.name = "PrimaryWithoutNodes", .fallback_gpu = true, .last = {device + "/layout"}, .err = not_found},
        LocationCase{.name = "PrimaryDeviceOnly", .fallback_gpu = true, .last = {device}, .err = not_found},
        LocationCase{.name = "PrimaryDeviceClosed", .primary_gpu = true, .fallback_gpu = true, .last = {device, 0},
                     .unprivileged = true, .err = not_found},
        LocationCase{.name = "Neither", .last = {"sys"}, .err = not_found},
        LocationCase{.name = "NodesIsAFile", .last = {primary, 0644, "isa_major 1\n"}, .err = not_found},
        LocationCase{.name = "EmptyNodes", .last = {primary}},
        LocationCase{.name = "PrimaryNotSearchable", .primary_gpu = true, .fallback_gpu = true,
                     .last = {fs::path(device).parent_path(), 0600}, .unprivileged = true, .out = "quarn900\n"},
        LocationCase{.name = "NodesNotReadable", .primary_gpu = true, .last = {primary, 0311}, .unprivileged = true,
                     .err = not_found},
        LocationCase{.name = "PropertiesNotReadable", .last = {primary + "/0/properties", 0200, "isa_major 10\n"},
                     .unprivileged = true, .err = "fopen: Permission denied\n"},
        LocationCase{.name = "NodeNotSearchable", .primary_gpu = true, .last = {primary + "/0", 0600},
                     .unprivileged = true, .err = "fopen: Permission denied\n"}),
    case_name<LocationCase>);
// clang-format on

// A nodes directory with every kind of entry; the expected streams follow the
// order in which the directory returns its entries.
TEST(Walk, VisitsEveryDirectoryEntryInDirectoryOrder)
{
    DriverTree tree;
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
    tree.add({primary + "/no_properties"});
    tree.add({primary + "/properties_is_dir/properties"});
    tree.add({primary + "/regular", 0644, "isa_major 3\n"});
    ASSERT_EQ(mkfifo(tree.path(primary + "/fifo").c_str(), 0644), 0);

    std::string out;
    std::string err;
    const auto order = tree.listing(primary);
    ASSERT_EQ(order.size(), expected.size());
    for (const auto &name : order) {
        out += expected.at(name).first;
        err += expected.at(name).second;
    }
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY), out, err);
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
    // More output than one stdio buffer holds, so that writes fail more than once.
    std::string many_gpus;
    for (int line = 0; line < 1000; ++line) {
        many_gpus += "isa_major 10\n";
    }
    DriverTree with_gpus;
    for (const char *node : {"0", "1", "2"}) {
        with_gpus.node(primary, node, many_gpus);
    }
    with_gpus.add({primary + "/no_properties"});
    expect_outcome(run_tool(with_gpus, GPU_ARCH_TREE_BINARY, {.stdout_to = GetParam().stdout_to}), "",
                   "fopen: No such file or directory\nwrite: " + GetParam().error + "\n", 1);

    DriverTree without_gpus;
    without_gpus.node(primary, "cpu", "isa_major 0\n");
    expect_outcome(run_tool(without_gpus, GPU_ARCH_TREE_BINARY, {.stdout_to = GetParam().stdout_to}), "", "");
}

INSTANTIATE_TEST_SUITE_P(
    Table, OutputFailures,
    testing::Values(
        OutputFailureCase{.name = "DeviceFull", .stdout_to = Stdout::DevFull, .error = "No space left on device"},
        OutputFailureCase{.name = "Closed", .stdout_to = Stdout::Closed, .error = "Bad file descriptor"},
        OutputFailureCase{.name = "BrokenPipe", .stdout_to = Stdout::BrokenPipe, .error = "Broken pipe"}),
    case_name<OutputFailureCase>);

// A properties file whose read fails is reported; the walk goes on.
TEST(ReadFailures, PropertiesReadErrorIsReported)
{
    DriverTree tree;
    tree.node(primary, "0", "isa_major 10\n");
    tree.add({primary + "/mem"});
    // Offset 0 of a process's memory is never mapped: reading it fails with EIO.
    fs::create_symlink("/proc/self/mem", tree.path(primary + "/mem/properties"));
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY), "quarn1000\n", "fgets: Input/output error\n");
}

TEST(ReadFailures, NodesDirectoryReadErrorIsReported)
{
    DriverTree tree;
    tree.node(primary, "0", "isa_major 10\n");
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY, {.fail_readdir = true}), "", "readdir: Input/output error\n");
}

TEST(Arguments, ChangeNothing)
{
    DriverTree tree;
    tree.node(primary, "0", "isa_major 10\n");
    expect_outcome(run_tool(tree, GPU_ARCH_TREE_BINARY, {.args = {"--help", "-v", "sys"}}), "quarn1000\n", "");
}

// The production binary on this machine's own sysfs.
TEST(Production, ReadsRealSysfs)
{
    DriverTree tree;
    const Outcome got = run_tool(tree, GPU_ARCH_BINARY);
    EXPECT_EQ(got.status, 0);
    std::stringstream lines(got.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(is_architecture_name(line)) << line;
    }
}

} // namespace
