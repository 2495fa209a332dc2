// SPDX-License-Identifier: MIT
// Feeds arbitrary bytes through the properties scan as the content of one
// properties file and checks the architecture lines it prints against a
// separate, deliberately plain reading of the same bytes.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// The tool itself, with its entry renamed so that libFuzzer's can stand.
#define main gpu_arch_main
#include "gpu_arch.cpp"
#undef main

namespace {

int properties_fd = -1;
int output_fd = -1;
char properties_path[64];

// The number after the first occurrence of key in text: blanks and tabs,
// then white space, a sign and decimal digits, clamped to 64 bits; low 32 bits.
int32_t expected_number(const std::string &text, const std::string &key)
{
    const size_t found = text.find(key);
    if (found == std::string::npos) {
        return 0;
    }
    size_t at = found + key.size();
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) {
        ++at;
    }
    while (at < text.size() && std::string_view(" \t\n\v\f\r").find(text[at]) != std::string_view::npos) {
        ++at;
    }
    const bool negative = at < text.size() && text[at] == '-';
    if (at < text.size() && (text[at] == '-' || text[at] == '+')) {
        ++at;
    }
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    uint64_t magnitude = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const uint64_t digit = static_cast<uint64_t>(text[at] - '0');
        magnitude = magnitude > (limit - digit) / 10 ? limit : magnitude * 10 + digit;
    }
    const uint64_t value = negative ? ~magnitude + 1 : magnitude;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

// Lines of at most 4095 bytes, each seen up to its first NUL byte.
std::string expected_output(const uint8_t *data, size_t size)
{
    std::string out;
    for (size_t start = 0; start < size;) {
        size_t end = start;
        while (end < size && end - start < 4095) {
            if (data[end++] == '\n') {
                break;
            }
        }
        std::string piece(reinterpret_cast<const char *>(data + start), end - start);
        piece.resize(piece.find('\0') == std::string::npos ? piece.size() : piece.find('\0'));
        const int32_t major = expected_number(piece, "isa_major");
        const int32_t minor = expected_number(piece, "isa_minor");
        if (major != 0) {
            const uint32_t arch = static_cast<uint32_t>(major) * 100U + static_cast<uint32_t>(minor);
            out += "quarn" + std::to_string(static_cast<int32_t>(arch)) + "\n";
        }
        start = end;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    properties_fd = memfd_create("properties", 0);
    output_fd = memfd_create("stdout", 0);
    snprintf(properties_path, sizeof properties_path, "/proc/self/fd/%d", properties_fd);
    fflush(stdout);
    dup2(output_fd, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(properties_fd, 0) != 0 || pwrite(properties_fd, data, size, 0) != static_cast<ssize_t>(size)) {
        abort();
    }
    process_properties_file(properties_path);
    fflush(stdout);

    std::string printed(static_cast<size_t>(lseek(output_fd, 0, SEEK_CUR)), '\0');
    if (pread(output_fd, printed.data(), printed.size(), 0) != static_cast<ssize_t>(printed.size())) {
        abort();
    }
    if (ftruncate(output_fd, 0) != 0 || lseek(output_fd, 0, SEEK_SET) != 0) {
        abort();
    }
    if (printed != expected_output(data, size)) {
        fprintf(stderr, "printed:\n%s\nexpected:\n%s\n", printed.c_str(), expected_output(data, size).c_str());
        abort();
    }
    return 0;
}
