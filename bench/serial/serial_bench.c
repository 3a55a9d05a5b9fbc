/* Serial benchmark: one case per run, on pseudo-terminal pairs. A forked
 * device process writes into the masters; this process reads the slaves
 * through Keel or through libserialport and prints one result line. Built
 * twice from this file: serial_bench_keel (-DHAVE_KEEL, linked with libkeel
 * only) and serial_bench_sp (-DHAVE_SP, linked with libserialport only), so
 * neither library's program carries the other or the peer's shims below.
 *
 *   serial_bench_keel|serial_bench_sp BACKEND MODE [-n ports] [-d seconds]
 *       [-s samples] [-p pause_us] [-w writer_cpu] [-c chunk] [-o latency_file]
 *
 * BACKEND: keel (read callback on each port's I/O thread), sp-read (one
 * thread per port in sp_blocking_read_next), sp-wait (one thread in sp_wait
 * over every port, then sp_nonblocking_read of each). MODE: throughput (the
 * device writes as fast as the ports take it for -d seconds) or latency (-s
 * messages of 16 bytes per port, -p microseconds apart).
 *
 * Every byte is checked in order against one pseudo-random stream, so a lost,
 * doubled or reordered chunk shows as "bad" and a missing tail as "lost". */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <sched.h>
#include <semaphore.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#ifdef HAVE_KEEL
#include <keel.h>
#endif
#ifdef HAVE_SP
#include <dlfcn.h>
#include <libserialport.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#endif

enum { MAX_PORTS = 8, MSG = 16, MAX_SAMPLES = 100000, READ_BUF = 4096 };
static int chunk = 4096; /* what the device offers each master per write */
/* The stream repeats every PERIOD bytes. A prime period means no loss of a
 * power-of-two size (a buffer's worth) can line the stream up again with
 * itself, so every drop of fewer than PERIOD bytes shows at the next compare. */
enum { PERIOD = 65521 };
static unsigned char pattern[2 * PERIOD]; /* twice over, so a compare never wraps */

static uint64_t now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000000000u + (uint64_t)t.tv_nsec;
}

/* What the device process hands back: when each message was written and how
 * many bytes each port was sent. Shared memory, so no copying after the run. */
struct shared {
    uint64_t total[MAX_PORTS];
    uint64_t send_ns[MAX_PORTS][MAX_SAMPLES];
};

struct port {
    int master, slave;
    char path[64];
    /* Written by the one thread that reads this port; the main thread reads
     * them to see whether everything arrived. */
    _Atomic uint64_t received;
    _Atomic uint64_t target; /* UINT64_MAX until the device has said how much it sent */
    _Atomic uint64_t last_ns;
    _Atomic int done;
    uint64_t bad; /* reads whose bytes were not the next ones of the stream */
    uint64_t extra;
    uint32_t next_sample;
    uint64_t *recv_ns;
#ifdef HAVE_KEEL
    os_comm_client_t *keel;
#endif
#ifdef HAVE_SP
    struct sp_port *sp;
#endif
    pthread_t thread;
};

static struct port ports[MAX_PORTS];
static int nports = 1, samples = 2000;
static int latency_mode;
static _Atomic int stopping;
static sem_t all_done; /* posted once per port that has its whole target */

static void mark_done(struct port *p) {
    if (atomic_load(&p->received) >= atomic_load(&p->target) && !atomic_exchange(&p->done, 1))
        sem_post(&all_done);
}

/* Called by every backend with each read's bytes, on the thread that read
 * them, so that all three pay the same for the check and the clock. */
static void consume(struct port *p, const unsigned char *buf, size_t n) {
    uint64_t t = now_ns();
    uint64_t got = atomic_load_explicit(&p->received, memory_order_relaxed);
    if (atomic_load_explicit(&p->done, memory_order_relaxed)) {
        /* Only the wake-up byte written after the end may come now. */
        if (!atomic_load(&stopping)) p->extra += n;
        return;
    }
    if (memcmp(buf, pattern + got % PERIOD, n) != 0) p->bad++;
    got += n;
    if (latency_mode)
        while (p->next_sample < (uint32_t)samples && got >= (uint64_t)(p->next_sample + 1) * MSG)
            p->recv_ns[p->next_sample++] = t;
    atomic_store_explicit(&p->last_ns, t, memory_order_relaxed);
    atomic_store(&p->received, got);
    mark_done(p);
}

