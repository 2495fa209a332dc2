// SPDX-License-Identifier: MIT
// gpu_arch: prints one "quarn<N>" line for every GPU architecture that the qlvn
// driver publishes in its sysfs topology tree.
//
// Usage: gpu_arch (arguments are ignored)
//
// Standard output carries nothing but architecture lines; problems go to
// standard error and the tool goes on where it can. The exit status is 0,
// except when a line could not be written to standard output: then the last
// message is "write: <error>" and the status is 1, so that lost output is
// never mistaken for "no GPU".

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

// Where the driver's tree lies, fixed at build time: the sysfs root (the test
// and benchmark builds point it at trees of their own) and the device and
// nodes directories below it.
#if !defined(GPU_ARCH_SYSFS_ROOT) || !defined(GPU_ARCH_PRIMARY_DEVICE) || !defined(GPU_ARCH_FALLBACK_DEVICE) ||        \
    !defined(GPU_ARCH_NODES)
#error "the build defines where the driver's tree lies"
#endif

#define QLVN_PRIMARY_DEVICE_DIR GPU_ARCH_SYSFS_ROOT "/" GPU_ARCH_PRIMARY_DEVICE

// The driver's device directory at its primary location.
static const char *QLVN_SYSFS_PATH_PREFIX = QLVN_PRIMARY_DEVICE_DIR;
// The nodes directory chosen at start-up.
static const char *QLVN_SYSFS_PATH_NODES = nullptr;

static const char nodes_path_primary[] = QLVN_PRIMARY_DEVICE_DIR "/" GPU_ARCH_NODES;
static const char nodes_path_fallback[] = GPU_ARCH_SYSFS_ROOT "/" GPU_ARCH_FALLBACK_DEVICE "/" GPU_ARCH_NODES;

// The current line of the properties file being scanned.
static char buffer[4096];

// Stream buffer for the properties file. Handing stdio a buffer of our own
// saves the per-file buffer allocation and the fstat stdio would make to size
// it. Only one properties file is open at a time.
static char properties_stream_buffer[8192];

// The error of the first failed write to standard output; 0 while none failed.
static int stdout_write_error = 0;

static void note_stdout_write_error()
{
    if (stdout_write_error == 0) {
        stdout_write_error = errno != 0 ? errno : EIO;
    }
}

// Returns the number after the first occurrence of key in buffer, or 0 when
// the key does not occur. Blanks and tabs may separate key and number; the
// number is read like strtoll reads base 10 (clamped to the 64-bit range) and
// its low 32 bits are returned.
static int get_quarn_arch(const char *key)
{
    const char *found = strstr(buffer, key);
    if (found == nullptr) {
        return 0;
    }
    const char *value = found + strlen(key);
    while (*value == ' ' || *value == '\t') {
        ++value;
    }
    const long long parsed = strtoll(value, nullptr, 10);
    // Keep the low 32 bits; the conversion to int is modular in C++20.
    return static_cast<int>(static_cast<uint32_t>(static_cast<unsigned long long>(parsed)));
}

// Scans one properties file and prints an architecture line for every line
// (or every 4095-byte piece of a longer line) with a nonzero ISA major.
static void process_properties_file(const char *path)
{
    FILE *file = fopen(path, "r");
    if (file == nullptr) {
        perror("fopen");
        return;
    }
    setvbuf(file, properties_stream_buffer, _IOFBF, sizeof properties_stream_buffer);

    while (fgets(buffer, sizeof buffer, file) != nullptr) {
        const int major = get_quarn_arch("isa_major");
        const int minor = get_quarn_arch("isa_minor");
        if (major == 0) {
            continue;
        }
        // major * 100 + minor wrapping in 32 bits, computed without signed overflow.
        const uint32_t arch = static_cast<uint32_t>(major) * 100U + static_cast<uint32_t>(minor);
        if (printf("quarn%d\n", static_cast<int>(arch)) < 0) {
            note_stdout_write_error();
        }
    }
    // A failed read ends the scan like end of file, but is not silent.
    if (ferror(file) != 0) {
        perror("fgets");
    }
    fclose(file);
}

// Visits every directory entry of the nodes directory at path, following
// symbolic links, and scans the properties file of each node directory.
static void traverse_directory(const char *path)
{
    DIR *dir = opendir(path);
    if (dir == nullptr) {
        static const char not_found[] = "Can not find supported GPU!\n";
        fwrite(not_found, 1, sizeof not_found - 1, stderr);
        return;
    }

    char entry_path[1024];
    char properties_path[1024];
    for (;;) {
        errno = 0;
        const struct dirent *entry = readdir(dir);
        if (entry == nullptr) {
            // End of directory leaves errno alone; a read error sets it.
            if (errno != 0) {
                perror("readdir");
            }
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        // A path too long for its buffer is cut short without notice; entry
        // names are at most 255 bytes, so with the fixed locations this does
        // not happen.
        snprintf(entry_path, sizeof entry_path, "%s/%s", path, entry->d_name);
        struct stat status = {};
        if (stat(entry_path, &status) != 0) {
            perror("stat");
            continue;
        }
        if ((status.st_mode & S_IFMT) != S_IFDIR) {
            continue;
        }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-truncation" // cut short on purpose, as above
#endif
        snprintf(properties_path, sizeof properties_path, "%s/properties", entry_path);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
        process_properties_file(properties_path);
    }
    closedir(dir);
}

int main()
{
    // An existence test only: it needs no permission on the directory itself,
    // but fails when a directory on the way may not be searched.
    if (access(QLVN_SYSFS_PATH_PREFIX, F_OK) == 0) {
        QLVN_SYSFS_PATH_NODES = nodes_path_primary;
    } else {
        QLVN_SYSFS_PATH_NODES = nodes_path_fallback;
    }
    traverse_directory(QLVN_SYSFS_PATH_NODES);

    // Whatever is still buffered goes out now, so that its failure is seen.
    errno = 0;
    if (fflush(stdout) != 0 || ferror(stdout) != 0) {
        note_stdout_write_error();
    }
    if (stdout_write_error != 0) {
        errno = stdout_write_error;
        perror("write");
        return 1;
    }
    return 0;
}
