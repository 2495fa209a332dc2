// SPDX-License-Identifier: MIT
// gpu_arch-publish's text work as tables: what counts as an architecture, how
// words are quoted for systemd, and how slurmd's options and slurm.conf's node
// lines change. The scenarios under a real systemd check the same against it.

#include <gtest/gtest.h>

#include "json.hpp"
#include "nfd.hpp"
#include "prometheus.hpp"
#include "slurm.hpp"

namespace {

const std::vector<Architecture> quarn1000 = {{"quarn1000", 2}};
const std::vector<Architecture> mixed = {{"quarn1000", 1}, {"quarn904", 1}};

std::string counts(const Detection &detection)
{
    std::string text;
    for (const Architecture &architecture : detection.architectures) {
        text += architecture.name + "=" + std::to_string(architecture.gpus) + " ";
    }
    for (const std::string &line : detection.dropped) {
        text += "dropped:" + line + " ";
    }
    return detection.partial.empty() ? text : text + "partial:" + detection.partial;
}

TEST(Detection, KeepsArchitectureNamesCountedInOrderOfFirstAppearance)
{
    using namespace std::string_literals;
    const std::pair<std::string, std::string> rows[] = {
        {"quarn1000\nquarn904\nquarn1000\n", "quarn1000=2 quarn904=1 "},
        {"quarn-100\r\n\nquarn0\n", "quarn-100=1 quarn0=1 "},
        {"quarn1000\nquarn90", "quarn1000=1 partial:quarn90"},
        {"note: see [1\nquarn1000;quarn904\nsm_80;quarn1000\nquarn904x\n quarn904\ngpu0: quarn1000\nquarn\n",
         "dropped:note: see [1 dropped:quarn1000;quarn904 dropped:sm_80;quarn1000 dropped:quarn904x "
         "dropped: quarn904 dropped:gpu0: quarn1000 dropped:quarn "},
        {"quarn1000\0junk\n"s, "dropped:"s + "quarn1000\0junk"s + " "},
        {"", ""},
    };
    for (const auto &[output, expected] : rows) {
        EXPECT_EQ(counts(read_detection(output)), expected) << output;
    }
}

TEST(Quoting, SystemdReadsBackEachWord)
{
    const std::pair<std::string, std::string> command_line[] = {
        {"-Z", "-Z"},
        {"--conf=Feature=a,b", "--conf=Feature=a,b"},
        {"CPUs=1 Feature=a", "\"CPUs=1 Feature=a\""},
        {"", "\"\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\b", "\"a\\\\b\""},
        {"it's", "\"it's\""},
        {"tab\there", "\"tab\there\""},
        {"line\nbreak", "\"line\nbreak\""},
        {"carriage\rreturn", "\"carriage\rreturn\""},
        {"$HOME;~root>x", "$HOME;~root>x"},
    };
    for (const auto &[word, quoted] : command_line) {
        EXPECT_EQ(quote_for_command_line(word), quoted) << word;
    }
    const std::pair<std::string, std::string> environment_file[] = {
        {"-Z \"a b\"", "\"-Z \\\"a b\\\"\""},
        {"$x `y` \\z", "\"\\$x \\`y\\` \\\\z\""},
        {"a\nb", "\"a\nb\""},
    };
    for (const auto &[value, quoted] : environment_file) {
        EXPECT_EQ(quote_for_environment_file(value), quoted) << value;
    }
    EXPECT_EQ(quote_for_message("a'\\\x1b\tb"), "'a\\'\\\\\\x1b\\x09b'");
}

struct OptionsCase {
    const char *name;
    std::vector<std::string> words;
    std::vector<Architecture> architectures;
    std::vector<std::string> expected;
    std::string features;
    bool dynamic = true;
    std::string node_name = "";
};

class SlurmdOptionsRows : public testing::TestWithParam<OptionsCase> {};

TEST_P(SlurmdOptionsRows, OnlyFeaturesChange)
{
    const OptionsCase &row = GetParam();
    const SlurmdOptions got = rewrite_slurmd_options(row.words, row.architectures);
    EXPECT_EQ(got.words, row.expected);
    EXPECT_EQ(got.features, row.features);
    EXPECT_EQ(got.dynamic, row.dynamic);
    EXPECT_EQ(got.node_name, row.node_name);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Table, SlurmdOptionsRows,
    testing::Values(
        OptionsCase{.name = "ConfExtended", .words = {"-Z", "--conf", "CPUs=1 Feature=site_a"}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "CPUs=1 Feature=site_a,quarn1000"}, .features = "site_a,quarn1000"},
        OptionsCase{.name = "ConfAdded", .words = {"-Z"}, .architectures = mixed,
                    .expected = {"-Z", "--conf", "Feature=quarn1000,quarn904"}, .features = "quarn1000,quarn904"},
        OptionsCase{.name = "NoEmptyConf", .words = {"-Z", "-v"}, .architectures = {}, .expected = {"-Z", "-v"}, .features = ""},
        OptionsCase{.name = "ConfEqualsForm", .words = {"-Z", "--conf=Weight=9 Features=\"a,quarn904\" Gres=gpu:2"},
                    .architectures = quarn1000, .expected = {"-Z", "--conf=Weight=9 Features=a,quarn1000 Gres=gpu:2"},
                    .features = "a,quarn1000"},
        OptionsCase{.name = "StaleArchitectureGoes", .words = {"-Z", "--conf", "Feature=quarn904 CPUs=2"}, .architectures = {},
                    .expected = {"-Z", "--conf", "CPUs=2"}, .features = ""},
        OptionsCase{.name = "OnlyWholeNamesGo", .words = {"-Z", "--conf", "Feature=quarn904x,quarn"}, .architectures = {},
                    .expected = {"-Z", "--conf", "Feature=quarn904x,quarn"}, .features = "quarn904x,quarn"},
        OptionsCase{.name = "LastConfCounts", .words = {"-Z", "--conf", "CPUs=1", "--conf", "CPUs=2"}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "CPUs=1", "--conf", "CPUs=2 Feature=quarn1000"}, .features = "quarn1000"},
        OptionsCase{.name = "EmptyConf", .words = {"-Z", "--conf="}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf=Feature=quarn1000"}, .features = "quarn1000"},
        OptionsCase{.name = "ConfWithoutValue", .words = {"-Z", "--conf"}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "--conf", "Feature=quarn1000"}, .features = "quarn1000"},
        OptionsCase{.name = "HostileWordsPassed", .words = {"-Z;", "echo", "x", ">/tmp/probe", "#", "~root", "$(id)", "a\nb"},
                    .architectures = quarn1000, .expected = {"-Z;", "echo", "x", ">/tmp/probe", "#", "~root", "$(id)", "a\nb", "--conf", "Feature=quarn1000"},
                    .features = "quarn1000"},
        OptionsCase{.name = "NodeName", .words = {"-N", "n7", "-Z"}, .architectures = quarn1000,
                    .expected = {"-N", "n7", "-Z", "--conf", "Feature=quarn1000"}, .features = "quarn1000", .node_name = "n7"},
        OptionsCase{.name = "ClusteredOptions", .words = {"-vZNn8", "-L", "-Z"}, .architectures = {},
                    .expected = {"-vZNn8", "-L", "-Z"}, .features = "", .node_name = "n8"},
        OptionsCase{.name = "OptionValueIsNoOption", .words = {"-L", "-Z", "--conf-server", "-Z"}, .architectures = quarn1000,
                    .expected = {"-L", "-Z", "--conf-server", "-Z", "--conf", "Feature=quarn1000"}, .features = "quarn1000",
                    .dynamic = false},
        OptionsCase{.name = "TabBetweenSettings", .words = {"-Z", "--conf", "CPUs=1\tFeature=a"}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "CPUs=1\tFeature=a,quarn1000"}, .features = "a,quarn1000"},
        OptionsCase{.name = "QuotedFeatureWithABlank", .words = {"-Z", "--conf", "Feature=\"a b\""}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "Feature=\"a b,quarn1000\""}, .features = "a b,quarn1000"},
        OptionsCase{.name = "FirstKeyKept", .words = {"-Z", "--conf", "features=a Feature=b"}, .architectures = quarn1000,
                    .expected = {"-Z", "--conf", "features=a,b,quarn1000"}, .features = "a,b,quarn1000"},
        OptionsCase{.name = "ValueOfDIsNoOption", .words = {"-d", "-Z"}, .architectures = {}, .expected = {"-d", "-Z"},
                    .features = "", .dynamic = false},
        OptionsCase{.name = "FTakesNoNextWord", .words = {"-F", "-Z"}, .architectures = {}, .expected = {"-F", "-Z"},
                    .features = ""},
        OptionsCase{.name = "StaticNode", .words = {"-F", "-v"}, .architectures = {}, .expected = {"-F", "-v"}, .features = "",
                    .dynamic = false}),
    [](const testing::TestParamInfo<OptionsCase> &info) { return std::string(info.param.name); });
