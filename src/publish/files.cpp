// SPDX-License-Identifier: MIT
// Files that root writes and reads in folders other users may control. Every
// folder is opened by handle, one component after the other, without
// following a symbolic link that another user could have placed; files are
// opened beside that handle, never by path, and only regular files count.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "files.hpp"

// Set by the build: where the program keeps its state unless systemd names
// a folder (StateDirectory=).
#ifndef GPU_ARCH_PUBLISH_STATE_DIR
#error "GPU_ARCH_PUBLISH_STATE_DIR must be defined by the build"
#endif

namespace {

// Symbolic links past this many on one path are a loop.
constexpr int max_links = 40;
// Longer than any run of the program takes: a temporary file of its own
// this old was left by a run that was killed.
constexpr time_t stale_seconds = 120;
constexpr size_t random_digits = 8;

bool trusted(uid_t owner)
{
    return owner == 0 || owner == geteuid();
}

const char *type_of(mode_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a folder";
    case S_IFLNK:
        return "a symbolic link";
    case S_IFIFO:
        return "a FIFO";
    case S_IFSOCK:
        return "a socket";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    default:
        return "of an unknown type";
    }
}

// The error, and under systemd, for a folder the sandbox keeps read-only,
// the line that lets the service write there.
std::string error_text(int error, const std::string &folder)
{
    std::string text = strerror(error);
    if (error == EROFS && in_service()) {
        // The folder as the line takes it, unless quoting shows more.
        const std::string shown = folder.empty() ? std::string("/") : folder;
        const std::string quoted = quote_for_message(shown);
        text += " (to let gpu_arch-publish.service write there, add the line ReadWritePaths=" +
                (quoted == "'" + shown + "'" ? shown : quoted) +
                " below [Service] with systemctl edit gpu_arch-publish.service)";
    }
    return text;
}

void close_all(std::vector<int> &folders)
{
    for (const int fd : folders) {
        close(fd);
    }
    folders.clear();
}

// Takes the first component off path.
std::string take_component(std::string &path)
{
    const size_t start = path.find_first_not_of('/');
    if (start == std::string::npos) {
        path.clear();
        return "";
    }
    const size_t end = std::min(path.find('/', start), path.size());
    std::string component = path.substr(start, end - start);
    path.erase(0, end);
    return component;
}

// A walk down a path: the handles of the folders from / to the one reached
// so far, the path that names that one, and what is left to walk.
struct Walk {
    std::vector<int> folders;
    std::string reached;
    std::string rest;
    int links = 0;
};

// Goes up one folder, or all the way to /.
void climb(Walk &walk, bool to_root)
{
    while (walk.folders.size() > 1) {
        close(walk.folders.back());
        walk.folders.pop_back();
        walk.reached.erase(walk.reached.rfind('/'));
        if (!to_root) {
            return;
        }
    }
}

// Puts a link's target in front of the rest of the walk, when root (or this
// user) placed the link in a folder of theirs; else says why not.
std::string follow(Walk &walk, const std::string &component, const struct stat &link, const struct stat &folder)
{
    const std::string at = quote_for_message(walk.reached + "/" + component);
    char target[4096];
    const ssize_t length = readlinkat(walk.folders.back(), component.c_str(), target, sizeof target);
    if (!trusted(link.st_uid) || !trusted(folder.st_uid)) {
        return at + " is a symbolic link that another user could have placed";
    }
    if (++walk.links > max_links) {
        return at + ": " + strerror(ELOOP);
    }
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target) {
        return at + ": cannot read the symbolic link";
    }
    const std::string text(target, static_cast<size_t>(length));
    if (text[0] == '/') {
        climb(walk, true);
    }
    walk.rest.insert(0, text + "/");
    return "";
}

