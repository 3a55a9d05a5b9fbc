// Internals of the process folder: the command-line splitter, the digest and
// name builder of the per-executable mutex, and the executable's path.
#pragma once

#include <cstddef>

/* command lines */

// Splits a command line into a NULL-terminated argument vector by the rule
// documented in keel/os_proc.h. The vector and its texts are one block,
// released with free. NULL when memory runs out.
char **split_command_line(const char *cmdline);

/* the per-executable mutex */

// The SHA-1 digest of text's bytes as 40 lower-case hexadecimal digits in a
// new heap text (*out_str, freed by the caller), its length in *out_len.
// Returns 1 on success, 0 on failure (reported).
int generate_hash_string(const char *text, char **out_str, int *out_len);

// The mutex name of an executable: "<sha1 of path:0>_<sha1 of path:1>_mutex",
// 87 characters, in a new heap text. NULL on failure (reported).
char *proc_mutex_name(const char *exe_path);

/* the running executable */

// Writes the executable's full path into buf. Returns its length, or -1 when
// it cannot be read or does not fit.
int read_exe_path(char *buf, size_t size);
