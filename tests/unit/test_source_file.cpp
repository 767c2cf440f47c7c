// Reading the shader files: bytes exactly as stored, and every failure refused cleanly.

#include "source_file.h"

#include <gtest/gtest.h>

#include "source_file_test.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

std::string temp_dir()
{
    std::random_device random;
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("shaderbench-test-" + std::to_string(random()));
    std::filesystem::create_directory(dir);
    return dir.string();
}

std::string write_file(const std::string &dir, const char *name, const std::string &bytes)
{
    std::string path = (std::filesystem::path(dir) / name).string();
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

// Reads path; returns the block's bytes up to and including the terminating NUL
// at the file's size (expected_size), and what was printed.
std::string read_back(const std::string &path, size_t expected_size, std::string *printed)
{
    testing::internal::CaptureStdout();
    char *text = read_source_file(path.c_str());
    *printed = testing::internal::GetCapturedStdout();
    if (!text)
        return "<none>";
    std::string bytes(text, expected_size + 1);
    free(text);
    return bytes;
}

TEST(SourceFile, ReturnsTheBytesAsStoredWithOneNulAdded)
{
    std::string dir = temp_dir();
    const std::string cases[] = {
        std::string(),                                          // empty file
        std::string("line one\r\nline two\r\n"),                // CR/LF kept
        std::string("no final newline"),                        // nothing added
        std::string("before\0after\n", 13),                     // NUL kept in the block
        std::string("\xEF\xBB\xBFvoid main(){}\n"),             // no BOM handling
    };
    for (const std::string &bytes : cases) {
        std::string printed;
        std::string path = write_file(dir, "source.txt", bytes);
        EXPECT_EQ(read_back(path, bytes.size(), &printed), bytes + std::string(1, '\0'));
        EXPECT_EQ(printed, "");
    }
    std::filesystem::remove_all(dir);
}

TEST(SourceFile, RefusesAMissingFileAndADirectory)
{
    std::string dir = temp_dir();
    for (const std::string &path : {(std::filesystem::path(dir) / "missing.txt").string(), dir}) {
        std::string printed;
        EXPECT_EQ(read_back(path, 0, &printed), "<none>") << path;
        EXPECT_EQ(printed, "Unable to load file\n") << path;
    }
    std::filesystem::remove_all(dir);
}

