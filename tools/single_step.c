/* Runs a program one instruction at a time under ptrace and prints every
   user-space instruction address it executes (consecutive repeats once), in
   hex, one per line. The program's own output goes to /dev/null.
   tools/startup_objects.sh uses it to learn which code a run executes:
   every address, where a sampling profiler or the page faults (which the
   kernel's fault-around hides) give only some.

     single_step program [args...] > addresses */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <sys/ptrace.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: single_step program [args...]\n");
        return 2;
    }
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        ptrace(PTRACE_TRACEME, 0, 0, 0);
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0); /* stopped at the exec */
    unsigned long long last = 0;
    for (;;) {
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        struct user_regs_struct regs;
        if (ptrace(PTRACE_GETREGS, pid, 0, &regs) != 0) break;
        if (regs.rip < 0x800000000000ULL && regs.rip != last) printf("%llx\n", regs.rip);
        last = regs.rip;
        if (ptrace(PTRACE_SINGLESTEP, pid, 0, 0) != 0) break;
        if (waitpid(pid, &status, 0) < 0) break;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
