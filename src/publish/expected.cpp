// SPDX-License-Identifier: MIT
// What the node should have, declared or learned.
#include "expected.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *expected_name = "expected";

// GPU_ARCH_EXPECTED: "quarn1000=8 quarn904=2", over lines as well, each pair
// read as a line of the kept format, so that names and counts follow its one
// rule. Blanks only declare nothing, which is no node without GPUs.
bool read_declared(std::string_view text, std::vector<Architecture> &declared, std::string &why)
{
    if (text.find_first_not_of(" \t\n") == std::string_view::npos) {
        why = "it names no ARCHITECTURE=GPUS";
        return false;
    }
    while (!text.empty()) {
        const std::string_view word = text.substr(0, text.find_first_of(" \t\n"));
        text.remove_prefix(std::min(word.size() + 1, text.size()));
        if (word.empty()) {
            continue;
        }
        std::string line(word);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            line[equals] = ' ';
        }
        const Kept pair = read_kept_text("since 1\nlifetime 1\n" + line + "\n", LLONG_MAX);
        if (equals == std::string::npos || !pair.problem.empty() || pair.architectures.size() != 1 ||
            std::any_of(declared.begin(), declared.end(),
                        [&pair](const Architecture &known) { return known.name == pair.architectures[0].name; })) {
            why = quote_for_message(word) + " is no ARCHITECTURE=GPUS of its own";
            return false;
        }
        declared.push_back(pair.architectures[0]);
    }
    return true;
}

void raise(std::vector<Architecture> &expected, const std::vector<Architecture> &shown)
{
    for (const Architecture &architecture : shown) {
        const auto should = std::find_if(expected.begin(), expected.end(), [&architecture](const Architecture &known) {
            return known.name == architecture.name;
        });
        if (should == expected.end()) {
            expected.push_back(architecture);
        } else {
            should->gpus = std::max(should->gpus, architecture.gpus);
        }
    }
}

std::string learned_text(const std::vector<Architecture> &architectures)
{
    return kept_text({0, 0, architectures, ""});
}

} // namespace

Expectation read_expectation(int state, const std::string &folder, const Answer &shown, Pass &pass)
{
    Expectation expected;
    const char *declared = getenv("GPU_ARCH_EXPECTED");
    expected.declared = declared != nullptr && *declared != '\0';
    std::string why;
    if (expected.declared && !read_declared(declared, expected.architectures, why)) {
        expected.problem = "declared in GPU_ARCH_EXPECTED: " + why;
    }
    const std::string path = folder + "/" + expected_name;
    std::string text;
    const int read = state < 0 ? 0 : read_file_at(state, path, expected_name, max_kept, text);
    // New or lost when the pass began, whichever consumer wrote it since.
    pass.learned_missing = pass.learned_missing < 0 ? (read == 0 ? 1 : 0) : pass.learned_missing;
    expected.first = pass.learned_missing == 1;
    // What was learned has no lifetime: a since after now (a clock put back)
    // is no fault.
    expected.learned = read > 0 ? read_kept_text(text, LLONG_MAX) : Kept{0, 0, {}, read < 0 ? "unreadable" : ""};
    if (!expected.declared && !expected.learned.problem.empty()) {
        expected.problem = "kept in " + quote_for_message(path) + ": " + expected.learned.problem;
    }
    // Raised even when it is not used, so that a damaged declaration
    // forgets nothing that was learned.
    expected.raised = expected.learned.architectures;
    raise(expected.raised, shown.fresh ? shown.architectures : std::vector<Architecture>{});
    if (!expected.problem.empty() && !pass.expectation_said) {
        pass.expectation_said = true;
        // Failing safe: a node that cannot be judged is drained, never resumed.
        say("not using what the node should have, " + expected.problem + "; until " +
            (expected.declared ? "it is mended" : "'gpu_arch-publish slurm-expected reset'") +
            ", the pass fails and slurm-drain drains the node");
    }
    if (!expected.problem.empty()) {
        expected.architectures.clear();
        return expected;
    }
    expected.architectures = expected.declared ? expected.architectures : expected.raised;
    return expected;
}

bool keep_expectation(int state, const std::string &folder, const Expectation &expected, const Answer &shown)
{
    if (expected.forget) {
        return forget_learned(state) == 0;
    }
    // A damaged file stays until it is reset, so that the node stays drained.
    if (!shown.fresh || (!expected.problem.empty() && !expected.declared)) {
        return true;
    }
    // Written only when it changed, so that a steady node writes nothing.
    if (!expected.first && expected.learned.problem.empty() &&
        learned_text(expected.raised) == learned_text(expected.learned.architectures)) {
        return true;
    }
    return write_file_at(state, folder + "/" + expected_name, expected_name,
                         kept_text({shown.last_success, shown.lifetime, expected.raised, ""}));
}

void raise_expectation(Expectation &expected, const std::vector<Architecture> &architectures)
{
    raise(expected.raised, architectures);
    expected.architectures = expected.declared ? expected.architectures : expected.raised;
}

int forget_learned(int state)
{
    return unlinkat(state, expected_name, 0) == 0 || errno == ENOENT ? 0 : -1;
}

void accept_what_it_has(Expectation &expected, const Answer &shown)
{
    expected.raised = shown.architectures;
    expected.architectures = expected.declared ? expected.architectures : shown.architectures;
}

int slurm_expected(const std::vector<std::string> &arguments, Pass &pass)
{
    if (!arguments.empty() && arguments[0] != "reset") {
        say("slurm-expected takes reset or nothing, not " + quote_for_message(arguments[0]));
        return 2;
    }
    // Only reads and removes: a folder that is not there holds nothing.
    std::string folder;
    const int state = open_state_folder(folder, false);
    if (state < 0 && errno != ENOENT) {
        return 1;
    }
    if (!arguments.empty()) {
        const int removed = state < 0 ? 0 : forget_learned(state);
        const int error = errno;
        if (state >= 0) {
            close(state);
        }
        if (removed != 0) {
            say("cannot remove " + quote_for_message(folder + "/" + expected_name) + ": " + strerror(error));
            return 1;
        }
        const char *declared = getenv("GPU_ARCH_EXPECTED");
        say(declared != nullptr && *declared != '\0'
                ? "what was learned is forgotten; GPU_ARCH_EXPECTED still declares what the node should have: change "
                  "it there to accept a loss"
                : "what the node should have is forgotten: the next fresh answer sets it");
        return 0;
    }
    std::string text;
    for (const Architecture &architecture : read_expectation(state, folder, {}, pass).architectures) {
        text += architecture.name + " " + std::to_string(architecture.gpus) + "\n";
    }
    if (state >= 0) {
        close(state);
    }
    if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return 0;
}
