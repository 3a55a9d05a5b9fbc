/* Keel: platform services behind one flat C interface. Include this header for
 * all of it, or a single family header from keel/. */
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
