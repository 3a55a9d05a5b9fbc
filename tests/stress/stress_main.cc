// The stress program: the library under sustained, hostile load, part by
// part. A short form runs in CI; the long form is for a person's machine.
//
//   keel_stress tcp [seconds] [connections]     (defaults: 60, 1000)
//   keel_stress log [threads] [lines each]      (defaults: 8, 200000)
//   keel_stress serial [runs]                   (default: 5)
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "stress.h"

int fail(const char *what) {
    fprintf(stderr, "stress: FAILED: %s\n", what);
    return 1;
}

int main(int argc, char **argv) {
    const char *part = argc > 1 ? argv[1] : "";
    double seconds = argc > 2 ? atof(argv[2]) : 60;
    if (strcmp(part, "tcp") == 0) return tcp_stress(seconds, argc > 3 ? atoi(argv[3]) : 1000);
    if (strcmp(part, "log") == 0)
        return log_stress(argc > 2 ? atoi(argv[2]) : 8, argc > 3 ? atoi(argv[3]) : 200000);
    if (strcmp(part, "serial") == 0) return serial_stress(argc > 2 ? atoi(argv[2]) : 5);
    fprintf(stderr, "usage: keel_stress tcp [seconds] [connections] | log [threads] [lines] | serial [runs]\n");
    return 2;
}
