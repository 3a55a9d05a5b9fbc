// Splits a single command line into an argument vector, the way a user who
// types one line expects: blanks separate, double quotes group, \" escapes.
#include <cstdlib>
#include <cstring>

#include "proc/proc_internal.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

char **split_command_line(const char *cmdline) {
    size_t len = strlen(cmdline);
    // Every argument but the last takes at least two characters (itself, or
    // "", and a blank), so len / 2 + 1 arguments is the most there can be.
    size_t max_args = len / 2 + 1;
    size_t pointers = (max_args + 1) * sizeof(char *);
    // Unquoting never lengthens an argument; each one adds its terminator.
    auto *block = static_cast<char *>(malloc(pointers + len + max_args));
    if (block == nullptr) return nullptr;
    auto **argv = reinterpret_cast<char **>(block);
    char *out = block + pointers;
    size_t argc = 0;
    const char *p = cmdline;
    while (true) {
        while (is_blank(*p)) ++p;
        if (*p == '\0') break;
        argv[argc++] = out;
        bool quoted = false;
        while (*p != '\0' && (quoted || !is_blank(*p))) {
            if (*p == '\\') {
                size_t slashes = strspn(p, "\\");
                p += slashes;
                if (*p != '"') {
                    memset(out, '\\', slashes);
                    out += slashes;
                    continue;
                }
                memset(out, '\\', slashes / 2);
                out += slashes / 2;
                if (slashes % 2 == 1) {
                    *out++ = '"';
                    ++p;
                }
                continue;  // an even run leaves the quote to toggle quoting
            }
            if (*p == '"') {
                quoted = !quoted;
                ++p;
                continue;
            }
            *out++ = *p++;
        }
        *out++ = '\0';
    }
    argv[argc] = nullptr;
    return argv;
}
