// SPDX-License-Identifier: MIT
// json: the answer as a JSON mapping, always one, so that Ansible's fact and
// scripts can tell a fresh answer from a kept one and read why it failed.
#include <cstdio>

#include "json.hpp"

namespace {

std::string json_string(std::string_view text)
{
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

} // namespace

std::string json_text(const Answer &answer)
{
    std::string names;
    std::string gpus;
    for (const Architecture &architecture : answer.architectures) {
        const char *separator = names.empty() ? "\"" : ", \"";
        names.append(separator).append(architecture.name).append("\"");
        gpus.append(separator).append(architecture.name).append("\": ").append(std::to_string(architecture.gpus));
    }
    std::string text = "{\"architectures\": [";
    text.append(names).append("], \"gpus\": {").append(gpus).append("}, \"success\": ");
    text.append(answer.fresh ? "true" : "false").append(", \"last_success\": ");
    text.append(answer.last_success > 0 ? json_string(utc_text(answer.last_success)) : "null");
    if (!answer.fresh) {
        text.append(", \"error\": ").append(json_string(answer.error));
    }
    return text.append("}\n");
}

int json(const std::vector<std::string> &arguments, Pass &pass)
{
    const Answer &shown = answer(pass);
    if (fputs(json_text(shown).c_str(), stdout) < 0 || fflush(stdout) != 0) {
        perror("write");
        return 1;
    }
    // Ansible takes a fact only from a program that succeeds.
    const bool as_fact = !arguments.empty() && arguments[0] == "as-fact";
    return shown.fresh || as_fact ? 0 : 1;
}
