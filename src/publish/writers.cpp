// SPDX-License-Identifier: MIT
// The writers of this node's answer, one line each in the state folder, in
// the order they first wrote: the first that still runs is the one that
// publishes.
#include "writers.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "detect.hpp"

namespace {

constexpr const char *writers_name = "writers";
// More lines than two writers ever take.
constexpr size_t max_writers = 8;
constexpr size_t max_writers_text = 4096;

// Still running: it wrote within two of its intervals and the longest a
// pass takes.
bool runs(const Writer &writer, long long now)
{
    return now - writer.written <= 2 * writer.interval + renewal_margin && writer.written <= now + renewal_margin;
}

bool read_number(std::string_view &text, long long &number)
{
    const size_t blank = text.find(' ');
    if (blank == 0 || blank == std::string_view::npos || blank > 19) {
        return false;
    }
    number = 0;
    for (const char c : text.substr(0, blank)) {
        if (c < '0' || c > '9') {
            return false;
        }
        number = number * 10 + (c - '0');
    }
    text.remove_prefix(blank + 1);
    return number > 0;
}

std::string settings_text(const Writer &writer)
{
    return "lifetime " + std::to_string(writer.lifetime) + " and label prefix " + quote_for_message(writer.prefix);
}

} // namespace

std::string writer_line(const Writer &writer)
{
    return std::to_string(writer.written) + " " + std::to_string(writer.interval) + " " +
           std::to_string(writer.lifetime) + " " + writer.prefix + " " + writer.name + "\n";
}

bool read_writer_line(std::string_view line, Writer &writer)
{
    if (!read_number(line, writer.written) || !read_number(line, writer.interval) ||
        !read_number(line, writer.lifetime)) {
        return false;
    }
    const size_t blank = line.find(' ');
    if (blank == std::string_view::npos || blank == 0 || blank + 1 == line.size()) {
        return false;
    }
    writer.prefix = line.substr(0, blank);
    writer.name = line.substr(blank + 1);
    return writer.name.find('\n') == std::string::npos;
}

bool yields_to_another_writer(const Writer &self)
{
    std::string path;
    const int state = open_state_folder(path);
    if (state < 0) {
        return false;
    }
    path += std::string("/") + writers_name;
    std::string text;
    read_file_at(state, path, writers_name, max_writers_text, text);
    // The others that still run, in the order they first wrote, and this one.
    const long long now = self.written;
    std::vector<Writer> writers;
    bool listed = false;
    for (std::string_view rest = text; !rest.empty() && writers.size() < max_writers;) {
        const size_t end = rest.find('\n');
        Writer writer;
        if (end != std::string_view::npos && read_writer_line(rest.substr(0, end), writer) &&
            (writer.name == self.name || runs(writer, now))) {
            listed = listed || writer.name == self.name;
            writers.push_back(writer.name == self.name ? self : writer);
        }
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    }
    if (!listed) {
        writers.push_back(self);
    }
    std::string kept;
    bool first = true;
    bool yields = false;
    for (const Writer &writer : writers) {
        kept += writer_line(writer);
        if (writer.name == self.name) {
            first = false;
            continue;
        }
        if (writer.lifetime == self.lifetime && writer.prefix == self.prefix) {
            continue;
        }
        yields = yields || first;
        say(quote_for_message(writer.name) + " also publishes this node's answer, every " +
            std::to_string(writer.interval) + " s, with " + settings_text(writer) + "; " +
            quote_for_message(self.name) + " has " + settings_text(self) + ": " +
            (first ? "this one writes no labels while that one runs, so that they do not flip"
                   : "that one writes no labels while this one runs, so that they do not flip") +
            "; disable one of them, or give both the same lifetime and nfd-prefix (see gpu_arch-publish(8))");
    }
    if (kept != text && faccessat(state, ".", W_OK, AT_EACCESS) == 0) {
        write_file_at(state, path, writers_name, kept);
    }
    close(state);
    return yields;
}
