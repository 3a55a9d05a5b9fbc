/** @file keel/ringbuf.h
 * Keel ring buffer: a bounded byte queue with one lock per buffer.
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

#define RINGBUF_WRITE_BLOCK 0     /**< wait until readers have made room */
#define RINGBUF_WRITE_OVERWRITE 1 /**< drop the oldest bytes to make room */

/** A ring buffer of bytes. */
typedef struct ringbuf ringbuf_t;

/** NULL for a size below 1 or an unknown write policy.
 * @param bufsize the size in bytes.
 * @param write_type RINGBUF_WRITE_BLOCK or RINGBUF_WRITE_OVERWRITE.
 * @return the empty buffer, to be freed with ringbuf_destroy, or NULL.
 * @reports "bufsize<=0" or "unkonw ringbug write type" (info);
 *          "malloc fail, NULL == ptBuf" (fatal) when no memory is left.
 */
KEEL_API ringbuf_t *ringbuf_create(int bufsize, int write_type);
/** Frees the buffer (NULL is ignored); no thread may be using it.
 * @param ptbuf the buffer.
 */
KEEL_API void ringbuf_destroy(ringbuf_t *ptbuf);

/** Stored bytes, and free room (the size minus the stored bytes); 0 for NULL.
 * @param ptbuf the buffer.
 * @return the stored bytes.
 */
KEEL_API int ringbuf_datasize(ringbuf_t *ptbuf);
/** The free room: the size minus the stored bytes; 0 for NULL.
 * @param ptbuf the buffer.
 * @return the free bytes.
 */
KEEL_API int ringbuf_capacity(ringbuf_t *ptbuf);

/** Returns the buffer's size on success, len when len < 1, -1 for NULL.
 *
 * A blocking buffer copies what fits and waits for readers to make room for
 * the rest, so a write larger than the buffer completes only while another
 * thread reads. An overwriting buffer drops the oldest bytes; of a write
 * larger than the buffer only the last bufsize bytes stay.
 * @param len the count of bytes.
 * @param src the bytes.
 * @param ptbuf the buffer.
 * @return the buffer's size, len for len < 1, or -1.
 * @reports "ptbuf is null" or "src is null" (info).
 */
KEEL_API int ringbuf_write(int len, const void *src, ringbuf_t *ptbuf);
/** Returns the bytes read (and consumed), 0 when empty, -1 for NULL.
 * @param len the most bytes to read; below 1 is returned unchanged.
 * @param dst where the bytes go.
 * @param ptbuf the buffer.
 * @return the count read, 0, len for len < 1, or -1.
 * @reports "ptbuf is null" or "dst is null" (info).
 */
KEEL_API int ringbuf_read(int len, void *dst, ringbuf_t *ptbuf);
/** As ringbuf_read, but consumes nothing.
 * @param len the most bytes to copy; below 1 is returned unchanged.
 * @param dst where the bytes go.
 * @param ptbuf the buffer.
 * @return the count copied, 0, len for len < 1, or -1 (NULL ptbuf is not
 *         reported).
 * @reports "dst is null" (info).
 */
KEEL_API int ringbuf_copy(int len, void *dst, ringbuf_t *ptbuf);
/** The raw copy behind ringbuf_copy: no lock, at most the stored bytes.
 * NULL arguments and len below 1 do nothing.
 * @param len the most bytes to copy.
 * @param dst where the bytes go.
 * @param ptbuf the buffer.
 */
KEEL_API void ringbuf_copydata(int len, void *dst, ringbuf_t *ptbuf);

/** In-place reading: ringbuf_getdata points at the oldest stored byte; use at
 * most ringbuf_datasize bytes and no more than up to the end of the area (the
 * data wraps there), then consume them with ringbuf_remove.
 * @param ptbuf the buffer.
 * @return the oldest byte's address, or NULL for NULL.
 * @reports "ptbuf is null" (info).
 */
KEEL_API void *ringbuf_getdata(ringbuf_t *ptbuf);
/** Consumes len bytes, at most the stored ones. Returns 0, or -1 for NULL.
 * @param len the count; below 1 consumes nothing.
 * @param ptbuf the buffer.
 * @return 0, or -1.
 * @reports "ptbuf is null" (info); "ringbuf_remove len N > datasize M"
 *          (info) when len exceeds the stored bytes, which are all consumed.
 */
KEEL_API int ringbuf_remove(int len, ringbuf_t *ptbuf);

/** The running read and write indices, each written only when its pointer is
 * not NULL. Takes no lock: a snapshot for diagnostics.
 * @param ptbuf the buffer; NULL writes nothing.
 * @param read_out the read index, or NULL.
 * @param write_out the write index, or NULL.
 */
KEEL_API void ringbuf_get_index(ringbuf_t *ptbuf, int *read_out, int *write_out);
/** Empties the buffer. Returns 0, or -1 for NULL.
 * @param ptbuf the buffer.
 * @return 0, or -1.
 * @reports "ptbuf is null" (info).
 */
KEEL_API int ringbuf_clear(ringbuf_t *ptbuf);

KEEL_END_DECLS

#endif /* KEEL_RINGBUF_H */
