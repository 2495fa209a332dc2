// SPDX-License-Identifier: MIT
// Building driver trees for the tests: a directory under /tmp, readable by everyone so that cases can also run
// as an unprivileged user, removed when the case ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

// The device directory and both nodes directories, below the test build's
// sysfs root "sys".
inline const std::string device = "sys/" GPU_ARCH_PRIMARY_DEVICE;
inline const std::string primary = device + "/" GPU_ARCH_NODES;
inline const std::string fallback = "sys/" GPU_ARCH_FALLBACK_DEVICE "/" GPU_ARCH_NODES;

class DriverTree {
public:
    // A directory, or a file when it has content, with its mode.
    struct Entry {
        std::string path;
        unsigned mode = 0755;
        std::optional<std::string> content = {};
    };

    DriverTree()
    {
        char name[] = "/tmp/gpu_arch_test.XXXXXX";
        EXPECT_NE(mkdtemp(name), nullptr);
        root_ = name;
        fs::permissions(root_, fs::perms(0755));
    }
    ~DriverTree()
    {
        // A directory closed to its owner cannot be emptied by a normal user.
        std::error_code ignored;
        for (const auto &closed : closed_dirs_) {
            fs::permissions(closed, fs::perms(0755), ignored);
        }
        fs::remove_all(root_, ignored);
    }
    DriverTree(const DriverTree &) = delete;
    DriverTree &operator=(const DriverTree &) = delete;

    const fs::path &root() const { return root_; }
    fs::path path(const std::string &relative) const { return root_ / relative; }

    // Makes the entry, and the directories above it; an empty path makes nothing.
    void add(const Entry &entry)
    {
        const fs::path at = path(entry.path);
        if (entry.path.empty()) {
            return;
        }
        fs::create_directories(entry.content ? at.parent_path() : at);
        if (entry.content) {
            std::ofstream(at, std::ios::binary) << *entry.content;
        } else if (entry.mode != 0755) {
            closed_dirs_.push_back(at);
        }
        fs::permissions(at, fs::perms(entry.mode));
    }
    void node(const std::string &nodes, const std::string &name, const std::string &properties)
    {
        add({nodes + "/" + name + "/properties", 0644, properties});
    }

    // Entry names of a directory in the order the file system returns them.
    std::vector<std::string> listing(const std::string &relative) const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(path(relative))) {
            names.push_back(entry.path().filename());
        }
        return names;
    }

private:
    fs::path root_;
    std::vector<fs::path> closed_dirs_;
};
