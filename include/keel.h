/** @file keel.h
 * Keel: platform services behind one flat C interface. Include this header for
 * all of it, or a single family header from keel/. */

/** @mainpage Keel API reference
 *
 * Keel is a platform-services library for Linux on x86-64: programs link
 * libkeel.so and call one flat C interface. Each family has its header; each
 * header opens with the rules of its family, and each function says what its
 * arguments and result are and which report lines it writes when it refuses
 * or fails.
 *
 * | header | family |
 * |---|---|
 * | keel/os_runtime.h | start-up, the main thread, posted functions, timers |
 * | keel/os_net.h | address texts, TCP servers and clients, UDP clients |
 * | keel/os_comm.h | serial ports |
 * | keel/os_proc.h | child processes, the per-executable mutex, text and system utilities |
 * | keel/log.h | log lines, thresholds and log files |
 * | keel/os_sync.h | mutexes, read-write locks, conditions, threads |
 * | keel/adt_dlist.h | doubly linked list |
 * | keel/ringbuf.h | ring buffer |
 * | keel/hash.h | hash table |
 *
 * Build against the installed library with
 * `cc app.c $(pkg-config --cflags --libs keel)`, or in CMake with
 * `find_package(keel REQUIRED)` and `target_link_libraries(app PRIVATE keel::keel)`.
 */
#ifndef KEEL_H
#define KEEL_H

#include "keel/adt_dlist.h"
#include "keel/hash.h"
#include "keel/log.h"
#include "keel/os_comm.h"
#include "keel/os_net.h"
#include "keel/os_proc.h"
#include "keel/os_runtime.h"
#include "keel/os_sync.h"
#include "keel/ringbuf.h"

#endif /* KEEL_H */