// clang-format on

TEST(NodeLine, OnlyFeaturesChange)
{
    const std::string conf =
        "# site\nNodeName=DEFAULT CPUs=4\n"
        "NodeName=n1 NodeAddr=10.0.0.1 Weight=9 Gres=gpu:2 Features=site_a,quarn904 Port=7001 # rack 3\n"
        "nodename=n2 \\\n  RealMemory=1000 CoreSpecCount=1\n"
        "NodeName=n3 Feature=\"x\" Feature=quarn1000\n"
        "NodeName=n4 CPUs=1 # spare\nNodeName=gpu[1-4] Weight=2\nInclude "
        "/etc/slurm/more.conf\nNodeName=n5\nNodeName=n5\n";
    const std::tuple<std::string, std::vector<Architecture>, std::string> rows[] = {
        {"n1", quarn1000,
         "NodeName=n1 NodeAddr=10.0.0.1 Weight=9 Gres=gpu:2 Features=site_a,quarn1000 Port=7001 # rack 3"},
        {"n1", {}, "NodeName=n1 NodeAddr=10.0.0.1 Weight=9 Gres=gpu:2 Features=site_a Port=7001 # rack 3"},
        {"n2", mixed, "nodename=n2   RealMemory=1000 CoreSpecCount=1 Feature=quarn1000,quarn904"},
        {"n3", {}, "NodeName=n3 Feature=x"},
        {"n4", quarn1000, "NodeName=n4 CPUs=1 Feature=quarn1000 # spare"},
        {"gpu2", quarn1000,
         "error: node 'gpu2' has no line of its own in slurm.conf, and a line for several nodes may "
         "define it ('NodeName=gpu[1-4]'): give it a line of its own, or change that line by hand"},
        {"n5", quarn1000, "error: slurm.conf defines node 'n5' on more than one line"},
    };
    for (const auto &[node, architectures, expected] : rows) {
        const NodeLine got = rewrite_node_line(conf, node, architectures);
        EXPECT_EQ(got.error.empty() ? got.line : "error: " + got.error, expected) << node;
    }
    EXPECT_EQ(rewrite_node_line("Include more.conf\n", "n1", {}).error,
              "node 'n1' has no line in slurm.conf itself, which includes other files: change its line by hand");
    EXPECT_EQ(rewrite_node_line("", "n1", {}).error, "node 'n1' has no line in slurm.conf");
}

