// Internals of the process folder: the command-line splitter, the digest and
// name builder of the per-executable mutex, and what each platform (proc/unix,
// proc/win) provides under the shared calls, which check their arguments and
// report.
#pragma once

#include <cstddef>

#include "keel/os_proc.h"

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

namespace keel::proc {

/* the platform's part of the digest */

// The SHA-1 digest of len bytes of text into a new heap block of *size bytes
// (*digest, freed with free). False on failure, each failed step reported;
// running out of memory ends the process.
bool sha1(const char *text, size_t len, unsigned char **digest, int *size);

/* the platform's part of the per-executable mutex */

// Takes the system-wide hold named name for the rest of the process's life.
// 0: taken now; 1: it exists already (held by another process of the same
// executable, or by an earlier call of this one), nothing kept; -1: the check
// failed, the system's error number in *error and errno set to tell it.
int hold_named_mutex(const char *name, unsigned long *error);

/* the platform's part of child processes */

// Starts the program of a command line: argv is the line split by
// split_command_line (argv[0] names the program), cmdline the line as given.
// Fills the record's ids or handles. False when the child cannot start.
bool child_start(const char *cmdline, char **argv, os_proc_t *child);
// 1 while the child runs; 0 once it has ended, with ended and exit_code set
// (a second call answers from the record); -1 when its state cannot be read,
// the system's error number in *error.
int child_state(os_proc_t *child, int *error);
// Lets go of a child that nobody will ask about any more: it goes on, and
// its end is collected all the same.
void child_forget(os_proc_t *child);

/* the platform's part of text conversion */

enum class Conversion {
    kDone,     // all the input converted, or all before a sequence it ends inside
    kUnknown,  // one of the two character sets is not known here; nothing done
    kFull,     // the output ran out of room (errno E2BIG)
    kFailed,   // any other failure (errno tells)
};

// Converts len bytes of src from one character set to another into out, which
// has room for room bytes, and tells in *written how many it wrote. Every
// invalid or unconvertible sequence is dropped; *invalid tells whether one was
// met before the conversion stopped. With len 0 it only tells whether both
// sets are known.
Conversion convert_text(const char *from, const char *to, const char *src, size_t len, char *out, size_t room,
                        size_t *written, bool *invalid);

}  // namespace keel::proc
