// What every harness starts with: typed values from the input, and no reports (they would only slow the run).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>

#include "keel/log.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    return 0;
}
