// What every harness starts with: typed values from the input, and no reports (they would only slow the run).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>

#include "keel/log.h"

// A failed check names its line: the fuzzer itself reports only the signal.
[[noreturn]] inline void fuzz_fail(const char *file, int line) {
    fprintf(stderr, "harness: check failed at %s:%d\n", file, line);
    abort();
}
#define FUZZ_FAIL() fuzz_fail(__FILE__, __LINE__)

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    return 0;
}