/* ---- backends ----------------------------------------------------------- */

#ifdef HAVE_KEEL
/* The documented way to keep up: read until nothing is left, every time. */
static int keel_on_read(os_comm_client_t *client, void *arg) {
    unsigned char buf[READ_BUF];
    int n;
    while ((n = os_comm_client_read(client, buf, sizeof buf)) > 0) consume(arg, buf, (size_t)n);
    return 0;
}

static int keel_open(struct port *p) {
    p->keel = os_comm_client_create_dev(p->path, 115200, 8, 'N', 1);
    if (p->keel == NULL) return -1;
    os_comm_client_bind_read(p->keel, keel_on_read, p);
    return os_comm_client_open(p->keel) == 1 ? 0 : -1;
}

static void keel_close(struct port *p) { os_comm_client_destroy(p->keel); }
#endif

#ifdef HAVE_SP
/* libserialport 0.1.1 takes a port by name only when /sys/class/tty holds an
 * entry with a "device" link for it, which a pseudo-terminal lacks. This
 * process therefore gets a mount namespace of its own (root only) in which a
 * small tmpfs over /sys/class/tty holds such an entry for each slave; nothing
 * outside this process sees it, and the ports it reads are the same
 * /dev/pts/N that Keel opens. */
static int sp_make_ports_visible(void) {
    if (unshare(CLONE_NEWNS) != 0 || mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0 ||
        mount("none", "/sys/class/tty", "tmpfs", 0, "size=64k,mode=755") != 0)
        return -1;
    mkdir("/sys/class/tty/pts", 0755);
    mkdir("/sys/class/tty/device", 0755);
    for (int i = 0; i < nports; i++) {
        char dir[128], link[160];
        snprintf(dir, sizeof dir, "/sys/class/tty/%s", ports[i].path + strlen("/dev/"));
        snprintf(link, sizeof link, "%s/device", dir);
        if (mkdir(dir, 0755) != 0 || symlink("/sys/class/tty/device", link) != 0) return -1;
    }
    return 0;
}

/* sp_open and the line settings read and clear the modem lines, and fail on
 * a pseudo-terminal, which has none (ENOTTY). This program's ioctl stands in
 * for the C library's and answers those four requests as a port whose lines
 * are all low would; every other request, the reads and the waits among
 * them, goes to the system unchanged. */
int ioctl(int fd, unsigned long request, ...) {
    static int (*system_ioctl)(int, unsigned long, ...);
    if (system_ioctl == NULL) system_ioctl = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    int r = system_ioctl(fd, request, arg);
    if (r < 0 && errno == ENOTTY &&
        (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC)) {
        if (request == TIOCMGET) *(int *)arg = 0;
        errno = 0;
        return 0;
    }
    return r;
}

static int sp_open_port(struct port *p) {
    if (sp_get_port_by_name(p->path, &p->sp) != SP_OK) return -1;
    if (sp_open(p->sp, SP_MODE_READ_WRITE) != SP_OK) return -1;
    if (sp_set_baudrate(p->sp, 115200) != SP_OK || sp_set_bits(p->sp, 8) != SP_OK ||
        sp_set_parity(p->sp, SP_PARITY_NONE) != SP_OK || sp_set_stopbits(p->sp, 1) != SP_OK ||
        sp_set_flowcontrol(p->sp, SP_FLOWCONTROL_NONE) != SP_OK)
        return -1;
    return 0;
}

/* Waits forever for the next bytes, as a program with a thread per port
 * would; the thread ends when its port has everything, or at the wake-up
 * byte written after the end. */
static void *sp_read_thread(void *arg) {
    struct port *p = arg;
    unsigned char buf[READ_BUF];
    while (!atomic_load(&p->done) && !atomic_load(&stopping)) {
        int n = sp_blocking_read_next(p->sp, buf, sizeof buf, 0);
        if (n < 0) break;
        consume(p, buf, (size_t)n);
    }
    return NULL;
}

