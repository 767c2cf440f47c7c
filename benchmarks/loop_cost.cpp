// What the loop itself costs around the driver: copying and stamping both
// sources and printing the progress line, per iteration, and a whole loop
// against a driver that does nothing. Run it; ctest does not.
//
// The program's own lines go to /dev/null while measuring (one write call per
// line remains, as on a terminal or a pipe); the results go to the console.

#include "fake_gl.h"
#include "loop.h"
#include "output.h"
#include "probes.h"

#include <benchmark/benchmark.h>
#include <glad/gl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

static std::string read_sample(const char *name)
{
    std::ifstream file(std::string(SAMPLE_SHADERS_DIR) + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// One iteration's own work, for sources of state.range(0) bytes.
static void BM_iteration_overhead(benchmark::State &state)
{
    size_t length = (size_t) state.range(0);
    std::string vertex(length, 'v'), fragment(length, 'f');
    char *vertex_work = (char *) malloc(WORK_BUFFER_SIZE);
    char *fragment_work = (char *) malloc(WORK_BUFFER_SIZE);
    int i = 0;
    for (auto _ : state) {
        stamp_source(vertex_work, vertex.c_str(), length, tick_ms(), i);
        stamp_source(fragment_work, fragment.c_str(), length, tick_ms(), i);
        print_line("%04d/1000\n", i);
        i = (i + 1) % ITERATION_COUNT;
        benchmark::DoNotOptimize(vertex_work);
        benchmark::DoNotOptimize(fragment_work);
    }
    state.SetBytesProcessed(state.iterations() * (int64_t) length * 2);
    free(vertex_work);
    free(fragment_work);
}
BENCHMARK(BM_iteration_overhead)->Arg(1024)->Arg(64 * 1024)->Arg((int64_t) MAX_SOURCE_LENGTH);

// One whole loop in a child process, so that the two working buffers it keeps
// by design go with the child instead of piling up here. Returns the loop's
// own duration in seconds, timed in the child; *growth_mb gets the commit
// growth it reported.
static double loop_in_child(const std::string &vertex, const std::string &fragment, int *growth_mb)
{
    int printed[2], timing[2];
    if (pipe(printed) != 0 || pipe(timing) != 0)
        return -1;
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        dup2(printed[1], 1);
        auto start = std::chrono::steady_clock::now();
        run_compile_link_loop(vertex.c_str(), fragment.c_str());
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        _exit(write(timing[1], &seconds, sizeof(seconds)) == sizeof(seconds) ? 0 : 1);
    }
    close(printed[1]);
    close(timing[1]);
    FILE *lines = fdopen(printed[0], "r");
    char line[128];
    while (fgets(line, sizeof(line), lines))
        sscanf(line, COMMIT_LINE, growth_mb);
    fclose(lines);
    double seconds = -1;
    if (read(timing[0], &seconds, sizeof(seconds)) != sizeof(seconds))
        seconds = -1;
    close(timing[0]);
    waitpid(child, nullptr, 0);
    return seconds;
}

// All 1000 iterations on the sample shaders against a no-op driver: what the
// timed span holds besides the driver's own work.
static void BM_whole_loop_noop_gl(benchmark::State &state)
{
    std::string vertex = read_sample("largeShaderExample_vs_source.txt");
    std::string fragment = read_sample("largeShaderExample_ps_source.txt");
    install_fake_gl(false, GL_TRUE);
    int growth_mb = -9999;  // stays visible if the report line is not found
    for (auto _ : state) {
        double seconds = loop_in_child(vertex, fragment, &growth_mb);
        if (seconds < 0) {
            state.SkipWithError("the loop's child process failed");
            break;
        }
        state.SetIterationTime(seconds);
    }
    state.counters["commit_growth_MB"] = growth_mb;
    // Seconds per loop iteration, shown with an SI prefix (u for microseconds).
    state.counters["per_iteration"] = benchmark::Counter(
        (double) state.iterations() * ITERATION_COUNT, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_whole_loop_noop_gl)->UseManualTime()->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    // Results to the console; the benchmarked code's own lines to /dev/null.
    int console_fd = dup(1);
    std::ofstream console("/dev/fd/" + std::to_string(console_fd));
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
    benchmark::ConsoleReporter reporter(isatty(console_fd) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                           : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&console);
    reporter.SetErrorStream(&console);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
