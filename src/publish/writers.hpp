// SPDX-License-Identifier: MIT
// The programs that publish this node's answer again and again: the host's
// service and the long-running mode (a DaemonSet's pod), which share the
// state folder and the consumers' folders.
#pragma once

#include <string>
#include <string_view>

// One that publishes again and again, with the settings that shape what
// every consumer shows.
struct Writer {
    long long written = 0; // when its last pass began
    long long interval = 0;
    long long lifetime = 0;
    std::string prefix; // the label prefix
    std::string name;
};

// Notes this pass's writer in the state folder and says when another one
// that still runs publishes with other settings, naming it and what
// differs. The one of them that wrote first goes on writing the labels;
// true when this pass is the other one and must write none, so that they do
// not flip between the two.
bool yields_to_another_writer(const Writer &self);

// The line a writer takes in the state folder, and back.
std::string writer_line(const Writer &writer);
bool read_writer_line(std::string_view line, Writer &writer);
