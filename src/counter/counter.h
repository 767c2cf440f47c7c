#pragma once

// shaderbench-count: the work of the benchmark's loop, counted by the kernel
// between the loop's entry and its return, for the comparison tool.

#include <cstdint>
#include <string>

// The name the loop is found by in the program's dynamic symbol table (the
// benchmark exports it, so that a stripped binary still has it).
#define LOOP_SYMBOL_PREFIX "_Z21run_compile_link_loop"

enum counted_event { EVENT_INSTRUCTIONS, EVENT_TASK_CLOCK };

struct loop_count {
    uint64_t value;
    uint64_t time_enabled_ns;
    uint64_t time_running_ns;
};

// Whether event can be counted here: true, or false with why in *reason (one
// line, no newline).
bool can_count(counted_event event, std::string *reason);

// Starts program (argv, NULL-terminated) under a tracer, counts event from
// the loop's entry to its return, stopping it at both, then lets it run on
// untraced. Calls counted with the count as soon as the loop has returned
// (the program goes on: its window stays open). Returns the program's wait status, or -1 with why in *reason
// when it could not be started or traced.
int count_loop(counted_event event, char **argv, void (*counted)(const loop_count &), std::string *reason);

// The stop signals (SIGTERM, SIGINT, SIGHUP, SIGQUIT) ignored, in this process only.
void ignore_stop_signals();

// Ends this process as the program ended (its wait status): its exit status, or its signal with no core
// of ours, so that whoever started us sees what the program did.
[[noreturn]] void end_as(int status);
