// SPDX-License-Identifier: MIT
// The drain of a node that lost GPUs. What the node should have is the most
// GPUs of each architecture that a fresh answer showed, kept in the state
// folder in the kept answer's format and read back with its limits. A drain
// that landed is remembered there too, so that a pass of a node with all
// its GPUs asks nothing of slurmctld.
#include "drain.hpp"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scontrol.hpp"

namespace {

constexpr const char *expected_name = "expected";
// The node this program drained, how (drained, or accepted: resumed by hand
// while gpu_arch gave no answer) and with which reason.
constexpr const char *record_name = "slurm-drain";
constexpr size_t max_record = 4096;
// One drain or resume at a time, so that two passes never take each other's
// resume for one by hand.
constexpr const char *lock_name = "slurm-drain.lock";
constexpr int lock_seconds = 5;
// What sinfo -R shows of a reason without cutting it.
constexpr size_t max_reason = 100;

// The state folder's handle, closed when it goes.
class StateFolder {
public:
    StateFolder() : fd_(open_state_folder(path_)) {}
    ~StateFolder()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    StateFolder(const StateFolder &) = delete;
    StateFolder &operator=(const StateFolder &) = delete;
    int fd() const { return fd_; }
    std::string path(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
    int fd_;
};

// What the node should have; a damaged file is said and not used, and the
// next fresh answer writes it anew.
Kept read_expected(const StateFolder &state)
{
    std::string text;
    if (read_file_at(state.fd(), state.path(expected_name), expected_name, max_kept, text) <= 0) {
        return {};
    }
    Kept expected = read_kept_text(text, time(nullptr));
    if (!expected.problem.empty()) {
        say("not using what the node should have, kept in " + quote_for_message(state.path(expected_name)) + ": " +
            expected.problem);
    }
    return expected;
}

bool write_expected(const StateFolder &state, const Answer &shown, const std::vector<Architecture> &architectures)
{
    return write_file_at(state.fd(), state.path(expected_name), expected_name,
                         kept_text({shown.last_success, shown.lifetime, architectures, ""}));
}

struct Record {
    std::string node;
    std::string how; // "drained" or "accepted"; empty when there is none
    std::string reason;
};

Record read_record(const StateFolder &state, const std::string &node)
{
    std::string text;
    Record record;
    if (read_file_at(state.fd(), state.path(record_name), record_name, max_record, text) <= 0) {
        return record;
    }
    size_t at = 0;
    for (std::string *field : {&record.node, &record.how, &record.reason}) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            return {};
        }
        *field = text.substr(at, end - at);
        at = end + 1;
    }
    // One for another node, as the program was named before, is not this node's.
    return record.node == node && (record.how == "drained" || record.how == "accepted") ? record : Record{};
}

bool write_record(const StateFolder &state, const Record &record)
{
    return write_file_at(state.fd(), state.path(record_name), record_name,
                         record.node + "\n" + record.how + "\n" + record.reason + "\n");
}

void remove_record(const StateFolder &state)
{
    unlinkat(state.fd(), record_name, 0);
}

// The reason to drain for: each architecture that has fewer GPUs than it
// should, or no answer; empty when the node has all it should have.
std::string drain_reason(const Answer &shown, const std::vector<Architecture> &expected)
{
    // A node that should have no GPU needs no answer to have it all.
    if (!shown.fresh) {
        return expected.empty() ? "" : "gpu_arch: no answer";
    }
    std::string missing;
    size_t more = 0;
    for (const Architecture &should : expected) {
        unsigned has = 0;
        for (const Architecture &architecture : shown.architectures) {
            has = architecture.name == should.name ? architecture.gpus : has;
        }
        const std::string item = std::to_string(has) + " of " + std::to_string(should.gpus) + " " + should.name;
        if (has < should.gpus && missing.size() + item.size() + 2 <= max_reason) {
            missing += (missing.empty() ? "" : ", ") + item;
        } else if (has < should.gpus) {
            ++more;
        }
    }
    missing += more > 0 ? " and " + std::to_string(more) + " more" : "";
    return missing.empty() ? "" : "gpu_arch: " + missing;
}

