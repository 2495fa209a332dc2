// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes to gpu_arch-publish's text parsers: the kept state,
// gpu_arch's output, slurm.conf's node lines, slurmd's options and the
// quoting of messages, and checks what each promises of its result.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "detect.hpp"
#include "slurm.hpp"

namespace {

void check(bool promise)
{
    if (!promise) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    constexpr long long now = 1796739000;

    // A kept answer is whole and within the limits, and reads back as it is
    // written; a damaged one keeps nothing.
    const Kept kept = read_kept_text(text, now);
    if (kept.problem.empty()) {
        check(kept.since > 0 && kept.since <= now && kept.lifetime >= 1 && kept.lifetime <= max_lifetime);
        const Kept again = read_kept_text(kept_text(kept), now);
        check(again.problem.empty() && kept_text(again) == kept_text(kept));
    } else {
        check(kept.since == 0 && kept.lifetime == 0 && kept.architectures.empty());
    }

    // Each architecture once, a name gpu_arch can print, with its GPUs.
    const Detection detection = read_detection(text);
    std::set<std::string> names;
    for (const Architecture &architecture : detection.architectures) {
        check(is_architecture_name(architecture.name) && architecture.gpus > 0 &&
              names.insert(architecture.name).second);
    }

    // The node's line of slurm.conf, or why there is none.
    const NodeLine line = rewrite_node_line(text, "n1", detection.architectures);
    check(line.line.empty() != line.error.empty());
    for (const Architecture &architecture : detection.architectures) {
        check(line.line.empty() || line.line.find(architecture.name) != std::string::npos);
    }

    // slurmd's options, as words split at NUL bytes.
    std::vector<std::string> words;
    for (std::string_view rest = text; !rest.empty();) {
        const size_t end = std::min(rest.find('\0'), rest.size());
        words.emplace_back(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    const SlurmdOptions options = rewrite_slurmd_options(words, detection.architectures);
    for (const Architecture &architecture : detection.architectures) {
        check(options.features.find(architecture.name) != std::string::npos);
    }
    for (const std::string &word : options.words) {
        check(!quote_for_command_line(word).empty());
    }

    // A message stays one line.
    for (const char c : quote_for_message(text)) {
        check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    }
    return 0;
}
