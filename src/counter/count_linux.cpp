// Linux: the counter is perf_event_open's; the loop's bounds are two ptrace
// breakpoints, so that the counter is switched while the program is stopped
// exactly there (an asynchronous switch lands wherever the program has got to).

#include "counter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

static std::string paranoid_level()
{
    FILE *file = fopen("/proc/sys/kernel/perf_event_paranoid", "r");
    int level = 0;
    bool read = file && fscanf(file, "%d", &level) == 1;
    if (file)
        fclose(file);
    return read ? std::to_string(level) : "unreadable";
}

// A disabled counter of event on process pid (0: this one), inherited by the
// threads it starts later; -1 with why in *reason.
static int open_counter(counted_event event, int pid, std::string *reason)
{
    struct perf_event_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = event == EVENT_INSTRUCTIONS ? PERF_TYPE_HARDWARE : PERF_TYPE_SOFTWARE;
    attr.config = event == EVENT_INSTRUCTIONS ? (uint64_t) PERF_COUNT_HW_INSTRUCTIONS
                                              : (uint64_t) PERF_COUNT_SW_TASK_CLOCK;
    attr.disabled = 1;
    attr.inherit = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    attr.read_format = PERF_FORMAT_TOTAL_TIME_ENABLED | PERF_FORMAT_TOTAL_TIME_RUNNING;
    long fd = syscall(SYS_perf_event_open, &attr, pid, -1, -1, PERF_FLAG_FD_CLOEXEC);
    if (fd >= 0)
        return (int) fd;
    int error = errno;
    if (error == ENOENT || error == ENODEV || error == ENXIO || error == EOPNOTSUPP)
        *reason = "this kernel has no hardware counter of instructions (no PMU: usual in a virtual machine)";
    else if (error == EACCES || error == EPERM)
        *reason = "the kernel does not let this user count (perf_event_paranoid is " + paranoid_level() +
                  "; 2 or below, or CAP_PERFMON, lets a user count its own processes)";
    else if (error == ENOSYS)
        *reason = "this kernel has no perf_event_open";
    else
        *reason = std::string("perf_event_open failed: ") + strerror(error);
    return -1;
}

bool can_count(counted_event event, std::string *reason)
{
    int fd = open_counter(event, 0, reason);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

void ignore_stop_signals()
{
    for (int signum : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
        signal(signum, SIG_IGN);
}

void end_as(int status)
{
    if (WIFEXITED(status))
        exit(WEXITSTATUS(status));
    int signum = WTERMSIG(status);
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);  // the program's crash, not ours
    signal(signum, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signum);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signum);
    exit(128 + signum);
}

// The loop's address in the running process: its dynamic symbol, plus where
// the executable was loaded when it is position-independent.
static bool read_all(const char *path, std::vector<char> *bytes)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char block[65536];
    ssize_t got;
    while ((got = read(fd, block, sizeof block)) > 0)
        bytes->insert(bytes->end(), block, block + got);
    close(fd);
    return got == 0;
}

static uint64_t loop_symbol(const std::vector<char> &elf, bool *position_independent)
{
    const Elf64_Ehdr *header = (const Elf64_Ehdr *) elf.data();
    if (elf.size() < sizeof *header || memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64 || header->e_shentsize != sizeof(Elf64_Shdr) ||
        header->e_shoff > elf.size() || (elf.size() - header->e_shoff) / sizeof(Elf64_Shdr) < header->e_shnum)
        return 0;
    *position_independent = header->e_type == ET_DYN;
    const Elf64_Shdr *sections = (const Elf64_Shdr *) (elf.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; i++) {
        const Elf64_Shdr &table = sections[i];
        if ((table.sh_type != SHT_DYNSYM && table.sh_type != SHT_SYMTAB) || table.sh_link >= header->e_shnum)
            continue;
        const Elf64_Shdr &names = sections[table.sh_link];
        if (table.sh_offset > elf.size() || table.sh_size > elf.size() - table.sh_offset ||
            names.sh_offset > elf.size() || names.sh_size > elf.size() - names.sh_offset)
            continue;
        const Elf64_Sym *symbols = (const Elf64_Sym *) (elf.data() + table.sh_offset);
        for (size_t n = 0; n < table.sh_size / sizeof(Elf64_Sym); n++) {
            const Elf64_Sym &symbol = symbols[n];
            const char *name = elf.data() + names.sh_offset + symbol.st_name;
            size_t room = symbol.st_name < names.sh_size ? names.sh_size - symbol.st_name : 0;
            if (ELF64_ST_TYPE(symbol.st_info) == STT_FUNC && symbol.st_value != 0 &&
                strnlen(name, room) < room && strncmp(name, LOOP_SYMBOL_PREFIX, strlen(LOOP_SYMBOL_PREFIX)) == 0)
                return symbol.st_value;
        }
    }
    return 0;
}

// Where the executable's first page (file offset 0) is mapped in process pid.
static uint64_t load_base(int pid)
{
    char exe[4096], path[64];
    snprintf(path, sizeof path, "/proc/%d/exe", pid);
    ssize_t length = readlink(path, exe, sizeof exe - 1);
    if (length <= 0)
        return 0;
    exe[length] = 0;
    snprintf(path, sizeof path, "/proc/%d/maps", pid);
    FILE *maps = fopen(path, "r");
    if (!maps)
        return 0;
    char line[8192];
    uint64_t base = 0;
    while (!base && fgets(line, sizeof line, maps)) {
        unsigned long long start, offset;
        int name_at = 0;
        if (sscanf(line, "%llx-%*x %*s %llx %*s %*u %n", &start, &offset, &name_at) >= 2 && name_at > 0 &&
            offset == 0 && strncmp(line + name_at, exe, length) == 0 && line[name_at + length] == '\n')
            base = start;
    }
    fclose(maps);
    return base;
}

