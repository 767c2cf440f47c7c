// The benchmark's loop against the fake driver, with no window: a program the
// instruction counter can count in a second, even under valgrind.
//
// COUNTED_LOOP_SPIN_MS=N: N ms of this thread's CPU time spent before the loop
// and N more after it, work that a counting window wider than the loop counts.
// COUNTED_LOOP_SIGNAL=N: ends by signal N once the loop has returned and been
// counted (a crash at the program's end), leaving no core file.

#include "fake_gl.h"
#include "loop.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <sys/resource.h>

static long number(const char *name)
{
    const char *value = getenv(name);
    return value ? atol(value) : 0;
}

__attribute__((noinline)) static void spin_outside_the_loop(long ms)
{
    timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    do
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    while ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) < ms * 1000000L);
}

int main()
{
    install_fake_gl(false, 1);
    long spin_ms = number("COUNTED_LOOP_SPIN_MS");
    spin_outside_the_loop(spin_ms);
    bool linked = run_compile_link_loop("void main() {}\n", "void main() {}\n");
    spin_outside_the_loop(spin_ms);
    if (int signum = (int) number("COUNTED_LOOP_SIGNAL")) {
        struct rlimit no_core = {0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        raise(signum);
    }
    return linked ? 0 : 1;
}