/* One thread for all ports: wait for any, then take what each one has. */
static void *sp_wait_thread(void *arg) {
    (void)arg;
    struct sp_event_set *set;
    if (sp_new_event_set(&set) != SP_OK) return NULL;
    for (int i = 0; i < nports; i++) sp_add_port_events(set, ports[i].sp, SP_EVENT_RX_READY);
    unsigned char buf[READ_BUF];
    for (;;) {
        int open = 0;
        for (int i = 0; i < nports; i++) open += !atomic_load(&ports[i].done);
        if (open == 0 || atomic_load(&stopping)) break;
        if (sp_wait(set, 0) != SP_OK) break;
        for (int i = 0; i < nports; i++) {
            int n;
            while ((n = sp_nonblocking_read(ports[i].sp, buf, sizeof buf)) > 0) consume(&ports[i], buf, (size_t)n);
        }
    }
    sp_free_event_set(set);
    return NULL;
}
#endif

/* ---- device side --------------------------------------------------------- */

/* The forked device process: writes the stream into every master, as fast as
 * they take it or as timed messages, then records what it sent and exits. */
static void device(struct shared *sh, int go_fd, int done_fd, double seconds, int pause_us, int cpu) {
    if (cpu >= 0) {
        cpu_set_t set;
        CPU_ZERO(&set);
        CPU_SET(cpu, &set);
        sched_setaffinity(0, sizeof set, &set); /* what taskset -c does */
    }
    char go;
    if (read(go_fd, &go, 1) != 1) _exit(1);
    uint64_t off[MAX_PORTS] = {0};
    if (latency_mode) {
        struct timespec pause = {pause_us / 1000000, (pause_us % 1000000) * 1000L};
        for (int s = 0; s < samples; s++) {
            for (int i = 0; i < nports; i++) {
                sh->send_ns[i][s] = now_ns();
                ssize_t w = write(ports[i].master, pattern + off[i] % PERIOD, MSG);
                if (w != MSG) _exit(2); /* 16 bytes always fit in an idle terminal */
                off[i] += MSG;
            }
            nanosleep(&pause, NULL);
        }
    } else {
        struct pollfd fds[MAX_PORTS];
        for (int i = 0; i < nports; i++) fds[i] = (struct pollfd){ports[i].master, POLLOUT, 0};
        uint64_t end = now_ns() + (uint64_t)(seconds * 1e9);
        while (now_ns() < end) {
            if (poll(fds, (nfds_t)nports, 100) < 0 && errno != EINTR) _exit(3);
            for (int i = 0; i < nports; i++) {
                if (!(fds[i].revents & POLLOUT)) continue;
                ssize_t w = write(ports[i].master, pattern + off[i] % PERIOD, (size_t)chunk);
                if (w > 0) off[i] += (uint64_t)w;
                else if (w < 0 && errno != EAGAIN) _exit(4);
            }
        }
    }
    for (int i = 0; i < nports; i++) sh->total[i] = off[i];
    char done = 1;
    if (write(done_fd, &done, 1) != 1) _exit(5);
    _exit(0);
}

/* ---- the case ------------------------------------------------------------ */

static int cmp_u64(const void *a, const void *b) {
    uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;
    return x < y ? -1 : x > y;
}

static void usage(void) {
    fprintf(stderr, "usage: serial_bench_keel keel | serial_bench_sp sp-read|sp-wait, then throughput|latency\n"
                    "       [-n ports] [-d seconds] [-s samples] [-p pause_us] [-w writer_cpu] [-c chunk]"
                    " [-o latency_file]\n");
    exit(2);
}