static uint64_t loop_address(int pid, std::string *reason)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/exe", pid);
    std::vector<char> elf;
    bool position_independent = false;
    uint64_t symbol = read_all(path, &elf) ? loop_symbol(elf, &position_independent) : 0;
    if (!symbol) {
        *reason = "the program exports no " LOOP_SYMBOL_PREFIX "... in its dynamic symbol table: not a shaderbench "
                  "built to be counted";
        return 0;
    }
    uint64_t base = position_independent ? load_base(pid) : 0;
    if (position_independent && !base)
        *reason = "where the program was loaded could not be read from /proc";
    return position_independent && !base ? 0 : base + symbol;
}

#if defined(__x86_64__)
static uint64_t program_counter(const user_regs_struct &regs) { return regs.rip; }
static void set_program_counter(user_regs_struct *regs, uint64_t at) { regs->rip = at; }
static uint64_t stack_pointer(const user_regs_struct &regs) { return regs.rsp; }
#endif

// Puts int3 at address (its first byte), returning the word it replaced.
static bool set_breakpoint(int pid, uint64_t address, long *saved)
{
    errno = 0;
    *saved = ptrace(PTRACE_PEEKTEXT, pid, (void *) address, nullptr);
    if (errno)
        return false;
    long patched = (*saved & ~0xffL) | 0xcc;
    return ptrace(PTRACE_POKETEXT, pid, (void *) address, (void *) patched) == 0;
}

// At a breakpoint just hit: the original word back, and the program counter on it again.
static bool undo_breakpoint(int pid, uint64_t address, long saved, user_regs_struct *regs)
{
    set_program_counter(regs, address);
    return ptrace(PTRACE_POKETEXT, pid, (void *) address, (void *) saved) == 0 &&
           ptrace(PTRACE_SETREGS, pid, nullptr, regs) == 0;
}

static bool read_count(int fd, loop_count *count)
{
    uint64_t values[3];
    if (read(fd, values, sizeof values) != (ssize_t) sizeof values)
        return false;
    *count = loop_count{values[0], values[1], values[2]};
    return true;
}

static pid_t start_traced(char **argv, std::string *reason)
{
    pid_t pid = fork();
    if (pid == 0) {
        for (int signum : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            signal(signum, SIG_DFL);  // ignored by us, not by the program
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execvp(argv[0], argv);
        fprintf(stderr, "shaderbench-count: cannot run %s: %s\n", argv[0], strerror(errno));
        _exit(127);
    }
    if (pid < 0)
        *reason = std::string("fork failed: ") + strerror(errno);
    return pid;
}

// Stopped at the exec, before any thread of the program exists.
static int traced_until_exec(pid_t pid, std::string *reason)
{
    int status;
    if (waitpid(pid, &status, 0) != pid)
        *reason = "lost the program";
    else if (WIFSTOPPED(status) && WSTOPSIG(status) == SIGTRAP)
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, (void *) (long) PTRACE_O_EXITKILL);
    return status;
}

int count_loop(counted_event event, char **argv, void (*counted)(const loop_count &), std::string *reason)
{
#if !defined(__x86_64__)
    (void) event; (void) argv; (void) counted;
    *reason = "the loop's breakpoints are placed on x86-64 only";
    return -1;
#else
    pid_t pid = start_traced(argv, reason);
    if (pid < 0)
        return -1;
    int status = traced_until_exec(pid, reason);
    if (!WIFSTOPPED(status))
        return reason->empty() ? status : -1;
    uint64_t entry = loop_address(pid, reason), leave = 0;
    int fd = entry ? open_counter(event, pid, reason) : -1;
    long saved = 0;
    if (fd < 0 || !set_breakpoint(pid, entry, &saved)) {
        if (reason->empty())
            *reason = std::string("cannot place a breakpoint: ") + strerror(errno);
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    int pass = 0;
    while (ptrace(PTRACE_CONT, pid, nullptr, (void *) (long) pass) == 0 && waitpid(pid, &status, 0) == pid &&
           WIFSTOPPED(status)) {
        pass = WSTOPSIG(status);
        user_regs_struct regs;
        if (pass != SIGTRAP || ptrace(PTRACE_GETREGS, pid, nullptr, &regs) != 0)
            continue;
        uint64_t at = program_counter(regs) - 1;
        if (at == entry && !leave) {
            errno = 0;
            leave = ptrace(PTRACE_PEEKDATA, pid, (void *) stack_pointer(regs), nullptr);
            if (errno || !undo_breakpoint(pid, entry, saved, &regs) || !set_breakpoint(pid, leave, &saved))
                break;
            ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
            pass = 0;
        } else if (leave && at == leave) {
            ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
            loop_count count;
            bool read = read_count(fd, &count);
            undo_breakpoint(pid, leave, saved, &regs);
            ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
            if (read)
                counted(count);
            break;
        }
    }
    close(fd);
    if (WIFSTOPPED(status))  // left traced by a failure above: let it run on, uncounted
        ptrace(PTRACE_DETACH, pid, nullptr, nullptr);
    while (!WIFEXITED(status) && !WIFSIGNALED(status) && waitpid(pid, &status, 0) == pid) {
    }
    return status;
#endif
}
