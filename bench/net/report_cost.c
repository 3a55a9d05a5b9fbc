/* What one of the library's reports costs, next to the two system calls that
 * no report can do without: its line written to standard error, and the look
 * for the "dbg" marker in the current directory that turns file logging on.
 * The report is the one a connection's end gives, at the error level. Run it
 * with standard error sent to a file, as the echo servers' is, from the
 * folder they run in. Prints one line of name=value pairs, each the median of
 * the rounds, in nanoseconds per line:
 *
 *   report_cost [lines_per_round] [rounds] 2>FILE
 *
 *   report_ns   log_debug_ex at level 4, the whole report
 *   write_ns    write() of the same line to standard error
 *   access_ns   access("dbg", F_OK)
 *   rest_ns     report_ns - write_ns - access_ns: the report's own work */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "keel/log.h"

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

static int cmp_double(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

static double median(double *v, int n) {
    qsort(v, (size_t)n, sizeof *v, cmp_double);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char **argv) {
    long lines = argc > 1 ? atol(argv[1]) : 100000;
    int rounds = argc > 2 ? atoi(argv[2]) : 7;
    if (lines < 1 || rounds < 1 || rounds > 99) {
        fprintf(stderr, "usage: report_cost [lines_per_round >= 1] [rounds 1..99]\n");
        return 2;
    }
    /* The line a connection's end writes, as long as the library's. */
    const char *line = "[2026-12-09 12:00:00] [error]  file: dispatch.cc line: 92 err: none &&&&&&&&&& FD_CLOSE, "
                       "delete socket:17, from s_ls_client, s_wsa_errno:0\n";
    size_t len = strlen(line);
    double report[99], wrote[99], looked[99];
    for (int r = 0; r < rounds; r++) {
        double t = now_ns();
        for (long i = 0; i < lines; i++)
            log_debug_ex(LOG_LEVEL_ERROR, "dispatch.cc", 92,
                         "&&&&&&&&&& %s, delete socket:%ld, from s_ls_client, s_wsa_errno:%d", "FD_CLOSE", 17L, 0);
        report[r] = (now_ns() - t) / (double)lines;
        t = now_ns();
        for (long i = 0; i < lines; i++)
            if (write(STDERR_FILENO, line, len) < 0) return 1;
        wrote[r] = (now_ns() - t) / (double)lines;
        t = now_ns();
        for (long i = 0; i < lines; i++) (void)access("dbg", F_OK);
        looked[r] = (now_ns() - t) / (double)lines;
    }
    double rep = median(report, rounds), w = median(wrote, rounds), a = median(looked, rounds);
    printf("report_ns=%.0f write_ns=%.0f access_ns=%.0f rest_ns=%.0f\n", rep, w, a, rep - w - a);
    return 0;
}
