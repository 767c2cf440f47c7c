// What only the Windows build has: share mode 0, and commit as Wine counts it.

#include "probes.h"
#include "report.h"
#include "source_file.h"
#include "source_file_test.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <filesystem>

TEST(SourceFile, AFileSomeoneHoldsOpenCannotBeRead)
{
    std::string dir = temp_dir();
    std::string path = write_file(dir, "held.txt", "void main() {}\n");
    std::string printed;

    // Even a reader that shares reading blocks us: we ask for share mode 0.
    HANDLE holder = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(read_back(path, 0, &printed), "<none>");
    EXPECT_EQ(printed, "Unable to load file\n");
    CloseHandle(holder);

    // Once it is closed the same file reads, and the reader left no handle open.
    EXPECT_EQ(read_back(path, 15, &printed), std::string("void main() {}\n", 16));
    EXPECT_TRUE(std::filesystem::remove(path)) << "read_source_file left the file open";
    std::filesystem::remove_all(dir);
}

TEST(Probes, CommitGrowsWithCommittedMemory)
{
    // Written to as well: Wine counts only the pages a process has touched,
    // where Windows counts every committed page.
    const size_t SIZE = 64 * 1048576;
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(committed_bytes(&before));
    void *block = VirtualAlloc(nullptr, SIZE, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(block, nullptr);
    memset(block, 1, SIZE);
    ASSERT_TRUE(committed_bytes(&after));
    VirtualFree(block, 0, MEM_RELEASE);
    EXPECT_EQ(commit_growth_mb(before, after), 64);
}
