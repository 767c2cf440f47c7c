#include "probes.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

uint32_t tick_ms()
{
    // CLOCK_BOOTTIME counts from boot and keeps counting across a suspend,
    // like the Windows tick count; the truncation gives the same 2^32 wrap.
    struct timespec now;
    clock_gettime(CLOCK_BOOTTIME, &now);
    return (uint32_t) ((uint64_t) now.tv_sec * 1000u + (uint64_t) now.tv_nsec / 1000000u);
}

// Finds "name:   <number> kB" at the start of a line of /proc/<pid>/status.
static bool find_kib(const char *status, const char *name, uint64_t *kib)
{
    size_t name_length = strlen(name);
    for (const char *line = status; line; line = strchr(line, '\n')) {
        if (*line == '\n')
            line++;
        if (strncmp(line, name, name_length) != 0 || line[name_length] != ':')
            continue;
        char *end = nullptr;
        unsigned long long value = strtoull(line + name_length + 1, &end, 10);
        if (end == line + name_length + 1 || strncmp(end, " kB", 3) != 0)
            return false;
        *kib = value;
        return true;
    }
    return false;
}

bool parse_committed_bytes(const char *status, uint64_t *bytes)
{
    uint64_t data_kib = 0, stack_kib = 0;
    if (!find_kib(status, "VmData", &data_kib) || !find_kib(status, "VmStk", &stack_kib))
        return false;
    *bytes = (data_kib + stack_kib) * 1024u;
    return true;
}

bool committed_bytes(uint64_t *bytes)
{
    // The process's private writable mappings, which the kernel charges against
    // its commit limit whether or not they were touched. Read into the stack so
    // that taking the sample does not itself move the heap.
    char status[8192];
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    ssize_t length = read(fd, status, sizeof(status) - 1);
    close(fd);
    if (length <= 0)
        return false;
    status[length] = '\0';
    return parse_committed_bytes(status, bytes);
}
