// The stress program: the library under sustained, hostile load, part by
// part. A short form runs in CI (tests/CMakeLists.txt); the long form, with
// the defaults below, is for a person's machine.
#include "stress.h"

bool settle(const char *form, int fds, const std::function<void()> &destroy) {
    double cpu = cpu_ms();
    usleep(300000);
    double idle = cpu_ms() - cpu;
    auto t0 = Clock::now();
    destroy();
    double closing = since(t0);
    bool back = wait_until([fds] { return fd_count() == fds; });
    printf("%s: %.0f ms CPU in 300 ms idle; destroyed in %.1f ms; descriptors %d -> %d\n", form, idle, closing * 1e3,
           fds, fd_count());
    return check(idle <= 100, "the idle library keeps a thread busy") & check(closing <= 2, "destroy waited") &
           check(back, "descriptors were left over");
}

// The forms and the defaults of their arguments.
const struct {
    const char *name;
    double first, second;
    bool (*run)(double, double);
} kForms[] = {{"tcp", 60, 1000, tcp_stress},
              {"udp", 60, 0, udp_stress},
              {"log", 8, 200000, log_stress},
              {"serial", 5, 0, serial_stress}};

int main(int argc, char **argv) {
    for (const auto &form : kForms)
        if (argc > 1 && strcmp(argv[1], form.name) == 0) {
            if (!fault::arm(form.name)) return 2;
            // Every end of a connection, hang-up and failed call is reported otherwise.
            if (form.run != log_stress) log_start(0, LOG_LEVEL_FATAL);
            return form.run(argc > 2 ? atof(argv[2]) : form.first, argc > 3 ? atof(argv[3]) : form.second) ? 0 : 1;
        }
    fprintf(stderr,
            "usage: keel_stress tcp [seconds] [connections] | udp [seconds] | log [threads] [lines each] | "
            "serial [runs]\n");
    return 2;
}
