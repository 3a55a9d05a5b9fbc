/* Keel ring buffer: a bounded byte queue with one lock per buffer.
 *
 * Rules of this interface:
 *  - The length comes first and the buffer last: ringbuf_write(len, src, buf).
 *  - A writer that finds too little room either waits for readers
 *    (RINGBUF_WRITE_BLOCK) or drops the oldest bytes (RINGBUF_WRITE_OVERWRITE).
 *  - A successful write returns the buffer's size, not the count written. A
 *    length below 1 is returned unchanged and nothing happens.
 *  - Each call holds the buffer's lock for its own work only: a sequence such
 *    as getdata then remove is not atomic as a whole.
 */
#ifndef KEEL_RINGBUF_H
#define KEEL_RINGBUF_H

#include "keel/export.h"

KEEL_BEGIN_DECLS

#define RINGBUF_WRITE_BLOCK 0     /* wait until readers have made room */
#define RINGBUF_WRITE_OVERWRITE 1 /* drop the oldest bytes to make room */

typedef struct ringbuf ringbuf_t;

/* NULL for a size below 1 or an unknown write policy. */
KEEL_API ringbuf_t *ringbuf_create(int bufsize, int write_type);
KEEL_API void ringbuf_destroy(ringbuf_t *ptbuf);

/* Stored bytes, and free room (the size minus the stored bytes); 0 for NULL. */
KEEL_API int ringbuf_datasize(ringbuf_t *ptbuf);
KEEL_API int ringbuf_capacity(ringbuf_t *ptbuf);

/* Returns the buffer's size on success, len when len < 1, -1 for NULL. */
KEEL_API int ringbuf_write(int len, const void *src, ringbuf_t *ptbuf);
/* Returns the bytes read (and consumed), 0 when empty, -1 for NULL. */
KEEL_API int ringbuf_read(int len, void *dst, ringbuf_t *ptbuf);
/* As ringbuf_read, but consumes nothing. */
KEEL_API int ringbuf_copy(int len, void *dst, ringbuf_t *ptbuf);
/* The raw copy behind ringbuf_copy: no lock, at most the stored bytes. */
KEEL_API void ringbuf_copydata(int len, void *dst, ringbuf_t *ptbuf);

/* In-place reading: ringbuf_getdata points at the oldest stored byte; use at
 * most ringbuf_datasize bytes and no more than up to the end of the area (the
 * data wraps there), then consume them with ringbuf_remove. */
KEEL_API void *ringbuf_getdata(ringbuf_t *ptbuf);
/* Consumes len bytes, at most the stored ones. Returns 0, or -1 for NULL. */
KEEL_API int ringbuf_remove(int len, ringbuf_t *ptbuf);

/* The running read and write indices, each written only when its pointer is
 * not NULL. Takes no lock: a snapshot for diagnostics. */
KEEL_API void ringbuf_get_index(ringbuf_t *ptbuf, int *read_out, int *write_out);
/* Empties the buffer. Returns 0, or -1 for NULL. */
KEEL_API int ringbuf_clear(ringbuf_t *ptbuf);

KEEL_END_DECLS

#endif /* KEEL_RINGBUF_H */
