// A folder of its own under the test's temporary directory, removed at the end.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

// Removes a folder and all it holds; false if anything stays.
inline bool removeTree(const std::string& path) {
    std::error_code failed;
    std::filesystem::remove_all(path, failed);  // links are removed, never followed
    return !failed;
}

struct TempDir {
    TempDir() : path(testing::TempDir() + "korvane-XXXXXX") {
        if (!mkdtemp(path.data())) path = "/nonexistent";
    }
    ~TempDir() {
        if (!removeTree(path)) ADD_FAILURE() << "cannot remove " << path;
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
    // Writes the file anew and gives its path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
        return file(name);
    }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    std::string path;
};
