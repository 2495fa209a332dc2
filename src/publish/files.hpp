// SPDX-License-Identifier: MIT
// Files that root writes and reads in folders other users may control.
// Paths are absolute; every folder on the way is opened by handle without
// following a symbolic link, except one that root (or this user) owns in a
// folder that root (or this user) owns. Missing folders are made only below
// such a folder. Each says why it failed.
#pragma once

#include <string>

#include "messages.hpp"

// Opens the folder; -1 with why set when it cannot.
int open_folder(const std::string &path, bool create, std::string &why);
// Writes the regular file name in folder through a temporary file that is
// synced and then renamed over it, readable by all; what a killed run left
// of its own temporary files there is removed first. path names it in
// messages.
bool write_file_at(int folder, const std::string &path, const std::string &name, const std::string &text);
bool write_file(const std::string &path, const std::string &text);
// Removes the regular file that path names: 1 removed, 0 there was none, -1
// failed (said).
int remove_file(const std::string &path);
// Reads the regular file name in folder (AT_FDCWD for a path), at most
// max_size bytes, following a symbolic link only when asked: 1 read, 0
// missing, -1 failed (said).
int read_file_at(int folder, const std::string &path, const std::string &name, size_t max_size, std::string &text,
                 bool follow = false);
// The folder where the program keeps what it must remember, owned by root
// (or this user) and writable by no one else; -1 after a message, or with
// errno ENOENT and no message when it is not there and not to be made.
int open_state_folder(std::string &path, bool create = true);
// Takes an exclusive lock on the file name in folder, which only its owner
// may open, waiting at most the given seconds; -1 after a message, with
// errno set when the file could not be opened, else 0.
int lock_in(int folder, const std::string &path, const std::string &name, int seconds);