// Takes one step of the walk: into a folder (made when missing and asked),
// or along a link; returns why it cannot, or an empty string.
std::string step(Walk &walk, const std::string &component, bool create)
{
    const int folder = walk.folders.back();
    const std::string path = walk.reached + "/" + component;
    const std::string at = quote_for_message(path);
    struct stat status = {};
    struct stat folder_status = {};
    if (fstat(folder, &folder_status) != 0) {
        return quote_for_message(walk.reached) + ": " + strerror(errno);
    }
    bool made = false;
    if (fstatat(folder, component.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT && create) {
        if (!trusted(folder_status.st_uid)) {
            return at + " is missing, and is not made in a folder that another user owns";
        }
        made = mkdirat(folder, component.c_str(), 0755) == 0;
        if (!made && errno != EEXIST) {
            return "cannot make " + at + ": " + error_text(errno, walk.reached);
        }
    }
    if (fstatat(folder, component.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return at + ": " + strerror(errno);
    }
    if (S_ISLNK(status.st_mode)) {
        return follow(walk, component, status, folder_status);
    }
    if (!S_ISDIR(status.st_mode)) {
        return at + " is " + type_of(status.st_mode) + ", not a folder";
    }
    const int next = openat(folder, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
        return at + ": " + strerror(errno);
    }
    // Open to the consumers' users whatever the umask.
    if (made && fchmod(next, 0755) != 0) {
        close(next);
        return "cannot make " + at + " readable by all: " + strerror(errno);
    }
    walk.folders.push_back(next);
    walk.reached = path;
    return "";
}

// The root folder, reached by climbing from the working folder rather than
// opened by the path "/", which an emulator with a sysroot (qemu-user -L)
// maps to that sysroot.
int open_root()
{
    int folder = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    while (folder >= 0) {
        const int parent = openat(folder, "..", O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat here = {};
        struct stat above = {};
        if (parent < 0 || fstat(folder, &here) != 0 || fstat(parent, &above) != 0 ||
            (here.st_dev == above.st_dev && here.st_ino == above.st_ino)) {
            if (parent >= 0) {
                close(parent);
            }
            return folder;
        }
        close(folder);
        folder = parent;
    }
    return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
}

} // namespace

int open_folder(const std::string &path, bool create, std::string &why)
{
    if (path.empty() || path[0] != '/') {
        why = quote_for_message(path) + " is a relative path; an absolute one is needed";
        return -1;
    }
    Walk walk = {{open_root()}, "", path};
    why.clear();
    while (!walk.rest.empty() && why.empty()) {
        const std::string component = take_component(walk.rest);
        if (component == "..") {
            climb(walk, false);
        } else if (!component.empty() && component != ".") {
            why = step(walk, component, create);
        }
    }
    int opened = -1;
    if (why.empty()) {
        opened = walk.folders.back();
        walk.folders.pop_back();
    }
    close_all(walk.folders);
    return opened;
}

namespace {

// Makes a temporary dot-file in folder, which the readers of these folders
// skip; -1 with errno set when it cannot.
int make_temporary(int folder, const std::string &name, std::string &temporary)
{
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        unsigned random = 0;
        if (getrandom(&random, sizeof random, 0) != sizeof random) {
            random = static_cast<unsigned>(getpid()) * 2654435761U + static_cast<unsigned>(attempt);
        }
        char suffix[16];
        snprintf(suffix, sizeof suffix, ".%0*x", static_cast<int>(random_digits), random);
        temporary = "." + name + suffix;
        fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    return fd;
}

// Writes all of text; the error, or 0.
int write_all(int fd, const std::string &text)
{
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t wrote = write(fd, text.data() + written, text.size() - written);
        if (wrote > 0) {
            written += static_cast<size_t>(wrote);
        } else if (wrote == 0 || errno != EINTR) {
            return wrote == 0 ? EIO : errno;
        }
    }
    return 0;
}

// Removes what killed runs left of their temporary files for name: the
// names make_temporary gives, regular files of this user's, older than a run
// takes. Nothing else is touched.
void remove_stale_temporaries(int folder, const std::string &name)
{
    const int listing = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *entries = listing < 0 ? nullptr : fdopendir(listing);
    if (entries == nullptr) {
        if (listing >= 0) {
            close(listing);
        }
        return;
    }
    const std::string prefix = "." + name + ".";
    const time_t before = time(nullptr) - stale_seconds;
    while (const dirent *entry = readdir(entries)) {
        const std::string_view found = entry->d_name;
        struct stat status = {};
        if (found.size() == prefix.size() + random_digits && found.substr(0, prefix.size()) == prefix &&
            std::all_of(found.begin() + static_cast<long>(prefix.size()), found.end(),
                        [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }) &&
            fstatat(folder, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(status.st_mode) &&
            status.st_uid == geteuid() && status.st_mtime < before) {
            unlinkat(folder, entry->d_name, 0);
        }
    }
    closedir(entries);
}

volatile sig_atomic_t lock_wait_over = 0;

void end_lock_wait(int /*signal*/)
{
    lock_wait_over = 1;
}

// flock within seconds: a timer interrupts the wait, and goes on firing
// every 100 ms in case the first came before flock began. A stop may end the
// wait, and then the program.
bool lock_within(int fd, int seconds, const std::string &path)
{
    struct sigaction alarm_action = {};
    struct sigaction old_action = {};
    alarm_action.sa_handler = end_lock_wait;
    sigemptyset(&alarm_action.sa_mask);
    sigaction(SIGALRM, &alarm_action, &old_action);
    lock_wait_over = 0;
    itimerval timer = {{0, 100000}, {seconds, 0}};
    itimerval old_timer = {};
    setitimer(ITIMER_REAL, &timer, &old_timer);
    const sigset_t stoppable = stoppable_mask();
    sigset_t mask;
    sigprocmask(SIG_SETMASK, &stoppable, &mask);
    int locked = -1;
    while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR && lock_wait_over == 0 && !stop_asked()) {
    }
    const int error = errno;
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &old_action, nullptr);
    if (locked != 0) {
        stop_point("the lock " + quote_for_message(path));
    }
    errno = error;
    return locked == 0;
}

} // namespace

