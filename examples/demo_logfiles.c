/* Log files: with file logging on, every line also reaches a dated file that
 * a writer thread appends to. */
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include "demo.h"
#include "keel.h"

void demo_logfiles(void) {
    demo_section("log files");
    char dir[64] = "/tmp/keel-demo-logs"; /* room for the '/' the call appends */
    mkdir(dir, 0755);
    log_set_path(dir);
    log_set_proc_name("_demo");
    log_start(1, LOG_LEVEL_INFO);
    log_msg("this line goes to standard error and to the log file");
    errno = ENOSPC;
    err_msg("so does an error line, with its errno text");
    log_start(0, LOG_LEVEL_INFO);
    os_sleep(200); /* the writer thread appends in the background */

    char path[300];
    log_get_path(path);
    DIR *d = opendir(path);
    if (d == NULL) return;
    for (struct dirent *e; (e = readdir(d)) != NULL;) {
        if (strncmp(e->d_name, "log_", 4) != 0) continue;
        char full[600];
        snprintf(full, sizeof full, "%s%s", path, e->d_name);
        struct stat st;
        if (stat(full, &st) == 0) printf("log file: %s (%lld bytes)\n", full, (long long)st.st_size);
    }
    closedir(d);
}
