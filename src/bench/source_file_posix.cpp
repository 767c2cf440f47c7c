#include "source_file.h"
#include "output.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const char *const VERTEX_SOURCE_PATH = "shaders/largeShaderExample_vs_source.txt";
const char *const FRAGMENT_SOURCE_PATH = "shaders/largeShaderExample_ps_source.txt";

// Reads exactly size bytes, going on after a signal or a short read; false when
// the file yields fewer bytes than that.
static bool read_whole(int fd, char *text, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t count = read(fd, text + done, size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += (size_t) count;
    }
    return true;
}

char *read_source_file(const char *path)
{
    // O_NONBLOCK keeps a FIFO from holding the open until a writer appears;
    // anything that is not a regular file is refused below anyway.
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        print_line(LOAD_FAILED_LINE);
        return nullptr;
    }

    char *text = nullptr;
    struct stat info;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= (off_t) UINT32_MAX) {
        size_t size = (size_t) info.st_size;
        text = (char *) malloc(size + 1);
        if (text && read_whole(fd, text, size)) {
            text[size] = '\0';
        } else {
            free(text);
            text = nullptr;
        }
    }
    close(fd);

    if (!text)
        print_line(LOAD_FAILED_LINE);
    return text;
}