int lock_in(int folder, const std::string &path, const std::string &name, int seconds)
{
    // Only its owner can open it, so no other user can hold it.
    const int fd = openat(folder, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat status = {};
    std::string problem;
    const int error = fd < 0 ? errno : 0;
    if (fd < 0) {
        problem = errno == ELOOP ? "it is a symbolic link" : strerror(errno);
    } else if (fstat(fd, &status) != 0) {
        problem = strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = std::string("it is ") + type_of(status.st_mode);
    } else if (!trusted(status.st_uid) || (status.st_mode & 077) != 0) {
        problem = "another user could open it";
    } else if (!lock_within(fd, seconds, path)) {
        problem = errno == EINTR ? "another run of gpu_arch-publish has held it for " + std::to_string(seconds) + " s"
                                 : strerror(errno);
    }
    if (problem.empty()) {
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    say("cannot lock " + quote_for_message(path) + ": " + problem);
    errno = error;
    return -1;
}

bool write_file_at(int folder, const std::string &path, const std::string &name, const std::string &text)
{
    remove_stale_temporaries(folder, name);
    const std::string folder_path = path.substr(0, path.rfind('/'));
    struct stat status = {};
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(status.st_mode)) {
        say("cannot write " + quote_for_message(path) + ": it is " + type_of(status.st_mode));
        return false;
    }
    std::string temporary;
    const int fd = make_temporary(folder, name, temporary);
    if (fd < 0) {
        say("cannot write " + quote_for_message(path) + ": " + error_text(errno, folder_path));
        return false;
    }
    // Readable by all whatever the umask: the node exporter reads it as a
    // user of its own. Synced before it replaces the old file, so that a
    // power loss never leaves an empty one.
    int error = write_all(fd, text);
    if (error == 0 && (fchmod(fd, 0644) != 0 || fsync(fd) != 0)) {
        error = errno;
    }
    if (close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(folder, temporary.c_str(), 0);
        say("cannot write " + quote_for_message(path) + ": " + error_text(error, folder_path));
        return false;
    }
    return true;
}

namespace {

// Opens the folder of the file that path names, an absolute path, putting
// the file's name in name; -1 after a message that says what could not be
// done (doing), or, when the folder is missing and not to be made, with
// errno ENOENT.
int open_parent(const std::string &path, bool create, const char *doing, std::string &name)
{
    const size_t slash = path.rfind('/');
    name = slash == std::string::npos ? "" : path.substr(slash + 1);
    if (path.empty() || path[0] != '/' || name.empty() || name == "." || name == "..") {
        say(std::string("cannot ") + doing + " " + quote_for_message(path) +
            (path.empty() || path[0] != '/' ? ": it is a relative path; an absolute one is needed"
                                            : ": it names a folder; the path of a file in it is needed"));
        errno = EINVAL;
        return -1;
    }
    std::string why;
    const int folder = open_folder(slash == 0 ? "/" : path.substr(0, slash), create, why);
    if (folder < 0 && (create || errno != ENOENT)) {
        say(std::string("cannot ") + doing + " " + quote_for_message(path) + ": " + why);
        errno = 0;
    }
    return folder;
}

} // namespace

bool write_file(const std::string &path, const std::string &text)
{
    std::string name;
    const int folder = open_parent(path, true, "write", name);
    if (folder < 0) {
        return false;
    }
    const bool written = write_file_at(folder, path, name, text);
    close(folder);
    return written;
}

int remove_file(const std::string &path)
{
    std::string name;
    const int folder = open_parent(path, false, "remove", name);
    if (folder < 0) {
        return errno == ENOENT ? 0 : -1;
    }
    struct stat status = {};
    std::string problem;
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        problem = errno == ENOENT ? "" : strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = std::string("it is ") + type_of(status.st_mode);
    } else if (unlinkat(folder, name.c_str(), 0) != 0) {
        problem = error_text(errno, path.substr(0, path.rfind('/')));
    }
    close(folder);
    if (!problem.empty()) {
        say("cannot remove " + quote_for_message(path) + ": " + problem);
        return -1;
    }
    return S_ISREG(status.st_mode) ? 1 : 0;
}

