// The ring buffer: running read and write indices over one byte area, with a
// blocking and an overwriting write policy. Every call that touches the
// indices holds the buffer's lock for its own work.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "adt/adt_internal.h"
#include "keel/os_runtime.h"
#include "log/report.h"

namespace {

// Indices are brought down once they pass this, so that a running index plus
// any int length stays far below the 32-bit limit.
constexpr uint32_t kIndexCeiling = 0x1FFFFFFF;

uint32_t size_of(const ringbuf *b) { return static_cast<uint32_t>(b->bufsize); }

uint32_t stored(const ringbuf *b) {
    return b->write_index > b->read_index ? b->write_index - b->read_index : 0;
}

uint32_t free_room(const ringbuf *b) { return size_of(b) - stored(b); }

void reset(ringbuf *b) {
    b->read_index = 0;
    b->write_index = 0;
}

// Positions use the unsigned remainder: an index above INT32_MAX would give a
// negative signed one. Below it both agree.
uint32_t position(const ringbuf *b, uint32_t index) { return index % size_of(b); }

// Empty buffers restart at 0; otherwise large indices drop by whole turns of
// the area, which moves no byte and keeps the stored count.
void normalise(ringbuf *b) {
    if (b->write_index <= b->read_index) {
        reset(b);
    } else if (b->write_index > kIndexCeiling) {
        uint32_t turns = std::min(b->write_index / size_of(b), b->read_index / size_of(b));
        b->write_index -= turns * size_of(b);
        b->read_index -= turns * size_of(b);
    }
}

// n must not exceed the area's size.
void copy_in(ringbuf *b, const unsigned char *src, uint32_t n) {
    uint32_t pos = position(b, b->write_index);
    uint32_t first = std::min(n, size_of(b) - pos);
    memcpy(b->data + pos, src, first);
    memcpy(b->data, src + first, n - first);
    b->write_index += n;
}

// n must not exceed the stored count.
void copy_out(const ringbuf *b, unsigned char *dst, uint32_t n) {
    uint32_t pos = position(b, b->read_index);
    uint32_t first = std::min(n, size_of(b) - pos);
    memcpy(dst, b->data + pos, first);
    memcpy(dst + first, b->data, n - first);
}

void write_overwriting(ringbuf *b, const unsigned char *src, uint32_t n) {
    if (n >= size_of(b)) {
        // Only the last bufsize bytes can survive, so only they are copied.
        reset(b);
        src += n - size_of(b);
        n = size_of(b);
    }
    copy_in(b, src, n);
    b->read_index = b->write_index - size_of(b);
}

// Called with the lock held once; releases it between tries so that readers
// on other threads can make room, and copies whatever fits on each try.
void write_blocking(ringbuf *b, const unsigned char *src, uint32_t n) {
    while (n > 0) {
        uint32_t room = free_room(b);
        if (room == 0) {
            os_mutex_unlock(&b->lock);
            os_sleep(0);
            os_mutex_lock(&b->lock);
            // Others wrote and read meanwhile; keep the indices low as a fresh
            // write would, or a long wait could carry them to the limit.
            normalise(b);
            continue;
        }
        uint32_t part = std::min(room, n);
        copy_in(b, src, part);
        src += part;
        n -= part;
    }
}

}  // namespace

extern "C" {

KEEL_API ringbuf_t *ringbuf_create(int bufsize, int write_type) {
    if (bufsize <= 0) {
        KEEL_INFO("bufsize<=0");
        return nullptr;
    }
    if (write_type != RINGBUF_WRITE_BLOCK && write_type != RINGBUF_WRITE_OVERWRITE) {
        KEEL_INFO("unkonw ringbug write type");
        return nullptr;
    }
    auto *b = static_cast<ringbuf *>(calloc(1, sizeof(ringbuf) + static_cast<size_t>(bufsize)));
    if (b == nullptr) KEEL_FATAL("malloc fail, NULL == ptBuf");
    b->bufsize = bufsize;
    b->write_type = write_type;
    reset(b);
    if (!os_mutex_init(&b->lock, 1)) {
        KEEL_INFO("os_mutex_init failed");
        free(b);
        return nullptr;
    }
    return b;
}

KEEL_API void ringbuf_destroy(ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) return;
    os_mutex_destroy(&ptbuf->lock);
    free(ptbuf);
}

KEEL_API int ringbuf_datasize(ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) return 0;
    os_mutex_lock(&ptbuf->lock);
    int n = static_cast<int>(stored(ptbuf));
    os_mutex_unlock(&ptbuf->lock);
    return n;
}

