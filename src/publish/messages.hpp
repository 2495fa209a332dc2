// SPDX-License-Identifier: MIT
// Messages: one line each on standard error (the journal under systemd).
// While a pass collects them they wait, within a bound, in a buffer instead.
#pragma once

#include <string>
#include <string_view>

void say(const std::string &message);
void collect_messages(bool on);
// What was collected, with a last line saying how much the bound dropped.
std::string collected_messages();
// Far more than a pass says; what the state folder keeps of it is read back
// within the same bound.
constexpr size_t max_messages = size_t{48} * 1024;

// The text quoted for a message: in single quotes, with control bytes,
// backslashes and quotes written as escapes, so that one message stays one
// line in the journal.
std::string quote_for_message(std::string_view text);