// The node as slurmctld holds it: its state's flags and its reason, without
// the user and time that slurmctld adds.
struct NodeState {
    bool held = false; // drained, down or failed
    std::string reason;
};

NodeState read_node_state(const std::string &shown)
{
    NodeState node;
    size_t at = 0;
    while (at < shown.size()) {
        const size_t end = std::min(shown.find('\n', at), shown.size());
        std::string line = shown.substr(at, end - at);
        at = end + 1;
        line.erase(0, line.find_first_not_of(' '));
        if (line.rfind("State=", 0) == 0) {
            // Whole flags, such as IDLE+DRAIN or DOWN* (not responding),
            // not POWERED_DOWN.
            std::string_view state = std::string_view(line).substr(sizeof "State=" - 1);
            state = state.substr(0, state.find(' '));
            while (!state.empty()) {
                std::string_view flag = state.substr(0, state.find('+'));
                state.remove_prefix(std::min(flag.size() + 1, state.size()));
                flag = flag.substr(0, flag.find('*'));
                node.held = node.held || flag == "DRAIN" || flag == "DRAINED" || flag == "DRAINING" || flag == "DOWN" ||
                            flag == "FAIL" || flag == "FAILING";
            }
        } else if (line.rfind("Reason=", 0) == 0) {
            node.reason = line.substr(sizeof "Reason=" - 1);
            const size_t by = node.reason.rfind(" [");
            if (by != std::string::npos && node.reason.back() == ']') {
                node.reason.erase(by);
            }
        }
    }
    return node;
}

// Why slurmctld could not be asked or told, said; retried by the next pass.
int not_landed(const std::string &what, const std::string &node, const Run &run)
{
    if (unknown_node(run) || run.failure.rfind("cannot be run", 0) == 0) {
        say((unknown_node(run) ? "slurmctld does not know node " + quote_for_message(node) + ": it"
                               : "scontrol " + run.failure + ": node " + quote_for_message(node)) +
            " is neither drained nor resumed");
        return 0;
    }
    say("cannot " + what + " node " + quote_for_message(node) + " in slurmctld (" + scontrol_failure(run) +
        "): the next pass tries again");
    return 1;
}

// A node with all its GPUs again that this program drained is resumed; one
// resumed by hand while it has fewer keeps them.
int settle(const StateFolder &state, const std::string &node, const Answer &shown, const std::string &reason, bool ours,
           std::vector<Architecture> &expected)
{
    if (reason.empty() && ours) {
        const Run resumed = run_scontrol({"update", "NodeName=" + node, "State=RESUME"});
        if (!resumed.failure.empty()) {
            return not_landed("resume", node, resumed);
        }
        say("node " + quote_for_message(node) + " resumed in slurmctld: it has all its GPUs again");
    } else if (!reason.empty() && shown.fresh) {
        // What it has now is what it should have.
        expected = shown.architectures;
        say("node " + quote_for_message(node) + " was resumed by hand with " + reason.substr(sizeof "gpu_arch: " - 1) +
            ": what it has now is what it should have");
    } else if (!reason.empty()) {
        say("node " + quote_for_message(node) +
            " was resumed by hand while gpu_arch gives no answer: it is not drained again for that");
        return write_record(state, {node, "accepted", reason}) ? 0 : 1;
    }
    remove_record(state);
    return 0;
}

