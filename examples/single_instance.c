/* Lets only one copy of a program run at a time, with the per-executable
 * mutex: the first copy holds it until it ends, later copies see it held.
 *
 *   keel_single_instance [seconds]      (default 5: how long the first copy stays)
 *
 * Start it twice, the second while the first still runs. The hold is the
 * user's (a lock file under $XDG_RUNTIME_DIR/keel, else /tmp/keel-<uid>; on
 * Windows a named mutex of the session), and the system releases it when the
 * holder ends, however it ends. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "keel.h"

int main(int argc, char **argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 5;
    /* The library writes what it found as an error-level line, also when it
     * is good news; this program says it in its own words instead. */
    log_start(0, LOG_LEVEL_FATAL);
    switch (os_get_proc_mutex()) {
        case 0:
            printf("single instance: pid %d is the only copy; running for %d s\n", (int)getpid(), seconds);
            fflush(stdout);
            os_sleep((uint32_t)seconds * 1000u);
            printf("single instance: pid %d done\n", (int)getpid());
            return 0;
        case 1:
            printf("single instance: another copy runs; pid %d leaves\n", (int)getpid());
            return 2;
        default:
            fprintf(stderr, "single instance: the check failed; run with care\n");
            return 1;
    }
}