int read_file_at(int folder, const std::string &path, const std::string &name, size_t max_size, std::string &text,
                 bool follow)
{
    // Not blocking on a FIFO; a link, a device or a folder is no file.
    const int fd = openat(folder, name.c_str(), O_RDONLY | (follow ? 0 : O_NOFOLLOW) | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        return 0;
    }
    struct stat status = {};
    std::string problem;
    if (fd < 0 && errno == ELOOP) {
        problem = "it is a symbolic link";
    } else if (fd < 0 || fstat(fd, &status) != 0) {
        problem = strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        problem = std::string("it is ") + type_of(status.st_mode);
    }
    const std::string too_large = "it is larger than " + std::to_string(max_size) + " bytes";
    if (problem.empty() && static_cast<size_t>(status.st_size) > max_size) {
        problem = too_large;
    }
    char chunk[4096];
    ssize_t got = 0;
    while (problem.empty() && (got = read(fd, chunk, sizeof chunk)) != 0) {
        if (got < 0 && errno != EINTR) {
            problem = strerror(errno);
        } else if (got > 0 && text.append(chunk, static_cast<size_t>(got)).size() > max_size) {
            problem = too_large;
        }
    }
    if (fd >= 0) {
        close(fd);
    }
    if (!problem.empty()) {
        say("cannot read " + quote_for_message(path) + ": " + problem);
        text.clear();
        return -1;
    }
    return 1;
}

int open_state_folder(std::string &path, bool create)
{
    // systemd names the folders of StateDirectory=, separated by colons.
    const char *named = getenv("STATE_DIRECTORY");
    path = named != nullptr && *named != '\0' ? named : GPU_ARCH_PUBLISH_STATE_DIR;
    path = path.substr(0, path.find(':'));
    std::string why;
    struct stat status = {};
    // What only reads takes a folder that is not there for an empty one.
    if (!create && stat(path.c_str(), &status) != 0 && errno == ENOENT) {
        return -1;
    }
    const int folder = open_folder(path, create, why);
    if (folder >= 0 && fstat(folder, &status) == 0 && (!trusted(status.st_uid) || (status.st_mode & 022) != 0)) {
        why = quote_for_message(path) + " is writable by another user";
        close(folder);
    } else if (folder >= 0) {
        return folder;
    }
    say("cannot keep state: " + why);
    return -1;
}
