/* Log files: with file logging on, every line also reaches a dated file that
 * a writer thread appends to. */
#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "demo.h"
#include "keel.h"

#ifdef _WIN32 /* folders have no mode bits there, and the temporary folder is the user's */
#include <direct.h>
#define mkdir(path, mode) _mkdir(path)
#define TEMP_DIR (getenv("TEMP") != NULL ? getenv("TEMP") : ".")
#else
#define TEMP_DIR "/tmp"
#endif

void demo_logfiles(void) {
    demo_section("log files");
    char dir[MAX_PATH_LEN + 2]; /* room for the '/' the call appends */
    snprintf(dir, sizeof dir, "%s/keel-demo-logs", TEMP_DIR);
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
