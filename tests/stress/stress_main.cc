// The stress program: the library under sustained, hostile load, part by
// part. A short form runs in CI; the long form is for a person's machine.
//
//   keel_stress tcp [seconds] [connections]     (defaults: 60, 1000)
//   keel_stress udp [seconds]                   (default: 60)
//   keel_stress log [threads] [lines each]      (defaults: 8, 200000)
//   keel_stress serial [runs]                   (default: 5)
//
// Under libfiu's POSIX preload, KEEL_STRESS_FAULTS fails some of the
// library's system calls and allocations while a part runs (fault.h,
// scripts/fault_inject.sh).
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fault.h"
#include "stress.h"

int fail(const char *what) {
    fprintf(stderr, "stress: FAILED: %s\n", what);
    return 1;
}

double idle_cpu_ms(int ms) {
    auto cpu = [] {
        rusage r;
        getrusage(RUSAGE_SELF, &r);
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1e3 + (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e3;
    };
    double before = cpu();
    usleep(static_cast<useconds_t>(ms) * 1000);
    return cpu() - before;
}

int main(int argc, char **argv) {
    const char *part = argc > 1 ? argv[1] : "";
    double seconds = argc > 2 ? atof(argv[2]) : 60;
    if (!fault::arm(part)) return 2;
    if (strcmp(part, "tcp") == 0) return tcp_stress(seconds, argc > 3 ? atoi(argv[3]) : 1000);
    if (strcmp(part, "udp") == 0) return udp_stress(seconds);
    if (strcmp(part, "log") == 0)
        return log_stress(argc > 2 ? atoi(argv[2]) : 8, argc > 3 ? atoi(argv[3]) : 200000);
    if (strcmp(part, "serial") == 0) return serial_stress(argc > 2 ? atoi(argv[2]) : 5);
    fprintf(stderr, "usage: keel_stress tcp [seconds] [connections] | udp [seconds] | log [threads] [lines] | "
                    "serial [runs]\n");
    return 2;
}
