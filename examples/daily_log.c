/* Sets up a daily log file: every line the program and the library write
 * also goes to <dir>/log_YYYY-MM-DD<name>.log, a new file each day, written
 * by a background thread.
 *
 *   keel_daily_log [dir]      (default /tmp/keel-daily-log, on Windows
 *                              %TEMP%\keel-daily-log; made if missing)
 *
 * Prints where the file went and what it holds. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "keel.h"

#ifdef _WIN32 /* folders have no mode bits there, and the temporary folder is the user's */
#include <direct.h>
#define mkdir(path, mode) _mkdir(path)
#define TEMP_DIR (getenv("TEMP") != NULL ? getenv("TEMP") : ".")
#else
#define TEMP_DIR "/tmp"
#endif

/* Lines of the file, or -1 while it does not exist. */
static int count_lines(const char *path) {
    FILE *f = fopen(path, "r");
    if (f == NULL) return -1;
    int lines = 0;
    for (int c; (c = fgetc(f)) != EOF;) lines += c == '\n';
    fclose(f);
    return lines;
}

int main(int argc, char **argv) {
    /* log_set_path appends the '/' a directory lacks to the caller's string,
     * so the buffer has room for one more char. */
    char dir[MAX_PATH_LEN + 2];
    if (argc > 1)
        snprintf(dir, sizeof dir, "%s", argv[1]);
    else
        snprintf(dir, sizeof dir, "%s/keel-daily-log", TEMP_DIR);
    if (mkdir(dir, 0755) != 0 && errno != EEXIST) { /* the library makes no directory */
        perror(dir);
        return 1;
    }
    log_set_path(dir);
    log_set_proc_name("_daily"); /* taken as it stands: the file is log_<date>_daily.log */
    log_start(1, LOG_LEVEL_INFO);

    log_msg("daily log: started");
    errno = ENOENT;
    err_msg("daily log: open %s", "settings.cfg");
    os_post_func(NULL, NULL); /* a refused call: the library's own report lands in the file too */
    log_msg("daily log: three lines above, this is the fourth");

    /* The name the library gives today's file. */
    char path[600];
    os_localtime_t now;
    os_get_localtime(&now);
    log_get_path(dir);
    snprintf(path, sizeof path, "%slog_%04u-%02u-%02u_daily.log", dir, now.year, now.month, now.day);

    /* The writer thread appends in the background; wait for it (2 s at most). */
    int lines = count_lines(path);
    for (int tries = 0; tries < 200 && lines < 4; ++tries) {
        os_sleep(10);
        lines = count_lines(path);
    }
    if (lines < 4) {
        fprintf(stderr, "daily log: %s holds %d of the 4 lines\n", path, lines);
        return 1;
    }
    printf("log file: %s (%d lines)\n", path, lines);
    FILE *f = fopen(path, "r");
    char line[4096];
    while (f != NULL && fgets(line, sizeof line, f) != NULL) printf("  | %s", line);
    if (f != NULL) fclose(f);
    return 0;
}
