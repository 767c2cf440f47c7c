#pragma once

// Helpers shared by the reader's tests on every platform.

#include <string>

// A fresh empty directory under the system's temporary directory.
std::string temp_dir();

// Writes bytes to dir/name and returns the path.
std::string write_file(const std::string &dir, const char *name, const std::string &bytes);

// Reads path with read_source_file; returns the block's first expected_size + 1
// bytes (the file and its NUL), or "<none>", and what was printed.
std::string read_back(const std::string &path, size_t expected_size, std::string *printed);
