// Reading the shader files: bytes exactly as stored, and every failure refused cleanly.

#include "source_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

static std::string temp_dir()
{
    char pattern[] = "/tmp/shaderbench-test-XXXXXX";
    const char *dir = mkdtemp(pattern);
    EXPECT_NE(dir, nullptr);
    return dir ? dir : "";
}

static std::string write_file(const std::string &dir, const char *name, const std::string &bytes)
{
    std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return path;
}

// Reads path; returns the block's bytes up to and including the terminating NUL
// at the file's size (expected_size), and what was printed.
static std::string read_back(const std::string &path, size_t expected_size, std::string *printed)
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
    unlink((dir + "/source.txt").c_str());
    rmdir(dir.c_str());
}

TEST(SourceFile, RefusesWhatIsNotAReadableRegularFile)
{
    std::string dir = temp_dir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string unreadable = write_file(dir, "unreadable", "x");
    chmod(unreadable.c_str(), 0);
    bool root = geteuid() == 0;  // root reads it regardless of its mode

    // A FIFO with no writer must not block the reader either.
    for (const std::string &path : {dir + "/missing.txt", dir, fifo, unreadable}) {
        if (path == unreadable && root)
            continue;
        std::string printed;
        EXPECT_EQ(read_back(path, 0, &printed), "<none>") << path;
        EXPECT_EQ(printed, "Unable to load file\n") << path;
    }
    unlink(fifo.c_str());
    unlink(unreadable.c_str());
    rmdir(dir.c_str());
}

TEST(SourceFile, PathsAreTheTwoFilesUnderShaders)
{
    EXPECT_STREQ(VERTEX_SOURCE_PATH, "shaders/largeShaderExample_vs_source.txt");
    EXPECT_STREQ(FRAGMENT_SOURCE_PATH, "shaders/largeShaderExample_ps_source.txt");
}
