/* What both load generators share (loadgen.c, tls_loadgen.c): the clock,
 * the server's own CPU and memory read from /proc, the latencies of the
 * measured window and their percentiles, and the wait for a server that is
 * still starting. Included once, by the program's single source file. */
#ifndef KEEL_BENCH_LOADGEN_COMMON_H
#define KEEL_BENCH_LOADGEN_COMMON_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static int port, server_pid;
static uint32_t *lat; /* ns, one per echo of the measured window */
static size_t nlat, caplat;

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static long server_cpu_ticks(void) {
    char path[64], buf[1024];
    snprintf(path, sizeof path, "/proc/%d/stat", server_pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = '\0';
    /* The name in parentheses may hold spaces: count fields after the last ')'.
     * utime and stime are fields 14 and 15; the state after ')' is field 3. */
    char *p = strrchr(buf, ')');
    unsigned long ut, st;
    if (!p || sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) != 2)
        return -1;
    return (long)(ut + st);
}

static long server_rss_kb(void) {
    char path[64], line[256];
    long kb = -1;
    snprintf(path, sizeof path, "/proc/%d/status", server_pid);
    FILE *f = fopen(path, "r");
    if (!f) return -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmRSS: %ld", &kb) == 1) break;
    fclose(f);
    return kb;
}

static void record_latency(int64_t ns) {
    if (nlat == caplat) {
        caplat = caplat ? caplat * 2 : 1 << 16;
        lat = realloc(lat, caplat * sizeof *lat);
        if (!lat) {
            perror("realloc");
            exit(1);
        }
    }
    lat[nlat++] = ns > UINT32_MAX ? UINT32_MAX : (uint32_t)ns;
}

static int cmp_u32(const void *a, const void *b) {
    uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return (x > y) - (x < y);
}

static double percentile_us(double p) {
    if (nlat == 0) return 0;
    return lat[(size_t)(p * (double)(nlat - 1))] / 1e3;
}

/* Blocks until the server takes connections (it may still be starting). */
static int wait_for_server(void) {
    struct sockaddr_in sa = {.sin_family = AF_INET, .sin_port = htons(port)};
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 200; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int ok = connect(fd, (struct sockaddr *)&sa, sizeof sa) == 0;
        close(fd);
        if (ok) return 1;
        usleep(50000);
    }
    return 0;
}

#endif