int main(int argc, char **argv) {
    if (argc < 3) usage();
    const char *backend = argv[1], *mode = argv[2];
    double seconds = 3;
    int pause_us = 1000, writer_cpu = -1;
    const char *lat_file = NULL;
    optind = 3;
    for (int c; (c = getopt(argc, argv, "n:d:s:p:w:o:c:")) != -1;) {
        switch (c) {
        case 'n': nports = atoi(optarg); break;
        case 'd': seconds = atof(optarg); break;
        case 's': samples = atoi(optarg); break;
        case 'p': pause_us = atoi(optarg); break;
        case 'w': writer_cpu = atoi(optarg); break;
        case 'o': lat_file = optarg; break;
        case 'c': chunk = atoi(optarg); break;
        default: usage();
        }
    }
    if (strcmp(mode, "latency") == 0) latency_mode = 1;
    else if (strcmp(mode, "throughput") != 0) usage();
    if (nports < 1 || nports > MAX_PORTS || chunk < 1 || chunk > PERIOD || samples < 1 || samples > MAX_SAMPLES) usage();
    int keel = strcmp(backend, "keel") == 0, sp_read = strcmp(backend, "sp-read") == 0,
        sp_wait = strcmp(backend, "sp-wait") == 0;
    if (!keel && !sp_read && !sp_wait) usage();
#ifndef HAVE_KEEL
    if (keel) { printf("backend=%s error=not-built\n", backend); return 1; }
#endif
#ifndef HAVE_SP
    if (!keel) { printf("backend=%s error=not-built\n", backend); return 1; }
#endif

    uint32_t x = 2463534242u; /* xorshift32: any stream without short repeats will do */
    for (int i = 0; i < PERIOD; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        pattern[i] = pattern[i + PERIOD] = (unsigned char)x;
    }
    signal(SIGPIPE, SIG_IGN);
    struct shared *sh = mmap(NULL, sizeof *sh, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (sh == MAP_FAILED) return 1;
    sem_init(&all_done, 0, 0);

    /* The same terminal for every backend: raw, 115200 baud (which a
     * pseudo-terminal does not enforce), set here before the library opens
     * it and sets its own. The slave stays open here too, so the pair never
     * hangs up under a backend that reopens it. */
    for (int i = 0; i < nports; i++) {
        struct port *p = &ports[i];
        struct termios tio;
        if (openpty(&p->master, &p->slave, p->path, NULL, NULL) != 0) { perror("openpty"); return 1; }
        tcgetattr(p->slave, &tio);
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        tcsetattr(p->slave, TCSANOW, &tio);
        atomic_init(&p->target, latency_mode ? (uint64_t)samples * MSG : UINT64_MAX);
        p->recv_ns = calloc((size_t)samples, sizeof *p->recv_ns);
    }

    int go[2], done[2];
    if (pipe(go) != 0 || pipe(done) != 0) return 1;
#ifdef HAVE_SP
    if (!keel && sp_make_ports_visible() != 0) {
        printf("backend=%s mode=%s ports=%d error=sysfs-entry-needs-root\n", backend, mode, nports);
        return 1;
    }
#endif
    pid_t child = fork();
    if (child == 0) {
        for (int i = 0; i < nports; i++) close(ports[i].slave);
        for (int i = 0; i < nports; i++) fcntl(ports[i].master, F_SETFL, O_NONBLOCK);
        device(sh, go[0], done[1], seconds, pause_us, writer_cpu);
    }

    const char *failed = NULL;
    for (int i = 0; i < nports && failed == NULL; i++) {
#ifdef HAVE_KEEL
        if (keel && keel_open(&ports[i]) != 0) failed = "open";
#endif
#ifdef HAVE_SP
        if (!keel && sp_open_port(&ports[i]) != 0) failed = "open";
        if (sp_read && failed == NULL) pthread_create(&ports[i].thread, NULL, sp_read_thread, &ports[i]);
#endif
    }
#ifdef HAVE_SP
    pthread_t waiter;
    if (sp_wait && failed == NULL) pthread_create(&waiter, NULL, sp_wait_thread, NULL);
#endif
    if (failed != NULL) {
        kill(child, SIGKILL);
        printf("backend=%s mode=%s ports=%d error=%s\n", backend, mode, nports, failed);
        return 1;
    }

    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    uint64_t t0 = now_ns();
    if (write(go[1], "g", 1) != 1) return 1;
    char d;
    if (read(done[0], &d, 1) != 1) failed = "device";
    /* Everything written is at most a terminal's buffers away: a port that
     * has not had it all after a few seconds has lost the rest. */
    for (int i = 0; i < nports; i++) {
        if (!latency_mode) atomic_store(&ports[i].target, sh->total[i]);
        mark_done(&ports[i]);
    }
    struct timespec limit;
    clock_gettime(CLOCK_REALTIME, &limit);
    limit.tv_sec += 5;
    int complete = 0;
    while (complete < nports && sem_timedwait(&all_done, &limit) == 0) complete++;
    getrusage(RUSAGE_SELF, &r1);
    waitpid(child, NULL, 0);

    uint64_t bytes = 0, lost = 0, bad = 0, extra = 0, end = t0;
    for (int i = 0; i < nports; i++) {
        struct port *p = &ports[i];
        uint64_t got = atomic_load(&p->received), want = atomic_load(&p->target);
        bytes += got;
        lost += got < want ? want - got : 0;
        bad += p->bad;
        extra += p->extra;
        if (atomic_load(&p->last_ns) > end) end = atomic_load(&p->last_ns);
    }
    double cpu_ms = ((r1.ru_utime.tv_sec - r0.ru_utime.tv_sec) + (r1.ru_stime.tv_sec - r0.ru_stime.tv_sec)) * 1e3 +
                    ((r1.ru_utime.tv_usec - r0.ru_utime.tv_usec) + (r1.ru_stime.tv_usec - r0.ru_stime.tv_usec)) / 1e3;
    /* Context switches of the whole process: a wake-up of a reading thread
     * is one, so they count the sleeps the read loop takes. */
    long switches = (r1.ru_nvcsw - r0.ru_nvcsw) + (r1.ru_nivcsw - r0.ru_nivcsw);
    double mib = bytes / 1048576.0, secs = (end - t0) / 1e9;
    printf("backend=%s mode=%s ports=%d pid=%d bytes=%llu lost=%llu bad=%llu extra=%llu cpu_ms=%.1f",
           backend, mode, nports, (int)getpid(), (unsigned long long)bytes, (unsigned long long)lost,
           (unsigned long long)bad, (unsigned long long)extra, cpu_ms);
    if (failed != NULL) printf(" error=%s", failed);
    if (latency_mode) {
        size_t n = 0;
        uint64_t *lat = malloc(sizeof *lat * (size_t)samples * nports);
        for (int i = 0; i < nports; i++)
            for (uint32_t s = 0; s < ports[i].next_sample; s++) lat[n++] = ports[i].recv_ns[s] - sh->send_ns[i][s];
        qsort(lat, n, sizeof *lat, cmp_u64);
        if (n > 0)
            printf(" samples=%zu p50_us=%.1f p99_us=%.1f max_us=%.1f cpu_us_per_msg=%.2f switches_per_msg=%.2f", n,
                   lat[n / 2] / 1e3, lat[n * 99 / 100] / 1e3, lat[n - 1] / 1e3, cpu_ms * 1e3 / n, (double)switches / n);
        /* Each port's own median, in the order the device writes them: with
         * one thread per port the later ports wait for the earlier ones' wake-ups. */
        if (nports > 1) {
            uint64_t *mine = malloc(sizeof *mine * (size_t)samples);
            printf(" p50_by_port_us=");
            for (int i = 0; i < nports; i++) {
                uint32_t m = ports[i].next_sample;
                for (uint32_t s = 0; s < m; s++) mine[s] = ports[i].recv_ns[s] - sh->send_ns[i][s];
                qsort(mine, m, sizeof *mine, cmp_u64);
                printf("%s%.1f", i ? "," : "", m ? mine[m / 2] / 1e3 : 0.0);
            }
            free(mine);
        }
        if (lat_file != NULL) {
            FILE *f = fopen(lat_file, "w");
            for (size_t i = 0; f != NULL && i < n; i++) fprintf(f, "%.2f\n", lat[i] / 1e3);
            if (f != NULL) fclose(f);
        }
    } else {
        printf(" secs=%.3f mib_per_s=%.1f cpu_ms_per_mib=%.3f switches_per_mib=%.0f", secs, secs > 0 ? mib / secs : 0,
               mib > 0 ? cpu_ms / mib : 0, mib > 0 ? switches / mib : 0);
    }
    printf("\n");
    fflush(stdout);
    if (complete < nports || failed != NULL) _exit(1); /* a reader may wait forever: no tear-down */

    /* Tear-down: one byte more on every port wakes a reader that still waits
     * in the library, which then sees the stop flag. */
    atomic_store(&stopping, 1);
    for (int i = 0; i < nports; i++)
        if (write(ports[i].master, "x", 1) != 1) _exit(1);
#ifdef HAVE_SP
    if (sp_read)
        for (int i = 0; i < nports; i++) pthread_join(ports[i].thread, NULL);
    if (sp_wait) pthread_join(waiter, NULL);
    if (!keel)
        for (int i = 0; i < nports; i++) sp_close(ports[i].sp), sp_free_port(ports[i].sp);
#endif
#ifdef HAVE_KEEL
    if (keel)
        for (int i = 0; i < nports; i++) keel_close(&ports[i]);
#endif
    for (int i = 0; i < nports; i++) close(ports[i].master), close(ports[i].slave), free(ports[i].recv_ns);
    return 0;
}
