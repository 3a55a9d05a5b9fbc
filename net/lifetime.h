// The life of a socket record and of its socket, the same for every record.
//
// A record may be closed or destroyed by the callback that the library is
// calling for it. Every such call goes through call_out(): a destroy made
// meanwhile only marks the record, and the outermost call_out frees it once
// the callback has returned, so no frame of the library ever reads freed
// memory. A socket is made non-blocking at birth, and at its end is shut
// down at once and closed later on the main thread, after every message that
// was queued for it.
#pragma once

#include <cstdlib>

struct os_tcp_client;
struct os_tcp_server;

namespace keel::net {

// The records that own more than their memory free the rest with it
// (tcp_client.cc, tcp_server.cc); the others are plain memory.
void free_record(os_tcp_client *r);
void free_record(os_tcp_server *r);
template <class Record>
inline void free_record(Record *r) {
    free(r);
}

// Each record keeps `uint32_t busy` (library frames inside one of its
// callbacks) and `bool free_pending` (destroyed meanwhile).
template <class Record>
inline void hold(Record *r) {
    ++r->busy;
}

// Ends a hold; true when the record was freed (destroyed meanwhile).
template <class Record>
inline bool settle(Record *r) {
    if (--r->busy > 0 || !r->free_pending) return false;
    free_record(r);
    return true;
}

// Runs fn, which calls out of the library for the record; true when the
// record is still there afterwards.
template <class Record, class Fn>
inline bool call_out(Record *r, Fn &&fn) {
    hold(r);
    fn();
    return !settle(r);
}

// Frees the record now, or, when destroyed inside its own callback, once that
// callback has returned.
template <class Record>
inline void release(Record *r) {
    if (r->busy > 0)
        r->free_pending = true;
    else
        free_record(r);
}

// Every socket of the library is served from one event loop, so a socket
// that could block would stall every other one: failing here ends the
// process.
void set_nonblocking(int sock);

// Ends a socket: its events stop, it is shut down now, and the main thread
// closes it after every message queued before (at once when there is no
// runtime to leave it to).
void close_later(int fd);

}  // namespace keel::net
