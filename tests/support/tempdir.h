// Per-test scratch directories and whole-file helpers.
#pragma once

#include <string>

// A fresh directory under /tmp, removed with everything in it when the object goes away.
struct TempDir {
    std::string path;

    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // path + "/" + name
    std::string file(const std::string& name) const;
};

// Whole contents of a file; a file that cannot be read fails the current test and gives "".
std::string read_file(const std::string& path);

// Creates or replaces a file with exactly these bytes; failure fails the current test.
void write_file(const std::string& path, const std::string& bytes);

bool file_exists(const std::string& path);
