// SPDX-License-Identifier: MIT
// Messages, quoted so that each is one line, and bounded while collected.
#include "messages.hpp"

#include <cstdio>

namespace {

bool collecting = false;
std::string collected;
size_t dropped = 0;

} // namespace

void say(const std::string &message)
{
    const std::string line = "gpu_arch-publish: " + message + "\n";
    if (!collecting) {
        fputs(line.c_str(), stderr);
    } else if (dropped == 0 && collected.size() + line.size() <= max_messages) {
        collected += line;
    } else {
        dropped += line.size();
    }
}

void collect_messages(bool on)
{
    collecting = on;
}

std::string collected_messages()
{
    std::string messages;
    messages.swap(collected);
    if (dropped > 0) {
        messages += "gpu_arch-publish: " + std::to_string(dropped) + " more bytes of messages were dropped\n";
        dropped = 0;
    }
    return messages;
}

std::string quote_for_message(std::string_view text)
{
    std::string quoted = "'";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\\' || c == '\'') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7f) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02x", byte);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}
