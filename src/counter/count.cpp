// shaderbench-count probe EVENT
// shaderbench-count run EVENT OUTPUT PROGRAM [ARGUMENT...]
//
// probe: exits 0 when EVENT can be counted here, else prints why on one line
// and exits 2. run: runs PROGRAM, counting EVENT from the entry of its loop to
// its return, and writes "EVENT COUNT ENABLED_NS RUNNING_NS" to OUTPUT then;
// ends as PROGRAM ends (its status, or its signal). Nothing is printed on
// standard output, which is the program's.

#include "counter.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char *const EVENT_NAMES[] = {"instructions", "task-clock"};

static void refuse(const std::string &why, int status)
{
    fprintf(stderr, "shaderbench-count: %s\n", why.c_str());
    exit(status);
}

static counted_event event_named(const char *name)
{
    for (int event = EVENT_INSTRUCTIONS; event <= EVENT_TASK_CLOCK; event++)
        if (strcmp(name, EVENT_NAMES[event]) == 0)
            return (counted_event) event;
    refuse(std::string("no such event: ") + name + " (instructions or task-clock)", 2);
    return EVENT_INSTRUCTIONS;
}

static const char *output_path;
static counted_event output_event;

// Written beside, then renamed: a reader never sees half a count.
static void write_count(const loop_count &count)
{
    std::string partial = std::string(output_path) + ".partial";
    FILE *file = fopen(partial.c_str(), "w");
    bool written = file && fprintf(file, "%s %llu %llu %llu\n", EVENT_NAMES[output_event],
                                   (unsigned long long) count.value, (unsigned long long) count.time_enabled_ns,
                                   (unsigned long long) count.time_running_ns) > 0;
    written = file && fclose(file) == 0 && written;
    if (!written || rename(partial.c_str(), output_path) != 0)
        fprintf(stderr, "shaderbench-count: could not write %s\n", output_path);
}

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "probe") == 0) {
        std::string reason;
        if (can_count(event_named(argv[2]), &reason))
            return 0;
        printf("%s\n", reason.c_str());
        return 2;
    }
    if (argc < 5 || strcmp(argv[1], "run") != 0)
        refuse("usage: shaderbench-count probe EVENT | run EVENT OUTPUT PROGRAM [ARGUMENT...]", 2);
    output_event = event_named(argv[2]);
    output_path = argv[3];
    // The program's group gets the stop signals too, and we pass them on to it where
    // it is traced: we end when it ends, with its status.
    ignore_stop_signals();
    std::string reason;
    int status = count_loop(output_event, argv + 4, write_count, &reason);
    if (status == -1)
        refuse(reason, 127);
    end_as(status);
}
