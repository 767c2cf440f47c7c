// Reading the shader files: bytes exactly as stored, and every failure refused cleanly.

#include "output.h"
#include "source_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

static std::string temp_dir()
{
    std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                ("shaderbench-test-" + std::to_string(std::random_device()()));
    std::filesystem::create_directory(dir);
    return dir.string();
}

static std::string write_file(const std::string &dir, const char *name, const std::string &bytes)
{
    std::string path = (std::filesystem::path(dir) / name).string();
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

// What read_source_file printed, then the block's first size + 1 bytes (the
// file and its NUL), or "<none>" when it returned null.
static std::string read_back(const std::string &path, size_t size)
{
    testing::internal::CaptureStdout();
    char *text = read_source_file(path.c_str());
    std::string out = testing::internal::GetCapturedStdout() + (text ? std::string(text, size + 1) : "<none>");
    free(text);
    return out;
}

TEST(SourceFile, ReturnsTheBytesAsStoredWithOneNulAddedOrRefuses)
{
    std::string dir = temp_dir();
    // Empty, CR/LF, no final newline, a NUL inside, a byte order mark: all kept as they are.
    for (const std::string &bytes : {std::string(), std::string("one\r\ntwo\r\n"), std::string("no newline"),
                                     std::string("before\0after\n", 13), std::string("\xEF\xBB\xBFvoid main(){}\n")})
        EXPECT_EQ(read_back(write_file(dir, "source.txt", bytes), bytes.size()), bytes + std::string(1, '\0'));

    // Refused: missing, a directory, 4 GiB + 100 bytes (sparse; a 32-bit size would read 100 bytes), a FIFO
    // with no writer (which must not block either), a file we may not read (root reads it whatever its mode).
    std::vector<std::string> refused = {dir + "/missing.txt", dir, write_file(dir, "huge.txt", "")};
    std::filesystem::resize_file(refused.back(), (uint64_t(1) << 32) + 100);
#ifndef _WIN32
    refused.push_back(dir + "/fifo");
    ASSERT_EQ(mkfifo(refused.back().c_str(), 0600), 0);
    if (geteuid() != 0) {
        refused.push_back(write_file(dir, "unreadable", "x"));
        chmod(refused.back().c_str(), 0);
    }
#endif
    for (const std::string &path : refused)
        EXPECT_EQ(read_back(path, 0), LOAD_FAILED_LINE "<none>") << path;
    std::filesystem::remove_all(dir);
}

#ifdef _WIN32
TEST(SourceFile, AFileSomeoneHoldsOpenCannotBeRead)
{
    std::string dir = temp_dir();
    std::string path = write_file(dir, "held.txt", "void main() {}\n");
    // Even a reader that shares reading blocks us: we ask for share mode 0.
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read_back(path, 0), LOAD_FAILED_LINE "<none>");
    CloseHandle(holder);

    // Once it is closed the same file reads, and the reader left no handle open.
    EXPECT_EQ(read_back(path, 15), std::string("void main() {}\n", 16));
    EXPECT_TRUE(std::filesystem::remove(path)) << "read_source_file left the file open";
    std::filesystem::remove_all(dir);
}
#endif
