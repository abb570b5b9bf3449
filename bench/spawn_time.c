// Runs a command the given number of times, each a fresh process with its
// output on /dev/null, and prints "median_wall_ms median_cpu_ms
// min_cpu_ms peak_rss_kb". CPU time (user + system) comes from wait4,
// which the kernel keeps to the nanosecond; time(1) prints it to 10 ms,
// too coarse for a process that takes a few.
//
//   spawn_time RUNS command [args...]
#define _GNU_SOURCE
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

extern char** environ;

static int compare(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double seconds(struct timeval t) { return (double)t.tv_sec + (double)t.tv_usec * 1e-6; }

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: spawn_time RUNS command [args...]\n");
        return 2;
    }
    const int runs = atoi(argv[1]);
    if (runs <= 0) return 2;
    double* wall = calloc((size_t)runs, sizeof *wall);
    double* cpu = calloc((size_t)runs, sizeof *cpu);
    long peak = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (int i = 0; i < runs; ++i) {
        struct timespec start, end;
        clock_gettime(CLOCK_MONOTONIC, &start);
        pid_t pid;
        if (posix_spawnp(&pid, argv[2], &actions, NULL, argv + 2, environ) != 0) {
            perror(argv[2]);
            return 1;
        }
        int status;
        struct rusage usage;
        if (wait4(pid, &status, 0, &usage) != pid) return 1;
        clock_gettime(CLOCK_MONOTONIC, &end);
        wall[i] = (double)(end.tv_sec - start.tv_sec) * 1e3 + (double)(end.tv_nsec - start.tv_nsec) * 1e-6;
        cpu[i] = (seconds(usage.ru_utime) + seconds(usage.ru_stime)) * 1e3;
        if (usage.ru_maxrss > peak) peak = usage.ru_maxrss;
    }
    qsort(wall, (size_t)runs, sizeof *wall, compare);
    qsort(cpu, (size_t)runs, sizeof *cpu, compare);
    printf("%.2f %.2f %.2f %ld\n", wall[runs / 2], cpu[runs / 2], cpu[0], peak);
    return 0;
}