KEEL_API int ringbuf_capacity(ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) return 0;
    os_mutex_lock(&ptbuf->lock);
    int n = static_cast<int>(free_room(ptbuf));
    os_mutex_unlock(&ptbuf->lock);
    return n;
}

KEEL_API int ringbuf_write(int len, const void *src, ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) {
        KEEL_INFO("ptbuf is null");
        return -1;
    }
    if (src == nullptr) {
        KEEL_INFO("src is null");
        return -1;
    }
    if (len < 1) return len;
    auto *bytes = static_cast<const unsigned char *>(src);
    auto n = static_cast<uint32_t>(len);
    os_mutex_lock(&ptbuf->lock);
    normalise(ptbuf);
    if (n <= free_room(ptbuf))
        copy_in(ptbuf, bytes, n);
    else if (ptbuf->write_type == RINGBUF_WRITE_OVERWRITE)
        write_overwriting(ptbuf, bytes, n);
    else
        write_blocking(ptbuf, bytes, n);
    os_mutex_unlock(&ptbuf->lock);
    return ptbuf->bufsize;
}

KEEL_API int ringbuf_read(int len, void *dst, ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) {
        KEEL_INFO("ptbuf is null");
        return -1;
    }
    if (dst == nullptr) {
        KEEL_INFO("dst is null");
        return -1;
    }
    if (len < 1) return len;
    os_mutex_lock(&ptbuf->lock);
    uint32_t n = std::min(static_cast<uint32_t>(len), stored(ptbuf));
    if (n == 0) {
        reset(ptbuf);
    } else {
        copy_out(ptbuf, static_cast<unsigned char *>(dst), n);
        ptbuf->read_index += n;
    }
    os_mutex_unlock(&ptbuf->lock);
    return static_cast<int>(n);
}

KEEL_API int ringbuf_copy(int len, void *dst, ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) return -1;
    if (dst == nullptr) {
        KEEL_INFO("dst is null");
        return -1;
    }
    if (len < 1) return len;
    os_mutex_lock(&ptbuf->lock);
    uint32_t n = std::min(static_cast<uint32_t>(len), stored(ptbuf));
    if (n == 0)
        reset(ptbuf);
    else
        copy_out(ptbuf, static_cast<unsigned char *>(dst), n);
    os_mutex_unlock(&ptbuf->lock);
    return static_cast<int>(n);
}

// Unlocked by design (ringbuf_copy is the locked form). A count beyond the
// stored bytes is cut to them: reading further would hand out stale bytes or
// run past the area.
KEEL_API void ringbuf_copydata(int len, void *dst, ringbuf_t *ptbuf) {
    if (ptbuf == nullptr || dst == nullptr || len < 1) return;
    uint32_t n = std::min(static_cast<uint32_t>(len), stored(ptbuf));
    copy_out(ptbuf, static_cast<unsigned char *>(dst), n);
}

KEEL_API void *ringbuf_getdata(ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) {
        KEEL_INFO("ptbuf is null");
        return nullptr;
    }
    os_mutex_lock(&ptbuf->lock);
    void *oldest = ptbuf->data + position(ptbuf, ptbuf->read_index);
    os_mutex_unlock(&ptbuf->lock);
    return oldest;
}

// Consuming more than is stored would put the read index past the write index
// and later reads would return bytes never written; the count is cut to the
// stored bytes instead, and a count below 1 consumes nothing.
KEEL_API int ringbuf_remove(int len, ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) {
        KEEL_INFO("ptbuf is null");
        return -1;
    }
    if (len < 1) return 0;
    os_mutex_lock(&ptbuf->lock);
    uint32_t have = stored(ptbuf);
    if (static_cast<uint32_t>(len) > have) {
        KEEL_INFO("ringbuf_remove len %d > datasize %u", len, have);
        len = static_cast<int>(have);
    }
    ptbuf->read_index += static_cast<uint32_t>(len);
    os_mutex_unlock(&ptbuf->lock);
    return 0;
}

KEEL_API void ringbuf_get_index(ringbuf_t *ptbuf, int *read_out, int *write_out) {
    if (ptbuf == nullptr) return;
    if (read_out != nullptr) *read_out = static_cast<int>(ptbuf->read_index);
    if (write_out != nullptr) *write_out = static_cast<int>(ptbuf->write_index);
}

KEEL_API int ringbuf_clear(ringbuf_t *ptbuf) {
    if (ptbuf == nullptr) {
        KEEL_INFO("ptbuf is null");
        return -1;
    }
    os_mutex_lock(&ptbuf->lock);
    reset(ptbuf);
    os_mutex_unlock(&ptbuf->lock);
    return 0;
}

}  // extern "C"
