#pragma once

// The two inputs, relative to the working directory, with the platform's separator.
extern const char *const VERTEX_SOURCE_PATH;
extern const char *const FRAGMENT_SOURCE_PATH;

// Reads a whole file into a fresh heap block of its size plus one, NUL-terminated,
// with no decoding or line-ending translation. On any failure it prints
// "Unable to load file\n" and returns null. The block is never freed by the caller.
char *read_source_file(const char *path);
