// The stress program: the library under sustained, hostile load, part by
// part. A short form runs in CI; the long form is for a person's machine.
//
//   keel_stress tcp [seconds] [connections]     (defaults: 60, 1000)
//   keel_stress log [threads] [lines each]      (defaults: 8, 200000)
//   keel_stress serial [runs]                   (default: 5)
#include <dirent.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "stress.h"

int fail(const char *what) {
    fprintf(stderr, "stress: FAILED: %s\n", what);
    return 1;
}

int descriptor_count() {
    int n = 0;
    if (DIR *dir = opendir("/proc/self/fd")) {
        while (dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        closedir(dir);
        --n;  // the directory's own descriptor
    }
    return n;
}

bool wait_for(const std::function<bool()> &done, double seconds) {
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
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
