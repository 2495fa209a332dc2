// SPDX-License-Identifier: MIT
// The drain of a node that has fewer GPUs than it should. A drain is this
// program's while slurmctld holds the node with a reason that begins with
// "gpu_arch: ", whatever Slurm appends to it (" : reboot issued"); an
// administrator who rewrites the reason takes it over. The state folder keeps
// a note of the drain, so that a pass of a node with all its GPUs asks
// nothing of slurmctld and a resume by hand can be told from a reboot.
#include "drain.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "expected.hpp"
#include "scontrol.hpp"

namespace {

// The node, how (draining: asked for; drained: landed; accepted: resumed by
// hand with this reason), the reason, and the boot it was drained in.
constexpr const char *record_name = "slurm-drain";
constexpr size_t max_record = 4096;
// One drain or resume at a time, so that two passes never take each other's
// resume for one by hand.
constexpr const char *lock_name = "slurm-drain.lock";
constexpr int lock_seconds = 5;
// What sinfo -R shows of a reason without cutting it.
constexpr size_t max_reason = 100;
constexpr std::string_view prefix = "gpu_arch: ";
// Slurm's BootTime is worked out anew at each registration of slurmd, and
// the boot's start from the clock at each pass.
constexpr long long boot_time_jitter = 10;

// The state folder's handle, closed when it goes.
class StateFolder {
public:
    // Not opened again, nor said twice, when the pass could not open it.
    explicit StateFolder(bool failed) : fd_(failed ? -1 : open_state_folder(path_)) {}
    ~StateFolder()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    StateFolder(const StateFolder &) = delete;
    StateFolder &operator=(const StateFolder &) = delete;
    int fd() const { return fd_; }
    const std::string &folder() const { return path_; }

private:
    std::string path_;
    int fd_;
};

struct Record {
    std::string node;
    std::string how; // empty when there is none
    std::string reason;
    std::string boot_time;  // Slurm's, when it showed one
    bool this_boot = false; // written since this boot
};

Record read_record(const StateFolder &state, const std::string &node)
{
    std::string text;
    Record record;
    if (state.fd() < 0 ||
        read_file_at(state.fd(), state.folder() + "/" + record_name, record_name, max_record, text) <= 0) {
        return record;
    }
    size_t at = 0;
    for (std::string *field : {&record.node, &record.how, &record.reason, &record.boot_time}) {
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            break;
        }
        *field = text.substr(at, end - at);
        at = end + 1;
    }
    // By the clock: one put forward since is taken for a reboot, never the
    // other way round.
    struct stat status = {};
    timespec now = {};
    timespec up = {};
    record.this_boot = fstatat(state.fd(), record_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                       clock_gettime(CLOCK_REALTIME, &now) == 0 && clock_gettime(CLOCK_BOOTTIME, &up) == 0 &&
                       status.st_mtime >= now.tv_sec - up.tv_sec - boot_time_jitter;
    // One for another node, as the program was named before, is not this node's.
    const bool known = record.how == "draining" || record.how == "drained" || record.how == "accepted";
    return record.node == node && known ? record : Record{};
}

bool write_record(const StateFolder &state, const Record &record)
{
    return state.fd() >= 0 &&
           write_file_at(state.fd(), state.folder() + "/" + record_name, record_name,
                         record.node + "\n" + record.how + "\n" + record.reason + "\n" + record.boot_time + "\n");
}

void remove_record(const StateFolder &state)
{
    unlinkat(state.fd(), record_name, 0);
}

// Whether the node booted since the drain: its note is older than this boot,
// or slurmctld shows another boot time.
bool rebooted(const Record &record, const NodeState &now)
{
    tm then = {};
    tm later = {};
    if (!record.this_boot) {
        return true;
    }
    if (strptime(record.boot_time.c_str(), "%Y-%m-%dT%H:%M:%S", &then) == nullptr ||
        strptime(now.boot_time.c_str(), "%Y-%m-%dT%H:%M:%S", &later) == nullptr) {
        return false;
    }
    return std::llabs(static_cast<long long>(timegm(&later) - timegm(&then))) > boot_time_jitter;
}

// The reason to drain for: each architecture that has fewer GPUs than it
// should, or no answer; empty when the node has all it should have. Whole
// within what sinfo -R shows: as many as fit, and a count of the rest.
std::string drain_reason(const Answer &shown, const Expectation &expected)
{
    if (!expected.problem.empty()) {
        return std::string(prefix) + "what it should have is unknown";
    }
    // A node that should have no GPU needs no answer to have it all.
    if (!shown.fresh) {
        return expected.architectures.empty() ? "" : std::string(prefix) + "no answer";
    }
    std::vector<std::string> missing;
    for (const Architecture &should : expected.architectures) {
        unsigned has = 0;
        for (const Architecture &architecture : shown.architectures) {
            has = architecture.name == should.name ? architecture.gpus : has;
        }
        if (has < should.gpus) {
            missing.push_back(std::to_string(has) + " of " + std::to_string(should.gpus) + " " + should.name);
        }
    }
    std::string reason;
    for (size_t listed = missing.size(); listed > 0; --listed) {
        reason = prefix;
        for (size_t item = 0; item < listed; ++item) {
            reason += (item == 0 ? "" : ", ") + missing[item];
        }
        reason += listed < missing.size() ? " and " + std::to_string(missing.size() - listed) + " more" : "";
        if (reason.size() <= max_reason) {
            break;
        }
    }
    return reason;
}

// What a drain of this program's says the node should have, for a state
// folder that lost it: "7 of 8 quarn1000, ..." up to what Slurm appended.
std::vector<Architecture> counts_in(std::string_view reason)
{
    std::vector<Architecture> counts;
    reason.remove_prefix(prefix.size());
    reason = reason.substr(0, std::min(reason.find(" and "), reason.find(" : ")));
    while (!reason.empty()) {
        std::string_view item = reason.substr(0, reason.find(", "));
        reason.remove_prefix(std::min(item.size() + 2, reason.size()));
        const size_t of = item.find(" of ");
        if (of == std::string_view::npos) {
            continue;
        }
        item.remove_prefix(of + 4);
        const size_t blank = item.find(' ');
        const Kept line = read_kept_text("since 1\nlifetime 1\n" + std::string(item.substr(blank + 1)) + " " +
                                             std::string(item.substr(0, blank)) + "\n",
                                         1);
        counts.insert(counts.end(), line.architectures.begin(), line.architectures.end());
    }
    return counts;
}

// Why slurmctld could not be asked or told, said; retried by the next pass.
int not_landed(const std::string &what, const std::string &node, const Run &run)
{
    if (unknown_node(run)) {
        say("slurmctld does not know node " + quote_for_message(node) + ": it is neither drained nor resumed");
        return 1;
    }
    if (run.failure.rfind("cannot be run", 0) == 0) {
        say("scontrol " + run.failure + ": node " + quote_for_message(node) + " is neither drained nor resumed");
        return 1;
    }
    say("cannot " + what + " node " + quote_for_message(node) + " in slurmctld (" + scontrol_failure(run) +
        "): the next pass tries again");
    return 1;
}

// A resume by hand, in the boot the node was drained in, accepts what it has.
int accept(const StateFolder &state, const std::string &node, const Answer &shown, const std::string &reason,
           Expectation &expected)
{
    const std::string with = "node " + quote_for_message(node) + " was resumed by hand " +
                             (shown.fresh ? "with " + reason.substr(prefix.size()) : "while gpu_arch gives no answer");
    if (shown.fresh && !expected.declared && expected.problem.empty()) {
        accept_what_it_has(expected, shown);
        say(with + ": what it has now is what it should have");
        remove_record(state);
        return 0;
    }
    say(with + ": it is not drained again for that");
    return write_record(state, {node, "accepted", reason, ""}) ? 0 : 1;
}

int drain(const StateFolder &state, const std::string &node, const std::string &reason, const NodeState &now,
          Expectation &expected)
{
    // Noted first, as asked for: a pass stopped before it lands drains again
    // rather than take it for a resume by hand. Unnoted, it is made all the
    // same, and what was learned goes, so that the next pass asks slurmctld.
    const bool noted = write_record(state, {node, "draining", reason, now.boot_time});
    if (!noted) {
        say("node " + quote_for_message(node) + " is drained without a note of it: the next passes ask slurmctld");
        expected.forget = true;
    }
    const Run drained = run_scontrol({"update", "NodeName=" + node, "State=DRAIN", "Reason=" + reason});
    if (!drained.failure.empty()) {
        return not_landed("drain", node, drained);
    }
    say("node " + quote_for_message(node) + " drained in slurmctld: " + quote_for_message(reason));
    return noted && write_record(state, {node, "drained", reason, now.boot_time}) ? 0 : 1;
}

// A node with all its GPUs: resumed when its drain is this program's.
int resume_if_ours(const StateFolder &state, const std::string &node, bool ours)
{
    const Run resumed = ours ? run_scontrol({"update", "NodeName=" + node, "State=RESUME"}) : Run{};
    if (!resumed.failure.empty()) {
        return not_landed("resume", node, resumed);
    }
    if (ours) {
        say("node " + quote_for_message(node) + " resumed in slurmctld: it has all its GPUs again");
    }
    remove_record(state);
    return 0;
}

// A state folder that lost what was learned takes it back from the drain;
// a reason cut short names only some of it, so the node stays drained. The
// reason to drain for, as it is then.
std::string taken_back(const std::string &node, const std::string &drained, const Answer &shown, Expectation &expected)
{
    const std::string_view own = std::string_view(drained).substr(0, drained.find(" : "));
    if (!expected.declared && own.ends_with(" more") && own.find(" and ") != std::string_view::npos) {
        expected.problem = "lost with the state folder, and named only in part by the drain's reason";
        say("node " + quote_for_message(node) + " stays drained: what it should have is " + expected.problem +
            "; declare it in GPU_ARCH_EXPECTED, or resume the node by hand");
    }
    if (expected.problem.empty()) {
        raise_expectation(expected, counts_in(drained));
    }
    return drain_reason(shown, expected);
}

int drain_or_resume(const StateFolder &state, const std::string &node, const Answer &shown, Expectation &expected)
{
    std::string reason = drain_reason(shown, expected);
    const Record record = read_record(state, node);
    // Nothing to ask: a loss accepted by hand, or a node with all its GPUs
    // that no pass of this state folder drained.
    if (record.how == "accepted" && record.reason == reason && !reason.empty()) {
        return 0;
    }
    if (reason.empty() && (record.how.empty() || record.how == "accepted") && !expected.first) {
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
    const bool ours = now.held && now.reason.rfind(prefix, 0) == 0;
    if (now.held && !ours) {
        say("node " + quote_for_message(node) + " is left as it is: its reason, " + quote_for_message(now.reason) +
            ", is not one that gpu_arch-publish set");
        // The note stays: an administrator who took the drain over and
        // resumes the node in the boot it was drained in accepts its loss.
        return 0;
    }
    if (ours && expected.first) {
        reason = taken_back(node, now.reason, shown, expected);
    }
    if (reason.empty()) {
        return resume_if_ours(state, node, ours);
    }
    // Landed, though scontrol may have said otherwise.
    if (ours && (now.reason == reason || now.reason.rfind(reason + " : ", 0) == 0 || !expected.problem.empty())) {
        return record.how == "drained" || write_record(state, {node, "drained", reason, now.boot_time}) ? 0 : 1;
    }
    if (!now.held && record.how == "drained" && !rebooted(record, now)) {
        return accept(state, node, shown, reason, expected);
    }
    if (!now.held && record.how == "drained") {
        say("node " + quote_for_message(node) + " came back from a reboot with " + reason.substr(prefix.size()) +
            ": a reboot accepts no loss");
    }
    return drain(state, node, reason, now, expected);
}

int drain_with_state(const StateFolder &state, const std::string &node, const Answer &shown, Pass &pass)
{
    // A kept answer within its lifetime neither drains nor resumes.
    if (!shown.fresh && !shown.architectures.empty()) {
        return 1;
    }
    Expectation expected = read_expectation(state.fd(), state.folder(), shown, pass);
    const int status = drain_or_resume(state, node, shown, expected);
    if (state.fd() < 0 || !keep_expectation(state.fd(), state.folder(), expected, shown)) {
        return 1;
    }
    return shown.fresh && expected.problem.empty() ? status : 1;
}

} // namespace

std::vector<Architecture> held_to(int state, const std::string &folder, const Answer &shown,
                                  const Expectation &expected)
{
    std::vector<Architecture> held = expected.architectures;
    const std::string reason = drain_reason(shown, expected);
    std::string text;
    if (reason.empty() || state < 0 ||
        read_file_at(state, folder + "/" + record_name, record_name, max_record, text) <= 0 ||
        text.find("\naccepted\n" + reason + "\n") == std::string::npos) {
        return held;
    }
    for (Architecture &should : held) {
        unsigned has = 0;
        for (const Architecture &architecture : shown.architectures) {
            has = architecture.name == should.name ? architecture.gpus : has;
        }
        should.gpus = std::min(should.gpus, has);
    }
    return held;
}

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
    // A state folder that cannot be opened, or that takes no lock file (read
    // only, full), stops no drain: the pass goes on without it, and fails.
    const StateFolder state(pass.state_failed);
    const int lock =
        state.fd() < 0 ? -1 : lock_in(state.fd(), state.folder() + "/" + lock_name, lock_name, lock_seconds);
    if (state.fd() >= 0 && lock < 0 && errno != EROFS && errno != ENOSPC && errno != EDQUOT) {
        return 1;
    }
    const int status = drain_with_state(state, node, shown, pass);
    if (lock < 0) {
        return 1;
    }
    close(lock);
    return status;
}