int drain_or_resume(const StateFolder &state, const std::string &node, const Answer &shown,
                    std::vector<Architecture> &expected)
{
    const std::string reason = drain_reason(shown, expected);
    const Record record = read_record(state, node);
    // A node with all its GPUs that was not drained here, or one resumed by
    // hand for this reason: nothing to ask.
    if (record.how == "accepted" && record.reason == reason) {
        return 0;
    }
    if (reason.empty() && record.how != "drained") {
        if (!record.how.empty()) {
            remove_record(state);
        }
        return 0;
    }
    const Run shown_node = run_scontrol({"show", "node", node});
    if (!shown_node.failure.empty()) {
        return not_landed("read the state of", node, shown_node);
    }
    const NodeState now = read_node_state(shown_node.output);
    const bool ours = record.how == "drained" && now.held && now.reason == record.reason;
    if (now.held && !ours) {
        say("node " + quote_for_message(node) + " is left as it is: its reason, " + quote_for_message(now.reason) +
            ", is not one that gpu_arch-publish set");
        remove_record(state);
        return 0;
    }
    if (reason.empty() || (!now.held && record.how == "drained")) {
        return settle(state, node, shown, reason, ours, expected);
    }
    if (ours && record.reason == reason) {
        return 0;
    }
    // Kept first: a drain whose reason is not kept could never be undone.
    if (!write_record(state, {node, "drained", reason})) {
        say("node " + quote_for_message(node) + " is not drained for " + quote_for_message(reason) +
            ": a drain that is not kept could not be undone");
        return 1;
    }
    const Run drained = run_scontrol({"update", "NodeName=" + node, "State=DRAIN", "Reason=" + reason});
    if (!drained.failure.empty()) {
        // As it was, so that the next pass tries again.
        if (record.how.empty()) {
            remove_record(state);
        } else {
            write_record(state, record);
        }
        return not_landed("drain", node, drained);
    }
    say("node " + quote_for_message(node) + " drained in slurmctld: " + quote_for_message(reason));
    return 0;
}

int drain_with_state(const StateFolder &state, const std::string &node, const Answer &shown)
{
    // A kept answer within its lifetime neither drains nor resumes.
    if (!shown.fresh && !shown.architectures.empty()) {
        return 1;
    }
    // Raised to what a fresh answer shows.
    const Kept kept = read_expected(state);
    std::vector<Architecture> expected = kept.architectures;
    for (const Architecture &architecture : shown.fresh ? shown.architectures : std::vector<Architecture>{}) {
        const auto should = std::find_if(expected.begin(), expected.end(), [&architecture](const Architecture &known) {
            return known.name == architecture.name;
        });
        if (should == expected.end()) {
            expected.push_back(architecture);
        } else {
            should->gpus = std::max(should->gpus, architecture.gpus);
        }
    }
    const int status = drain_or_resume(state, node, shown, expected);
    // Written only when it changed, so that a steady node writes nothing.
    const bool changed = !kept.problem.empty() || kept.since == 0 ||
                         kept_text({0, 0, expected, ""}) != kept_text({0, 0, kept.architectures, ""});
    if (shown.fresh && changed && !write_expected(state, shown, expected)) {
        return 1;
    }
    return shown.fresh ? status : 1;
}

} // namespace

int slurm_drain(const std::vector<std::string> &arguments, Pass &pass)
{
    const std::string node = node_name_or_host(arguments[0] == "-" ? "" : arguments[0]);
    // One node: scontrol would take a list or a range for many.
    if (node.empty() || node.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
                            std::string::npos) {
        say("cannot use " + quote_for_message(node) +
            " as the node's name: one node's, of letters, digits, '.', '_' and '-' only");
        return 2;
    }
    const Answer &shown = answer(pass);
    const StateFolder state;
    if (state.fd() < 0) {
        return 1;
    }
    const int lock = lock_in(state.fd(), state.path(lock_name), lock_name, lock_seconds);
    if (lock < 0) {
        return 1;
    }
    const int status = drain_with_state(state, node, shown);
    close(lock);
    return status;
}

int slurm_expected(const std::vector<std::string> &arguments, Pass & /*pass*/)
{
    if (!arguments.empty() && arguments[0] != "reset") {
        say("slurm-expected takes reset or nothing, not " + quote_for_message(arguments[0]));
        return 2;
    }
    const StateFolder state;
    if (state.fd() < 0) {
        return 1;
    }
    if (!arguments.empty()) {
        if (unlinkat(state.fd(), expected_name, 0) != 0 && errno != ENOENT) {
            say("cannot remove " + quote_for_message(state.path(expected_name)) + ": " + strerror(errno));
            return 1;
        }
        say("what the node should have is forgotten: the next fresh answer sets it");
        return 0;
    }
    std::string text;
    for (const Architecture &architecture : read_expected(state).architectures) {
        text += architecture.name + " " + std::to_string(architecture.gpus) + "\n";
    }
    if (fputs(text.c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    return 0;
}