TEST(Consumers, EachFormatOfOneResult)
{
    const Answer fresh = {true, mixed, 1796739000, 300, ""};
    const Answer kept = {false, quarn1000, 1796739000, 120, "gpu_arch failed (exit status 3)"};
    EXPECT_EQ(prometheus_text(fresh, {}, 1796739042, 60),
              "# HELP gpu_arch_info A GPU architecture of this node, as gpu_arch names it.\n"
              "# TYPE gpu_arch_info gauge\n"
              "gpu_arch_info{arch=\"quarn1000\"} 1\ngpu_arch_info{arch=\"quarn904\"} 1\n"
              "# HELP gpu_arch_gpus GPUs of each architecture on this node.\n"
              "# TYPE gpu_arch_gpus gauge\n"
              "gpu_arch_gpus{arch=\"quarn1000\"} 1\ngpu_arch_gpus{arch=\"quarn904\"} 1\n"
              "# HELP gpu_arch_detection_success Whether the last run of gpu_arch answered (1) "
              "or not (0).\n# TYPE gpu_arch_detection_success gauge\ngpu_arch_detection_success 1\n"
              "# HELP gpu_arch_last_success_timestamp_seconds When gpu_arch last answered, 0 if not "
              "known; after a failure the architectures are that answer's, for gpu_arch_lifetime_seconds.\n"
              "# TYPE gpu_arch_last_success_timestamp_seconds gauge\n"
              "gpu_arch_last_success_timestamp_seconds 1796739000\n"
              "# HELP gpu_arch_lifetime_seconds How long a failing node shows its last answer.\n"
              "# TYPE gpu_arch_lifetime_seconds gauge\ngpu_arch_lifetime_seconds 300\n"
              "# HELP gpu_arch_written_timestamp_seconds When gpu_arch-publish wrote this file, by the node's clock.\n"
              "# TYPE gpu_arch_written_timestamp_seconds gauge\ngpu_arch_written_timestamp_seconds 1796739042\n"
              "# HELP gpu_arch_interval_seconds How often gpu_arch-publish writes this file.\n"
              "# TYPE gpu_arch_interval_seconds gauge\ngpu_arch_interval_seconds 60\n"
              "# HELP gpu_arch_expected_gpus GPUs of each architecture this node should have: declared, else the most "
              "it has shown, until a loss is accepted.\n# TYPE gpu_arch_expected_gpus gauge\n");
    EXPECT_NE(
        prometheus_text({false, {}, 0, 300, "x"}, {}, 0, 60).find("\ngpu_arch_last_success_timestamp_seconds 0\n"),
        std::string::npos);
    // The kept answer as written, or why a damaged one, or one from after
    // now, is not used.
    const long long now = 1796739000;
    const std::string no_such_line = ", is no since, lifetime (1 to 604800) or architecture line";
    const std::pair<std::string, std::string> states[] = {
        {kept_text({now, 120, mixed, ""}), "1796739000 120 quarn1000=1 quarn904=1 "},
        {"since 100\nlifetime 300\nquarn7 4\nquarn7 5\n", "100 300 quarn7=4 "},
        {"since 100\nlifetime 300\nquarn7 4", "line 3, 'quarn7 4', has no newline"},
        {"since 100\nlifetime 604801\n", "line 2, 'lifetime 604801'" + no_such_line},
        {"since 100\nlifetime 9223372036854775807\n", "line 2, 'lifetime 9223372036854775807'" + no_such_line},
        {"since 99999999999999999999\n", "line 1, 'since 99999999999999999999'" + no_such_line},
        {"since 100\nlifetime 0\n", "line 2, 'lifetime 0'" + no_such_line},
        {"since 100\nsince 200\nlifetime 300\n", "line 2, 'since 200'" + no_such_line},
        {"since 100\nlifetime 300\nquarn9 0\n", "line 3, 'quarn9 0'" + no_such_line},
        {"since 100\nlifetime 300\nquarn9 2x\n", "line 3, 'quarn9 2x'" + no_such_line},
        {"since 100\nlifetime 300\nquarn9\n", "line 3, 'quarn9'" + no_such_line},
        {"since 100\nlifetime 300\nquarn09 1\n", "line 3, 'quarn09 1'" + no_such_line},
        {"since 100\nlifetime 300\nquarn9 1048577\n", "line 3, 'quarn9 1048577'" + no_such_line},
        {"since 100\n", "it has no lifetime line"},
        {"", "it has no since line"},
        {"since 1796739001\nlifetime 300\n",
         "its answer is from 2026-12-08T14:10:01Z, after now (was the clock set back?)"},
    };
    for (const auto &[text, expected] : states) {
        const Kept read = read_kept_text(text, now);
        EXPECT_EQ(read.problem.empty() ? std::to_string(read.since) + " " + std::to_string(read.lifetime) + " " +
                                             counts({read.architectures, {}, ""})
                                       : read.problem,
                  expected)
            << text;
        EXPECT_TRUE(read.problem.empty() || (read.since == 0 && read.architectures.empty())) << text;
    }
    EXPECT_EQ(feature_file_text(quarn1000, "p.example", "2026-12-08T14:20:00Z"),
              "# GPU architectures of this node, written by gpu_arch-publish.\n# +expiry-time=2026-12-08T14:20:00Z\n"
              "p.example/quarn1000=true\np.example/quarn1000.gpus=2\np.example/gpus=2\n");
    EXPECT_EQ(feature_file_text({}, "p", "t"), "# GPU architectures of this node, written by gpu_arch-publish.\n"
                                               "# +expiry-time=t\np/gpus=0\n");
    EXPECT_EQ(json_text(fresh), "{\"architectures\": [\"quarn1000\", \"quarn904\"], \"gpus\": {\"quarn1000\": 1, "
                                "\"quarn904\": 1}, \"success\": true, \"last_success\": \"2026-12-08T14:10:00Z\"}\n");
    EXPECT_EQ(json_text(kept),
              "{\"architectures\": [\"quarn1000\"], \"gpus\": {\"quarn1000\": 2}, \"success\": false, "
              "\"last_success\": \"2026-12-08T14:10:00Z\", \"error\": \"gpu_arch failed (exit status 3)\"}\n");
    EXPECT_EQ(json_text({false, {}, 0, 300, "\"a\\\n\t"}),
              "{\"architectures\": [], \"gpus\": {}, \"success\": false, "
              "\"last_success\": null, \"error\": \"\\\"a\\\\\\u000a\\u0009\"}\n");
    // Many names: each counted once, and the kept answer reads back whole.
    std::string many;
    for (int number = 1; number <= 95000; ++number) {
        many += "quarn" + std::to_string(number) + "\n";
    }
    const Detection detection = read_detection(many + many);
    ASSERT_EQ(detection.architectures.size(), 95000U);
    EXPECT_EQ(detection.architectures.back().name + " " + std::to_string(detection.architectures.back().gpus),
              "quarn95000 2");
    EXPECT_EQ(read_kept_text(kept_text({now, 300, detection.architectures, ""}), now).architectures.size(), 95000U);

    const std::pair<std::string, bool> prefixes[] = {
        {"gpu-arch.feature.node.kubernetes.io", true},
        {"feature.node.kubernetes.io", true},
        {"example.org", true},
        {"a", true},
        {"kubernetes.io", false},
        {"node.kubernetes.io", false},
        {"x.k8s.io", false},
        {"notkubernetes.io", true},
        {"Example.org", false},
        {"-a.org", false},
        {"a-.org", false},
        {"a..org", false},
        {"", false},
        {std::string(64, 'a') + ".org", false},
        {std::string(63, 'a') + ".org", true},
        {std::string(63, 'a') + "." + std::string(63, 'a') + "." + std::string(63, 'a') + "." + std::string(61, 'a'),
         true},
        {std::string(63, 'a') + "." + std::string(63, 'a') + "." + std::string(63, 'a') + "." + std::string(62, 'a'),
         false},
        {"a_b.org", false},
    };
    for (const auto &[prefix, valid] : prefixes) {
        EXPECT_EQ(label_prefix_problem(prefix).empty(), valid) << prefix;
    }
}

} // namespace
