// What only the POSIX build has: FIFOs, file modes, /proc/self/status, untouched commit.

#include "probes.h"
#include "source_file.h"
#include "source_file_test.h"

#include "report.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include <sys/stat.h>
#include <unistd.h>

TEST(SourceFile, RefusesFifosAndUnreadableFiles)
{
    std::string dir = temp_dir();
    std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string unreadable = write_file(dir, "unreadable", "x");
    chmod(unreadable.c_str(), 0);
    bool root = geteuid() == 0;  // root reads it regardless of its mode

    // A FIFO with no writer must not block the reader either.
    for (const std::string &path : {fifo, unreadable}) {
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

TEST(Probes, ParsesTheKernelsStatusText)
{
    const char *status = "Name:\tshaderbench\nVmPeak:\t  999 kB\nVmData:\t  2048 kB\n"
                         "VmStk:\t     132 kB\nVmExe:\t 8 kB\n";
    uint64_t bytes = 0;
    ASSERT_TRUE(parse_committed_bytes(status, &bytes));
    EXPECT_EQ(bytes, (2048u + 132u) * 1024u);

    bytes = 77;
    EXPECT_FALSE(parse_committed_bytes("Name:\tx\nVmData:\t 1 kB\n", &bytes)) << "no VmStk line";
    EXPECT_FALSE(parse_committed_bytes("VmData:\tlots\nVmStk:\t1 kB\n", &bytes)) << "no number";
    EXPECT_FALSE(parse_committed_bytes("XVmData:\t1 kB\nVmStk:\t1 kB\n", &bytes)) << "not at a line start";
    EXPECT_EQ(bytes, 77u) << "a failed parse leaves the result alone";
}

TEST(Probes, CommitCountsMemoryThatWasNeverTouched)
{
    const uint64_t MIB = 1048576;
    // Untouched memory is what separates commit from the resident set: it must show
    // in full. 64 MiB goes to its own mapping, so the heap's slack cannot hide it.
    uint64_t before = 0, after = 0;
    ASSERT_TRUE(committed_bytes(&before));
    void *volatile block = malloc(64 * MIB);
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(committed_bytes(&after));
    free(block);
    EXPECT_EQ(commit_growth_mb(before, after), 64);
}
