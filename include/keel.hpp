/** @file keel.hpp
 * Keel for C++20: records that close themselves, any callable as a callback,
 * errors as std::error_code, and coroutines for I/O. It sits on the C
 * interface of keel.h and adds no library of its own.
 *
 * Rules of this face:
 *  - Every record (runtime, tcp_server, tcp_client, udp_client, serial_port,
 *    timer, process, port_watch) is move-only and closes and frees what it
 *    holds in its destructor. A record may be destroyed, or moved, at any
 *    time and from any thread, also from inside one of its own callbacks:
 *    once the destructor has returned none of its callbacks runs, and a
 *    callback that destroyed its record returns normally. (One exception: a
 *    serial port whose callbacks run on its I/O thread, see serial_port.) A
 *    record that was moved from is empty: its calls fail (errc::refused) or
 *    do nothing.
 *  - A callback is any callable: a lambda with captures, a function object.
 *    It is stored once, when it is bound, in a block that the record owns;
 *    events allocate nothing. Binding again replaces it (also from inside
 *    it: the old one lives until it returns).
 *  - Callbacks run where the C interface runs them: on the runtime's main
 *    thread, one at a time, with the main lock held; a serial port's on its
 *    I/O thread unless serial_port::set_main_thread(true). The calls of a
 *    record may be made from any thread: those of the main-thread records
 *    take the main lock (keel::main_lock) for their time. The program's own
 *    objects are its own to guard: a list of connections that their
 *    callbacks change is changed (or destroyed) elsewhere under
 *    keel::main_lock, as examples/cpp/echo_server.cpp does at its end.
 *  - No exception crosses into the C side. A callback that throws is caught;
 *    the library's log gets the line "a C++ callback of a RECORD threw: WHAT"
 *    at the error level, and the record is closed: a connection ends (its
 *    disconnect callback runs), a UDP client stops, a serial port closes, a
 *    timer is cancelled, a watch ends; a server's accept callback that throws
 *    ends the connection it was handed, and the server goes on listening.
 *    What has nothing left to close (a disconnect callback, a process's exit
 *    callback, a posted function, a spawned task) is reported only.
 *  - Data goes in and out as std::span<const std::byte> (std::string_view
 *    overloads are there for text). An address is text and a port
 *    (keel::endpoint). Errors are std::error_code of keel::category(): Keel's
 *    socket error numbers (10061 refused, 11001 no such host, ...), which
 *    compare equal to the std::errc they stand for, and keel::errc for the
 *    calls Keel refused (the log says why).
 */
#ifndef KEEL_HPP
#define KEEL_HPP

#include <atomic>
#include <cerrno>
#include <chrono>
#include <coroutine>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include "keel.h"

namespace keel {

/* ---- errors ----------------------------------------------------------------------------------------------------- */

/** The error numbers of keel::category(). The socket and resolver numbers are those of the C interface's failure
 * callbacks; refused and failed stand for a C call that returned 0 (its report in the log says why). */
enum class errc {
    refused = 1,         /**< a call was refused: a bad argument, or the record is in the wrong state */
    failed = 2,          /**< a call failed: the system refused (the log has its reason) */
    would_block = 10035, /**< the socket takes nothing now */
    net_unreachable = 10051,
    end_of_stream = 3,          /**< the peer ended the connection */
    connection_aborted = 10053, /**< also: the TLS layer gave up (a certificate refused, say) */
    connection_reset = 10054,
    timed_out = 10060,
    connection_refused = 10061,
    host_not_found = 11001, /**< no such host */
    try_again = 11002,      /**< the name server failed */
    no_recovery = 11003,    /**< the name cannot be resolved */
    no_data = 11004,        /**< no address of the kind asked for */
};

namespace detail {
class category_impl final : public std::error_category {
public:
    const char *name() const noexcept override { return "keel"; }
    std::string message(int ev) const override {
        switch (static_cast<errc>(ev)) {
            case errc::refused:
                return "refused by Keel (see its log)";
            case errc::failed:
                return "failed (see Keel's log)";
            case errc::end_of_stream:
                return "end of stream";
            case errc::would_block:
                return "would block";
            case errc::net_unreachable:
                return "network unreachable";
            case errc::connection_aborted:
                return "connection aborted";
            case errc::connection_reset:
                return "connection reset by peer";
            case errc::timed_out:
                return "timed out";
            case errc::connection_refused:
                return "connection refused";
            case errc::host_not_found:
                return "no such host";
            case errc::try_again:
                return "the name server failed, try again";
            case errc::no_recovery:
                return "the name cannot be resolved";
            case errc::no_data:
                return "no address of that kind";
        }
        return "keel error " + std::to_string(ev);
    }
    std::error_condition default_error_condition(int ev) const noexcept override {
        switch (static_cast<errc>(ev)) {
            case errc::would_block:
                return std::errc::operation_would_block;
            case errc::net_unreachable:
                return std::errc::network_unreachable;
            case errc::connection_aborted:
                return std::errc::connection_aborted;
            case errc::connection_reset:
                return std::errc::connection_reset;
            case errc::timed_out:
                return std::errc::timed_out;
            case errc::connection_refused:
                return std::errc::connection_refused;
            default:
                return {ev, *this};
        }
    }
};
}  // namespace detail

/** The category of Keel's error numbers.
 * @return the one instance, named "keel" */
inline const std::error_category &category() noexcept {
    static const detail::category_impl instance;
    return instance;
}
/** An error_code of a Keel error number.
 * @param e the number
 * @return the error_code of e in keel::category() */
inline std::error_code make_error_code(errc e) noexcept { return {static_cast<int>(e), category()}; }

}  // namespace keel

/** @cond */
template <>
struct std::is_error_code_enum<keel::errc> : std::true_type {};
/** @endcond */

namespace keel {

/* ---- the plumbing every record shares ------------------------------------------------------------------------- */

namespace detail {
// Whether this thread is the runtime's main thread, learnt by keel::runtime.
inline thread_local bool t_main_thread = false;
}  // namespace detail

/** Holds the main lock (os_main_lock) for its scope: no main-thread callback runs meanwhile. Re-entrant. On the
 * main thread, whose callbacks all run with the lock held, it costs nothing (once a keel::runtime was made). */
class main_lock {
public:
    main_lock() : taken_(!detail::t_main_thread) {
        if (taken_) os_main_lock();
    }
    ~main_lock() {
        if (taken_) os_main_unlock();
    }
    main_lock(const main_lock &) = delete;
    main_lock &operator=(const main_lock &) = delete;

private:
    bool taken_;
};

/** An address as text ("127.0.0.1", "::1") and a port. */
struct endpoint {
    /** The address as text; empty for none. */
    std::string host;
    /** The port. */
    uint16_t port = 0;
    /** Compares host and port.
     * @return whether both are equal */
    bool operator==(const endpoint &) const = default;
};

namespace detail {

struct erased {
    virtual ~erased() = default;
};

// The block a record owns and hands to the C side as its `arg`. It outlives the record while one of its callbacks
// runs: the record's destructor only marks it, and the callback's dispatch frees it on the way out.
struct state : erased {
    bool dead = false;
    std::vector<std::unique_ptr<erased>> retired;  // callables replaced from inside themselves
};

// The callbacks running on this thread, innermost first.
struct frame {
    state *s;
    frame *prev;
};
inline thread_local frame *t_frames = nullptr;

inline bool dispatching(const state *s) {
    for (frame *f = t_frames; f != nullptr; f = f->prev)
        if (f->s == s) return true;
    return false;
}

// Frees a record's block now, or when the callback of it that runs on this thread returns.
inline void retire(state *s) {
    if (s == nullptr) return;
    if (dispatching(s))
        s->dead = true;
    else
        delete s;
}

// Marks a callback of s as running for its scope.
class dispatch {
public:
    explicit dispatch(state *s) : f_{s, t_frames} { t_frames = &f_; }
    ~dispatch() {
        t_frames = f_.prev;
        if (dispatching(f_.s)) return;
        if (f_.s->dead)
            delete f_.s;
        else
            f_.s->retired.clear();
    }
    dispatch(const dispatch &) = delete;
    dispatch &operator=(const dispatch &) = delete;

private:
    frame f_;
};

// A stored callable of signature R(A...): allocated once when bound.
template <class Sig>
class fn;
template <class R, class... A>
class fn<R(A...)> {
    struct base : erased {
        virtual R call(A... a) = 0;
    };
    template <class F>
    struct impl final : base {
        F f;
        explicit impl(F &&g) : f(std::move(g)) {}
        explicit impl(const F &g) : f(g) {}
        R call(A... a) override { return f(std::forward<A>(a)...); }
    };
    std::unique_ptr<base> p_;

public:
    template <class F>
    void set(state &owner, F &&f) {
        auto old = std::move(p_);
        p_ = std::make_unique<impl<std::decay_t<F>>>(std::forward<F>(f));
        if (old && dispatching(&owner)) owner.retired.push_back(std::move(old));
    }
    explicit operator bool() const { return p_ != nullptr; }
    R operator()(A... a) const { return p_->call(std::forward<A>(a)...); }
};

// Reports a callback that threw, at the error level with no system error of its own ("err: none").
inline void report_throw(const char *record) noexcept {
    const char *what = "an exception not derived from std::exception";
    try {
        throw;
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
    }
    errno = 0;
    log_debug_ex(LOG_LEVEL_ERROR, __FILE__, __LINE__, "a C++ callback of a %s threw: %s", record, what);
}

inline std::span<const std::byte> as_bytes(std::string_view s) {
    return {reinterpret_cast<const std::byte *>(s.data()), s.size()};
}
inline std::error_code failed(errc e = errc::failed) { return make_error_code(e); }
// A length or a count for the C side, whose calls take 32 bits: a larger one is cut to `most` (a send then sends
// the rest on its next turn; a time or a gap too large for its call is refused there, never wrapped round).
inline uint32_t c_len(uint64_t n, uint32_t most = UINT32_MAX) { return n > most ? most : static_cast<uint32_t>(n); }
// What one TCP send is given at most: its result is an int.
inline constexpr uint32_t kSendMost = 1u << 30;

// The main-thread records read into one buffer: their callbacks never run at the same time.
inline std::byte g_read_buf[65536];

// The runtime's main thread, learnt by keel::runtime: coroutines resume there.
inline std::atomic<uint32_t> g_main_thread{0};
inline bool on_main_thread() { return t_main_thread; }

// A resumption handed to the main thread, which the awaiter cancels when its coroutine is destroyed first.
struct waiter;
struct posted_resume {
    std::coroutine_handle<> h;
    waiter *w;
    bool cancelled = false;
};

// A coroutine suspended on a record: the record's callback, or its destruction, calls done() once.
struct waiter {
    std::coroutine_handle<> h;
    std::error_code ec;
    size_t n = 0;
    posted_resume *token = nullptr;
    bool finished = false;

    // Resumes the coroutine: at once on the main thread, else through a posted function.
    void done(std::error_code e, size_t bytes = 0) {
        ec = e;
        n = bytes;
        finished = true;
        if (!h) return;
        if (on_main_thread()) return std::exchange(h, nullptr).resume();
        token = new posted_resume{std::exchange(h, nullptr), this};
        os_post_func(
            [](void *arg) {
                std::unique_ptr<posted_resume> t(static_cast<posted_resume *>(arg));
                if (t->cancelled) return;
                t->w->token = nullptr;  // the awaiter may outlive this call
                t->h.resume();
            },
            token);
    }
    // The coroutine is destroyed: a resumption on its way must not reach it.
    void forget() {
        if (token != nullptr) token->cancelled = true;
    }
};
inline void finish(waiter *&slot, std::error_code ec, size_t n = 0) {
    if (waiter *w = std::exchange(slot, nullptr)) w->done(ec, n);
}

}  // namespace detail

/* ---- the runtime ---------------------------------------------------------------------------------------------- */

/** The runtime: its main thread runs every callback. Make one before the other records; it starts the runtime
 * (os_startup), which then runs until the process ends (its destructor leaves it running). TCP servers accept each
 * connection the moment it arrives (OS_ACCEPT_AT_ONCE) unless another mode is given. */
class runtime {
public:
    /** Starts the runtime; ok() tells whether it runs.
     * @param accept_mode OS_ACCEPT_AT_ONCE or OS_ACCEPT_ON_TICK. */
    explicit runtime(int accept_mode = OS_ACCEPT_AT_ONCE) {
        os_set_accept_mode(accept_mode);
        ok_ = os_startup(0, 0) == 1;
        // The coroutines resume on the main thread: learn which it is.
        if (!ok_ || detail::g_main_thread.load() != 0) return;
        os_post_func(
            [](void *) {
                detail::t_main_thread = true;
                detail::g_main_thread.store(os_thread_self());
            },
            nullptr);
        for (int i = 0; i < 10000 && detail::g_main_thread.load() == 0; ++i) os_sleep(1);
    }
    /** Takes o's state; o's ok() is then false. The runtime itself runs on.
     * @param o the runtime to move from */
    runtime(runtime &&o) noexcept : ok_(std::exchange(o.ok_, false)) {}
    /** Takes o's state; o's ok() is then false. The runtime itself runs on.
     * @param o the runtime to move from
     * @return this runtime */
    runtime &operator=(runtime &&o) noexcept {
        ok_ = std::exchange(o.ok_, false);
        return *this;
    }
    /** Whether the runtime runs.
     * @return true once started, false when os_startup failed or after a move */
    bool ok() const { return ok_; }
    /** Blocks until stop() and returns its code (os_run): not on the main thread.
     * @return the code given to stop(); -1 when refused (before the runtime runs, or on its main thread) */
    int run() { return os_run(); }
    /** Ends run(), from any thread or callback.
     * @param code what run() returns */
    static void stop(int code = 0) { os_stop(code); }
    /** Has SIGINT and SIGTERM end run() with code 0 (os_signal_bind): call it before starting threads.
     * @return true when both signals were bound */
    static bool stop_on_signals() {
        auto stop = [](int, void *) { os_stop(0); };
        return os_signal_bind(SIGINT, stop, nullptr) == 1 && os_signal_bind(SIGTERM, stop, nullptr) == 1;
    }
    /** Runs f() once on the main thread, after what was posted before; false when refused. One allocation a post.
     * A throwing f is reported and otherwise ignored.
     * @param f the callable, copied or moved into the post
     * @return true when posted, false when refused */
    template <class F>
    static bool post(F &&f) {
        using G = std::decay_t<F>;
        auto *g = new G(std::forward<F>(f));
        auto run = [](void *arg) {
            std::unique_ptr<G> h(static_cast<G *>(arg));
            try {
                (*h)();
            } catch (...) {
                detail::report_throw("posted function");
            }
        };
        if (os_post_func(run, g) == 1) return true;
        delete g;
        return false;
    }

private:
    bool ok_ = false;
};

/* ---- TCP ------------------------------------------------------------------------------------------------------- */

class tcp_client;
class tcp_server;

namespace detail {
struct tcp_state;
}

/** A view of a connection handed to its callbacks: the calls of tcp_client that neither own nor free it. Valid
 * while its record lives. */
class tcp_ref {
public:
    /** A view of the connection whose block is s; tcp_client::ref() makes them.
     * @param s the connection's block (nullptr: a view of nothing, whose calls fail or do nothing) */
    explicit tcp_ref(detail::tcp_state *s) : s_(s) {}
    /** Sends data, or queues what the socket does not take now (sent in order, from the write callback); false
     * when not connected.
     * @param data the bytes, copied when queued
     * @return true when sent or queued; false when disconnected, or the send failed */
    bool write(std::span<const std::byte> data) const;
    /** Sends text as write(std::span<const std::byte>) does.
     * @param text the bytes
     * @return true when sent or queued */
    bool write(std::string_view text) const { return write(detail::as_bytes(text)); }
    /** Ends the connection; the disconnect callback runs. */
    void close() const;
    /** Bytes queued and not yet taken by the socket.
     * @return their count; 0 for a view of nothing */
    size_t queued() const;
    /** The peer's address, empty when there is none.
     * @return the address and port; empty while disconnected */
    endpoint remote() const;

private:
    detail::tcp_state *s_;
};

namespace detail {

struct tcp_state : state {
    os_tcp_client_t *c = nullptr;
    bool accepted = false;                                  // the library frees the C record after its disconnect
    fn<void(tcp_ref, std::span<const std::byte>)> on_read;  // tcp_ref first: the record's address may change
    fn<void()> on_connect, on_disconnect, on_write;
    fn<void(std::error_code, std::string_view)> on_fail;
    std::vector<std::byte> out;  // what the socket did not take yet
    size_t out_off = 0;
    // The coroutines waiting on this connection (at most one of each kind).
    waiter *reader = nullptr, *writer = nullptr, *connector = nullptr;
    bool more = false;  // the last read filled its buffer: more may wait

    bool refusing = false;  // read notifications held off while nothing takes the data

    void fail_all(std::error_code ec) {
        finish(reader, ec);
        finish(writer, ec);
        finish(connector, ec);
    }
    void close_for_throw() {
        report_throw("tcp_client");
        if (c != nullptr) os_tcp_client_close(c);
    }
    bool flush() {  // sends the queue; false when the connection failed
        while (out_off < out.size()) {
            int n = os_tcp_client_send(c, out.data() + out_off, c_len(out.size() - out_off, kSendMost));
            if (n < 0) return false;
            if (n == 0) return true;
            out_off += static_cast<size_t>(n);
        }
        out.clear();
        out_off = 0;
        return true;
    }
    bool write(std::span<const std::byte> d) {
        if (c == nullptr || os_tcp_client_get_status(c) == TCP_CLIENT_STATUS_DISCONN) return false;
        if (out_off < out.size()) {
            out.insert(out.end(), d.begin(), d.end());
            return true;
        }
        while (!d.empty()) {
            int n = os_tcp_client_send(c, d.data(), c_len(d.size(), kSendMost));
            if (n < 0) return false;
            if (n == 0) {
                out.assign(d.begin(), d.end());
                out_off = 0;
                return true;
            }
            d = d.subspan(static_cast<size_t>(n));
        }
        return true;
    }
    static int read_cb(os_tcp_client_t *, void *arg);
    static void connect_cb(os_tcp_client_t *, void *arg);
    static void write_cb(os_tcp_client_t *, void *arg);
    static void disconnect_cb(os_tcp_client_t *, void *arg);
    static void fail_cb(os_tcp_client_t *, int error_no, const char *reason, void *arg);
    void bind_all() {
        os_tcp_client_bind_connect(c, connect_cb, this);
        os_tcp_client_bind_write(c, write_cb, this);
        os_tcp_client_bind_disconnect(c, disconnect_cb, this);
        os_tcp_client_bind_fail(c, fail_cb, this);
    }
};

}  // namespace detail

/** A TCP connection, IPv4 or IPv6, plain or TLS: made by the program to connect, or handed to a tcp_server's accept
 * callback. Either way the program owns it: its destructor ends the connection (without calling the disconnect
 * callback) and frees it. A connection that ended (its disconnect callback ran) may connect again if the program
 * made it; an accepted one is then over. */
class tcp_client {
public:
    /** A disconnected client with no address. */
    tcp_client() : s_(new detail::tcp_state) {
        s_->c = os_tcp_client_create();
        s_->bind_all();
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    tcp_client(tcp_client &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    tcp_client &operator=(tcp_client &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~tcp_client() { reset(); }

    /** Sets the peer: an address text or a host name (resolved at connect without blocking). Only while
     * disconnected.
     * @param host the address text or host name
     * @param port the port
     * @return empty, or errc::refused */
    std::error_code set_remote(std::string_view host, uint16_t port) {
        main_lock l;
        if (s_ == nullptr || s_->c == nullptr) return detail::failed(errc::refused);
        std::string h(host);
        int ok = os_get_ip_type(h.c_str()) >= 0 ? os_tcp_client_set_remote(s_->c, h.c_str(), port)
                                                : os_tcp_client_set_remote_host(s_->c, h.c_str(), port);
        return ok == 1 ? std::error_code{} : detail::failed(errc::refused);
    }
    /** The local address and port to bind before connecting ("" and 0: any).
     * @param ip the address text, "" for any
     * @param port the port, 0 for any
     * @return empty, or errc::refused */
    std::error_code set_local(std::string_view ip, uint16_t port = 0) {
        main_lock l;
        if (s_ == nullptr || s_->c == nullptr) return detail::failed(errc::refused);
        return os_tcp_client_set_local(s_->c, std::string(ip).c_str(), port) == 1 ? std::error_code{}
                                                                                  : detail::failed(errc::refused);
    }
    /** Speaks TLS from the next connect on (os_tcp_client_set_tls): server_name "" checks the host name given to
     * set_remote, ca_file "" trusts the system's store.
     * @param server_name the name to check the peer's certificate against
     * @param ca_file the PEM file of the authorities to trust
     * @return empty, or errc::refused */
    std::error_code set_tls(std::string_view server_name = {}, std::string_view ca_file = {}) {
        main_lock l;
        if (s_ == nullptr || s_->c == nullptr) return detail::failed(errc::refused);
        std::string n(server_name), f(ca_file);
        return os_tcp_client_set_tls(s_->c, n.empty() ? nullptr : n.c_str(), f.empty() ? nullptr : f.c_str()) == 1
                   ? std::error_code{}
                   : detail::failed(errc::refused);
    }
    /** Starts connecting to the address set; the connect or the fail callback follows.
     * @return empty once started; errc::refused for an empty record, errc::failed when the C call failed */
    std::error_code open() {
        main_lock l;
        if (s_ == nullptr || s_->c == nullptr) return detail::failed(errc::refused);
        return os_tcp_client_open(s_->c, -1) == 1 ? std::error_code{} : detail::failed();
    }
    /** Ends the connection; the disconnect callback runs (on this thread). */
    void close() { tcp_ref(s_).close(); }
    /** Sends, or queues what the socket does not take now; false when not connected.
     * @param data the bytes, copied when queued
     * @return true when sent or queued (also while connecting); false when disconnected, or the send failed */
    bool write(std::span<const std::byte> data) { return tcp_ref(s_).write(data); }
    /** Sends text as write(std::span<const std::byte>) does.
     * @param text the bytes
     * @return true when sent or queued */
    bool write(std::string_view text) { return write(detail::as_bytes(text)); }
    /** Bytes queued and not yet taken by the socket.
     * @return their count */
    size_t queued() const { return tcp_ref(s_).queued(); }
    /** Whether the connection is up.
     * @return true while connected */
    bool connected() const {
        main_lock l;
        return s_ != nullptr && s_->c != nullptr && os_tcp_client_get_status(s_->c) == TCP_CLIENT_STATUS_CONNECT;
    }
    /** The peer's address; empty before there is one.
     * @return the address and port; empty while disconnected */
    endpoint remote() const { return tcp_ref(s_).remote(); }
    /** A view for callbacks that must not own the connection.
     * @return the view, valid while this record lives */
    tcp_ref ref() const { return tcp_ref(s_); }

    /** f(data) or f(tcp_ref, data), with data a std::span<const std::byte>: what arrived. What f does not keep is
     * gone: the span is valid during the call only.
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_read(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        if constexpr (std::is_invocable_v<F &, tcp_ref, std::span<const std::byte>>)
            s_->on_read.set(*s_, std::forward<F>(f));
        else
            s_->on_read.set(*s_, [g = std::forward<F>(f)](tcp_ref, std::span<const std::byte> d) mutable { g(d); });
        if (s_->c != nullptr) os_tcp_client_bind_read(s_->c, detail::tcp_state::read_cb, s_);
    }
    /** f(): the connect completed (and its TLS handshake).
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_connect(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_connect.set(*s_, std::forward<F>(f));
    }
    /** f(): the connection ended, whichever way (not when the record is destroyed).
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_disconnect(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_disconnect.set(*s_, std::forward<F>(f));
    }
    /** f(): the queue has been sent, the socket takes more.
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_drained(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_write.set(*s_, std::forward<F>(f));
    }
    /** f(std::error_code, std::string_view reason): a connect ended without a connection (refused, no such host, a
     * TLS handshake that failed, ...). The client then waits to be closed and opened again.
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_fail(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_fail.set(*s_, std::forward<F>(f));
    }

    /** Coroutines: see the awaitables further down. */
    struct connect_awaiter;
    struct read_awaiter;
    struct write_awaiter;
    /** co_await connect(host, port): sets the peer and connects (see connect_awaiter).
     * @param host an address text or a host name
     * @param port the port
     * @return the awaitable, which gives the std::error_code */
    connect_awaiter connect(std::string_view host, uint16_t port);
    /** co_await read_some(buffer): reads what arrives into buffer (see read_awaiter).
     * @param buffer where the bytes go; it must live until the co_await returns
     * @return the awaitable, which gives an io_result */
    read_awaiter read_some(std::span<std::byte> buffer);
    /** co_await write_all(data): sends all of data (see write_awaiter).
     * @param data the bytes; copied when queued
     * @return the awaitable, which gives an io_result */
    write_awaiter write_all(std::span<const std::byte> data);
    /** co_await write_all(text): sends all of text as write_all(std::span<const std::byte>) does.
     * @param text the bytes
     * @return the awaitable, which gives an io_result */
    write_awaiter write_all(std::string_view text);

private:
    friend class tcp_server;
    explicit tcp_client(detail::tcp_state *s) : s_(s) {}
    void reset() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        if (s->c != nullptr) {
            // Destroyed by its owner: the callbacks are not told, the awaiters are.
            os_tcp_client_bind_read(s->c, nullptr, nullptr);
            os_tcp_client_bind_write(s->c, nullptr, nullptr);
            os_tcp_client_bind_connect(s->c, nullptr, nullptr);
            os_tcp_client_bind_disconnect(s->c, nullptr, nullptr);
            os_tcp_client_bind_fail(s->c, nullptr, nullptr);
            os_tcp_client_destroy(std::exchange(s->c, nullptr));
        }
        s->fail_all(std::make_error_code(std::errc::operation_canceled));
        detail::retire(s);
    }
    detail::tcp_state *s_;
};

inline void tcp_ref::close() const {
    main_lock l;
    if (s_ != nullptr && s_->c != nullptr) os_tcp_client_close(s_->c);
}
inline bool tcp_ref::write(std::span<const std::byte> data) const {
    main_lock l;
    return s_ != nullptr && s_->write(data);
}
inline size_t tcp_ref::queued() const {
    main_lock l;
    return s_ == nullptr ? 0 : s_->out.size() - s_->out_off;
}
inline endpoint tcp_ref::remote() const {
    main_lock l;
    char ip[MAX_IPV6_LEN] = "";
    uint16_t port = 0;
    if (s_ == nullptr || s_->c == nullptr || os_tcp_client_get_status(s_->c) == TCP_CLIENT_STATUS_DISCONN ||
        os_tcp_client_get_remote(s_->c, ip, &port) != 1)
        return {};
    return {ip, port};
}

/** A TCP server: one listening socket. Each accepted connection is handed to the accept callback as a tcp_client
 * that the program owns from then on: a connection the callback does not keep ends when the callback returns. */
class tcp_server {
public:
    tcp_server() : s_(new state) {
        s_->server = os_tcp_server_create();
        os_tcp_server_bind_accept(s_->server, accept_cb, s_);
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    tcp_server(tcp_server &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    tcp_server &operator=(tcp_server &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~tcp_server() { reset(); }

    /** Listens on ip ("0.0.0.0", "127.0.0.1", "::") and port.
     * @param ip the address text to listen on
     * @param port the port
     * @return empty once listening; errc::refused for a bad address, errc::failed when the socket failed */
    std::error_code listen(std::string_view ip, uint16_t port) {
        main_lock l;
        if (s_ == nullptr) return detail::failed(errc::refused);
        if (os_tcp_server_set_local(s_->server, std::string(ip).c_str(), port) != 1)
            return detail::failed(errc::refused);
        return os_tcp_server_open(s_->server) == 1 ? std::error_code{} : detail::failed();
    }
    /** Every connection accepted from now on speaks TLS (os_tcp_server_set_tls); client_ca_file "" asks clients
     * for no certificate.
     * @param cert_file the server's certificate chain (PEM)
     * @param key_file its private key (PEM)
     * @param client_ca_file the PEM file of the authorities whose client certificates are required
     * @return empty, or errc::refused */
    std::error_code set_tls(std::string_view cert_file, std::string_view key_file,
                            std::string_view client_ca_file = {}) {
        main_lock l;
        if (s_ == nullptr) return detail::failed(errc::refused);
        std::string c(cert_file), k(key_file), a(client_ca_file);
        return os_tcp_server_set_tls(s_->server, c.c_str(), k.c_str(), a.empty() ? nullptr : a.c_str()) == 1
                   ? std::error_code{}
                   : detail::failed(errc::refused);
    }
    /** Stops listening; the connections accepted live on. */
    void close() {
        main_lock l;
        if (s_ != nullptr) os_tcp_server_close(s_->server);
    }
    /** Whether it listens.
     * @return true while listening */
    bool listening() const {
        main_lock l;
        return s_ != nullptr && os_tcp_server_get_status(s_->server) == TCP_SERVER_STATUS_LISTEN;
    }
    /** f(keel::tcp_client): a new connection, which f keeps (moves somewhere) or lets end. Bind its callbacks in
     * f: none of its events comes before f returns.
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_accept(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_accept.set(*s_, std::forward<F>(f));
    }

private:
    struct state : detail::state {
        os_tcp_server_t *server = nullptr;
        detail::fn<void(tcp_client)> on_accept;
    };
    static void accept_cb(os_tcp_server_t *, os_tcp_client_t *c, void *arg) {
        auto *s = static_cast<state *>(arg);
        auto *cs = new detail::tcp_state;
        cs->c = c;
        cs->accepted = true;
        cs->bind_all();
        tcp_client client(cs);
        if (!s->on_accept) return;  // nobody keeps it: it ends here
        detail::dispatch d(s);
        try {
            s->on_accept(std::move(client));
        } catch (...) {
            detail::report_throw("tcp_server");  // the connection, which f held, has ended with it
        }
    }
    void reset() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        os_tcp_server_destroy(s->server);
        detail::retire(s);
    }
    state *s_;
};

namespace detail {

struct read_waiter : waiter {
    std::span<std::byte> buf;
};

inline int tcp_state::read_cb(os_tcp_client_t *c, void *arg) {
    auto *s = static_cast<tcp_state *>(arg);
    dispatch d(s);
    if (!s->on_read) {  // a coroutine reads, or will
        if (s->reader == nullptr) {
            s->refusing = os_tcp_client_set_refuse_read(c, 1) == 1;  // the data waits in the socket meanwhile
            return 0;
        }
        auto *r = static_cast<struct read_waiter *>(s->reader);
        int n = os_tcp_client_read(c, r->buf.data(), c_len(r->buf.size(), kSendMost));
        if (n == 0) return 0;
        s->more = n > 0 && static_cast<size_t>(n) == r->buf.size();
        finish(s->reader, n > 0 ? std::error_code{} : make_error_code(errc::end_of_stream), n > 0 ? n : 0);
        // What the coroutine did since: destroyed or closed the client, which must then not be told -1.
        if (n > 0 || s->dead || s->c == nullptr || os_tcp_client_get_status(c) != TCP_CLIENT_STATUS_CONNECT) return 0;
        return -1;
    }
    for (;;) {
        int n = os_tcp_client_read(c, g_read_buf, sizeof g_read_buf);
        if (n < 0) return -1;  // the peer closed: the library closes
        if (n == 0) return 0;
        try {
            s->on_read(tcp_ref(s), std::span<const std::byte>(g_read_buf, static_cast<size_t>(n)));
        } catch (...) {
            s->close_for_throw();
            return 0;
        }
        // Destroyed or closed by the callback: the C record must not be read (nor be told -1) any more.
        if (s->dead || s->c == nullptr || os_tcp_client_get_status(c) != TCP_CLIENT_STATUS_CONNECT) return 0;
        if (static_cast<size_t>(n) < sizeof g_read_buf) return 0;  // a short read: nothing more waits now
    }
}
inline void tcp_state::connect_cb(os_tcp_client_t *, void *arg) {
    auto *s = static_cast<tcp_state *>(arg);
    dispatch d(s);
    if (!s->flush()) return;
    if (s->out_off >= s->out.size()) finish(s->writer, {});  // what was written while connecting has gone
    finish(s->connector, {});
    if (s->dead || !s->on_connect) return;
    try {
        s->on_connect();
    } catch (...) {
        s->close_for_throw();
    }
}
inline void tcp_state::write_cb(os_tcp_client_t *, void *arg) {
    auto *s = static_cast<tcp_state *>(arg);
    dispatch d(s);
    if (!s->flush() || s->out_off < s->out.size()) return;
    finish(s->writer, {});
    if (s->dead || !s->on_write) return;
    try {
        s->on_write();
    } catch (...) {
        s->close_for_throw();
    }
}
inline void tcp_state::disconnect_cb(os_tcp_client_t *, void *arg) {
    auto *s = static_cast<tcp_state *>(arg);
    dispatch d(s);
    s->out.clear();
    s->out_off = 0;
    if (s->accepted) s->c = nullptr;  // freed by the library once this returns
    s->fail_all(make_error_code(errc::connection_aborted));
    if (s->dead || !s->on_disconnect) return;
    try {
        s->on_disconnect();
    } catch (...) {
        report_throw("tcp_client");
    }
}
inline void tcp_state::fail_cb(os_tcp_client_t *, int error_no, const char *reason, void *arg) {
    auto *s = static_cast<tcp_state *>(arg);
    dispatch d(s);
    std::error_code ec(error_no, category());
    if (waiter *w = std::exchange(s->connector, nullptr)) {
        // The client is closed for the next connect, then the awaiting coroutine is told.
        os_tcp_client_close(s->c);
        w->done(ec);
    }
    if (s->dead || !s->on_fail) return;
    try {
        s->on_fail(ec, reason != nullptr ? std::string_view(reason) : std::string_view());
    } catch (...) {
        s->close_for_throw();
    }
}

}  // namespace detail

/* ---- UDP ------------------------------------------------------------------------------------------------------- */

/** A UDP client: one IPv4 datagram socket. It opens once (bind), sends to any address and reads datagrams with
 * their senders. */
class udp_client {
public:
    /** A closed client; ok() false when no socket could be made (before the runtime runs, say). */
    udp_client() : s_(new state) { s_->c = os_udp_client_create(); }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    udp_client(udp_client &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    udp_client &operator=(udp_client &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~udp_client() { reset(); }
    /** Whether it holds a socket record.
     * @return false when none could be made, or after a move */
    bool ok() const { return s_ != nullptr && s_->c != nullptr; }

    /** Binds ip ("" any) and port (0 the system's choice) and starts the read callbacks.
     * @param ip the address text, "" for any
     * @param port the port, 0 for the system's choice
     * @return empty once open; errc::refused for a bad address, errc::failed when the socket failed */
    std::error_code open(std::string_view ip = {}, uint16_t port = 0) {
        main_lock l;
        if (!ok() || os_udp_client_set_local(s_->c, std::string(ip).c_str(), port) != 1)
            return detail::failed(errc::refused);
        return os_udp_client_open(s_->c) == 1 ? std::error_code{} : detail::failed();
    }
    /** Joins an IPv4 group (before open).
     * @param group the group's address text
     * @param interface_ip the interface's address text, "" for the system's choice
     * @return empty, or errc::failed (also for a bad argument) */
    std::error_code join(std::string_view group, std::string_view interface_ip = {}) {
        main_lock l;
        std::string g(group), i(interface_ip);
        return ok() && os_udp_client_set_multicast(s_->c, g.c_str(), i.empty() ? nullptr : i.c_str()) == 1
                   ? std::error_code{}
                   : detail::failed();
    }
    /** Stops the callbacks and closes the socket (for good). */
    void close() {
        main_lock l;
        if (ok()) os_udp_client_close(s_->c);
    }
    /** The bound address, with the port the system chose.
     * @return the address and port; empty when not bound */
    endpoint local() const {
        main_lock l;
        char ip[MAX_IPV6_LEN] = "";
        uint16_t port = 0;
        if (!ok() || os_udp_client_get_local(s_->c, ip, &port) != 1) return {};
        return {ip, port};
    }
    /** Sends one datagram to ip:port; false when it failed or the socket takes none now.
     * @param data the datagram
     * @param ip the address text of the receiver
     * @param port its port
     * @return true when sent */
    bool send_to(std::span<const std::byte> data, std::string_view ip, uint16_t port) {
        main_lock l;
        return ok() && data.size() <= UINT32_MAX &&
               os_udp_client_send(s_->c, data.data(), static_cast<uint32_t>(data.size()), std::string(ip).c_str(),
                                  port) > 0;
    }
    /** Sends text as one datagram, as send_to(std::span<const std::byte>, ...) does.
     * @param text the datagram
     * @param ip the address text of the receiver
     * @param port its port
     * @return true when sent */
    bool send_to(std::string_view text, std::string_view ip, uint16_t port) {
        return send_to(detail::as_bytes(text), ip, port);
    }
    /** f(std::span<const std::byte> datagram, const keel::endpoint &sender), once per datagram.
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_read(F &&f) {
        main_lock l;
        if (s_ == nullptr) return;  // moved from
        s_->on_read.set(*s_, std::forward<F>(f));
        if (ok()) os_udp_client_bind_read(s_->c, read_cb, s_);
    }

private:
    struct state : detail::state {
        os_udp_client_t *c = nullptr;
        detail::fn<void(std::span<const std::byte>, const endpoint &)> on_read;
        endpoint from;  // kept, so that a sender's text costs no allocation per datagram
    };
    static void read_cb(os_udp_client_t *c, void *arg) {
        auto *s = static_cast<state *>(arg);
        detail::dispatch d(s);
        char ip[MAX_IPV6_LEN];
        uint16_t port = 0;
        for (int n;
             !s->dead && (n = os_udp_client_read(c, detail::g_read_buf, sizeof detail::g_read_buf, ip, &port)) > 0;) {
            s->from.host.assign(ip);
            s->from.port = port;
            try {
                s->on_read(std::span<const std::byte>(detail::g_read_buf, static_cast<size_t>(n)), s->from);
            } catch (...) {
                detail::report_throw("udp_client");
                if (!s->dead) os_udp_client_close(c);
                return;
            }
            if (os_udp_client_get_status(c) != UDP_CLIENT_STATUS_OPEN) return;
        }
    }
    void reset() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        if (s->c != nullptr) os_udp_client_destroy(s->c);
        detail::retire(s);
    }
    state *s_;
};

/* ---- serial ports --------------------------------------------------------------------------------------------- */

/** The line settings of a serial port. */
struct serial_settings {
    int baud = 9600;   /**< bits per second */
    int data_bits = 8; /**< 5 to 8 */
    char parity = 'N'; /**< 'N', 'E', 'O', 'M' or 'S' */
    int stop_bits = 1; /**< 1 or 2 */
};

/** An event of a serial line. */
struct serial_event {
    /** What happened. */
    enum kind_t {
        hangup = OS_COMM_EVENT_HANGUP,   /**< the device hung up or went away: close, and open again once it is back */
        drained = OS_COMM_EVENT_DRAINED, /**< the send queue emptied */
        lines = OS_COMM_EVENT_LINES,     /**< a modem input line changed */
    };
    /** What happened. */
    kind_t kind;
    uint32_t line_state; /**< for lines: every modem line (OS_COMM_LINE_ bits) now; 0 otherwise */
};

namespace detail {
struct serial_state;
}

/** A serial port, by path ("/dev/ttyUSB0", "/dev/pts/3"), by name ("COM3") or by number (COMn, see os_comm.h). Its
 * callbacks run on the port's I/O thread, or on the main thread after set_main_thread(true). Bind them before
 * open. Closing or destroying a port of the I/O thread waits for a callback of it that runs: when its callbacks take
 * the main lock (keel::main_lock, or a call of a main-thread record such as tcp_ref::write), close or destroy it
 * without the main lock held (not in a main-thread callback, not under keel::main_lock), or the two wait for each
 * other for ever; or have its callbacks run on the main thread, where this does not arise. */
class serial_port {
public:
    /** A closed port of a device path, or of a name "COMn" (n 0 to 10: the numbered port, KEEL_COMn).
     * @param device the device's path or name
     * @param s the line settings */
    serial_port(std::string_view device, serial_settings s = {}) : s_(make_state()) {
        std::string d(device);
#ifndef _WIN32
        int n = -1;
        if (d.size() > 3 && d.size() <= 5 && d.compare(0, 3, "COM") == 0 &&
            d.find_first_not_of("0123456789", 3) == std::string::npos)
            n = std::stoi(d.substr(3));
        if (n >= 0 && n <= MAX_COM_PORT_NUM) {
            init(os_comm_client_create(n, s.baud, s.data_bits, s.parity, s.stop_bits));
            return;
        }
#endif
        init(os_comm_client_create_dev(d.c_str(), s.baud, s.data_bits, s.parity, s.stop_bits));
    }
    /** A closed port COMn.
     * @param number n
     * @param s the line settings */
    explicit serial_port(int number, serial_settings s = {}) : s_(make_state()) {
        init(os_comm_client_create(number, s.baud, s.data_bits, s.parity, s.stop_bits));
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    serial_port(serial_port &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    serial_port &operator=(serial_port &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~serial_port() { reset(); }

    /** Opens the device and sets the line; errc::refused for a record whose device or settings were refused.
     * @return empty once open; errc::refused, or errc::failed when the open failed */
    std::error_code open();
    /** Closes the device (the callbacks stop; awaiters get operation_canceled). */
    void close();
    /** Gathers received bytes into frames ended by a silence of gap (os_comm_client_set_read_gap); 0 off.
     * @param gap the silence, up to 10 s; a longer or negative one is refused (the log says why) */
    void set_read_gap(std::chrono::microseconds gap);
    /** Runs the callbacks on the runtime's main thread (before open). The coroutines need it.
     * @param on true for the main thread, false for the I/O thread; a refused change leaves it as it was */
    void set_main_thread(bool on);
    /** f(std::span<const std::byte> data): everything waiting at that call (one frame with a read gap).
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_read(F &&f);
    /** f(keel::serial_event).
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_event(F &&f);
    /** Queues a copy of data; false when refused (not open, or the queue is full).
     * @param data the bytes
     * @return true when queued; false also for empty data */
    bool write(std::span<const std::byte> data);
    /** Queues a copy of text as write(std::span<const std::byte>) does.
     * @param text the bytes
     * @return true when queued */
    bool write(std::string_view text) { return write(detail::as_bytes(text)); }
    /** The C record, for the calls this face does not wrap (lines, break, RS-485); nullptr if refused.
     * @return the record, owned by this port */
    os_comm_client_t *native() const;

    /** Coroutines (need set_main_thread(true)): the next frame, and a write whose bytes have left the queue. */
    struct frame_awaiter;
    struct write_awaiter;
    /** co_await read_frame(): the next frame (see frame_awaiter).
     * @return the awaitable, which gives a frame_result */
    frame_awaiter read_frame();
    /** co_await write_all(data): queues data and waits until the queue has emptied (see write_awaiter).
     * @param data the bytes, copied
     * @return the awaitable, which gives an io_result */
    write_awaiter write_all(std::span<const std::byte> data);

private:
    static detail::serial_state *make_state();
    void init(os_comm_client_t *c);
    void reset();
    detail::serial_state *s_;
};

namespace detail {

struct serial_state : state {
    os_comm_client_t *c = nullptr;
    bool main_thread = false;
    fn<void(std::span<const std::byte>)> on_read;
    fn<void(serial_event)> on_event;
    std::byte buf[MAX_READ_BUF_SIZE];
    waiter *reader = nullptr, *writer = nullptr;
    std::vector<std::byte> frame;                // the frame a coroutine was given last
    std::vector<std::vector<std::byte>> queued;  // frames that came while no coroutine waited

    std::atomic<bool> open{false};
    std::atomic<bool> hung_up{false};  // the port is neither read nor written again until it is opened again

    void fail_all(std::error_code ec) {
        finish(reader, ec);
        finish(writer, ec);
    }
    void close_for_throw() {
        report_throw("serial_port");
        open = false;
        if (c != nullptr) os_comm_client_close(c);
    }
    void deliver(std::span<const std::byte> d);
    static int read_cb(os_comm_client_t *c, void *arg) {
        auto *s = static_cast<serial_state *>(arg);
        dispatch g(s);
        for (int n; !s->dead && s->open && (n = os_comm_client_read(c, s->buf, sizeof s->buf)) > 0;) {
            s->deliver(std::span<const std::byte>(s->buf, static_cast<size_t>(n)));
            if (static_cast<size_t>(n) < sizeof s->buf) break;
        }
        return 0;
    }
    static void event_cb(os_comm_client_t *, int event, uint32_t lines, void *arg) {
        auto *s = static_cast<serial_state *>(arg);
        dispatch g(s);
        if (event == OS_COMM_EVENT_HANGUP) s->hung_up = true, s->fail_all(make_error_code(errc::end_of_stream));
        if (event == OS_COMM_EVENT_DRAINED) finish(s->writer, {});
        if (s->dead || !s->on_event) return;
        try {
            s->on_event(serial_event{static_cast<serial_event::kind_t>(event), lines});
        } catch (...) {
            s->close_for_throw();
        }
    }
};

inline void serial_state::deliver(std::span<const std::byte> d) {
    if (reader != nullptr) {
        frame.assign(d.begin(), d.end());
        return finish(reader, {}, frame.size());
    }
    if (!on_read) return queued.emplace_back(d.begin(), d.end()), void();
    try {
        on_read(d);
    } catch (...) {
        close_for_throw();
    }
}

}  // namespace detail

inline detail::serial_state *serial_port::make_state() { return new detail::serial_state; }
inline void serial_port::init(os_comm_client_t *c) {
    s_->c = c;
    if (c == nullptr) return;
    os_comm_client_bind_read(c, detail::serial_state::read_cb, s_);
    os_comm_client_bind_event(c, detail::serial_state::event_cb, s_);
}
inline std::error_code serial_port::open() {
    if (s_ == nullptr || s_->c == nullptr) return detail::failed(errc::refused);
    s_->open = true;
    s_->hung_up = false;
    if (os_comm_client_open(s_->c) == 1) return {};
    s_->open = false;
    return detail::failed();
}
inline void serial_port::close() {
    if (s_ == nullptr || s_->c == nullptr) return;
    s_->open = false;
    os_comm_client_close(s_->c);
    if (s_->main_thread) {
        main_lock l;
        s_->fail_all(std::make_error_code(std::errc::operation_canceled));
    }
}
inline void serial_port::set_read_gap(std::chrono::microseconds gap) {
    if (s_ != nullptr && s_->c != nullptr)
        os_comm_client_set_read_gap(s_->c,
                                    detail::c_len(gap.count() < 0 ? UINT32_MAX : static_cast<uint64_t>(gap.count())));
}
inline void serial_port::set_main_thread(bool on) {
    if (s_ != nullptr && s_->c != nullptr && os_comm_client_set_main_thread(s_->c, on ? 1 : 0) == 1)
        s_->main_thread = on;
}
template <class F>
void serial_port::on_read(F &&f) {
    if (s_ != nullptr) s_->on_read.set(*s_, std::forward<F>(f));
}
template <class F>
void serial_port::on_event(F &&f) {
    if (s_ != nullptr) s_->on_event.set(*s_, std::forward<F>(f));
}
inline bool serial_port::write(std::span<const std::byte> data) {
    return s_ != nullptr && s_->c != nullptr && !data.empty() && data.size() <= UINT32_MAX &&
           os_comm_client_send(s_->c, data.data(), static_cast<uint32_t>(data.size())) > 0;
}
inline os_comm_client_t *serial_port::native() const { return s_ == nullptr ? nullptr : s_->c; }
inline void serial_port::reset() {
    if (s_ == nullptr) return;
    auto *s = std::exchange(s_, nullptr);
    s->open = false;
    // Destroyed from its own callback, the C side frees the port once that returns; from elsewhere it joins the
    // I/O thread (or takes the main lock) first. Either way no callback of it starts after this call.
    os_comm_client_destroy(std::exchange(s->c, nullptr));
    if (s->main_thread) {
        main_lock l;
        s->fail_all(std::make_error_code(std::errc::operation_canceled));
        detail::retire(s);
    } else {
        detail::retire(s);
    }
}

/* ---- timers ---------------------------------------------------------------------------------------------------- */

/** A timer on the monotonic clock (os_timer_create_ms, os_timer_create_once): periodic or one-shot, its function on
 * the main thread. Destroying or cancelling it, from anywhere, also from its own function, stops it. */
class timer {
public:
    /** An empty timer: set nothing. */
    timer() = default;
    /** Calls f() every period (at least 1 ms), the first time one period from now.
     * @param period the period
     * @param f the callable
     * @return the timer; not active() when the C side refused it */
    template <class F>
    static timer every(std::chrono::milliseconds period, F &&f) {
        return timer(period, std::forward<F>(f), false);
    }
    /** Calls f() once, delay from now.
     * @param delay the delay; a negative one is 0
     * @param f the callable
     * @return the timer; not active() when the C side refused it */
    template <class F>
    static timer once(std::chrono::milliseconds delay, F &&f) {
        return timer(delay, std::forward<F>(f), true);
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    timer(timer &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Cancels this timer, then takes o's; o is left empty.
     * @param o the timer to move from
     * @return this timer */
    timer &operator=(timer &&o) noexcept {
        if (this != &o) {
            cancel();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~timer() { cancel(); }
    /** Whether it will fire again.
     * @return false once cancelled, after a one-shot fired, or when a throw of its function stopped it */
    bool active() const {
        main_lock l;
        return s_ != nullptr && s_->t != nullptr;
    }
    /** Stops it for good. */
    void cancel() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        if (s->t != nullptr) os_timer_destroy(std::exchange(s->t, nullptr));
        detail::retire(s);
    }

private:
    struct state : detail::state {
        os_timer_t *t = nullptr;
        bool one_shot = false;
        detail::fn<void()> f;
    };
    template <class F>
    timer(std::chrono::milliseconds ms, F &&f, bool one_shot) : s_(new state) {
        main_lock l;
        s_->one_shot = one_shot;
        s_->f.set(*s_, std::forward<F>(f));
        uint32_t n = detail::c_len(ms.count() < 0 ? 0 : static_cast<uint64_t>(ms.count()));
        s_->t = one_shot ? os_timer_create_once(fire, n, s_) : os_timer_create_ms(fire, n == 0 ? 1 : n, s_);
    }
    static void fire(void *arg) {
        auto *s = static_cast<state *>(arg);
        detail::dispatch d(s);
        if (s->one_shot) s->t = nullptr;  // the library frees it after this call
        try {
            s->f();
        } catch (...) {
            detail::report_throw("timer");
            if (!s->dead && s->t != nullptr) os_timer_destroy(std::exchange(s->t, nullptr));
        }
    }
    state *s_ = nullptr;
};

/* ---- child processes ------------------------------------------------------------------------------------------ */

/** A child process started from a command line (os_exec_process_ex; see os_proc.h for how it is split). The
 * destructor forgets the child, which runs on; the library still collects it when it ends. */
class process {
public:
    /** Starts the child; ok() false when it could not start.
     * @param cmdline the command line */
    explicit process(std::string_view cmdline) : s_(new state) {
        s_->p = os_exec_process_ex(std::string(cmdline).c_str());
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    process(process &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    process &operator=(process &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~process() { reset(); }
    /** Whether a child was started.
     * @return false when it could not start, or after a move */
    bool ok() const { return s_ != nullptr && s_->p != nullptr; }
    /** Whether the child still runs.
     * @return true while it runs */
    bool running() const {
        main_lock l;
        return ok() && (s_->p->ended == 0 && os_exec_query(s_->p) == 1);
    }
    /** The exit code once it ended (128 + n after signal n), or nothing while it runs.
     * @return the code; nothing also when ok() is false */
    std::optional<int> exit_code() const {
        if (running() || !ok()) return std::nullopt;
        return s_->p->exit_code;
    }
    /** f(int exit_code) on the main thread once the child ended (looked for every 20 ms).
     * @param f the callable; it replaces the one bound before */
    template <class F>
    void on_exit(F &&f) {
        main_lock l;
        if (!ok()) return;
        s_->f.set(*s_, std::forward<F>(f));
        if (s_->poll == nullptr) s_->poll = os_timer_create_ms(poll, 20, s_);
    }

private:
    struct state : detail::state {
        os_proc_t *p = nullptr;
        os_timer_t *poll = nullptr;
        detail::fn<void(int)> f;
    };
    static void poll(void *arg) {
        auto *s = static_cast<state *>(arg);
        detail::dispatch d(s);
        if (s->p->ended == 0 && os_exec_query(s->p) == 1) return;
        os_timer_destroy(std::exchange(s->poll, nullptr));
        try {
            s->f(s->p->exit_code);
        } catch (...) {
            detail::report_throw("process");
        }
    }
    void reset() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        if (s->poll != nullptr) os_timer_destroy(s->poll);
        os_exec_destroy(s->p);
        s->p = nullptr;
        detail::retire(s);
    }
    state *s_;
};

/* ---- watching serial ports come and go ------------------------------------------------------------------------ */

/** A watch of serial devices that appear or go (os_comm_watch_ports): f(const os_comm_port_info_t &, bool present)
 * on the main thread. Start it, then list what is present (os_comm_list_ports). */
class port_watch {
public:
    /** Starts the watch.
     * @param f the callable */
    template <class F>
    explicit port_watch(F &&f) : s_(new state) {
        main_lock l;
        s_->f.set(*s_, std::forward<F>(f));
        s_->w = os_comm_watch_ports(cb, s_);
    }
    /** Takes o's record; o is left empty.
     * @param o the record to move from */
    port_watch(port_watch &&o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    /** Closes and frees what this record holds, then takes o's record; o is left empty.
     * @param o the record to move from
     * @return this record */
    port_watch &operator=(port_watch &&o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, nullptr);
        }
        return *this;
    }
    ~port_watch() { reset(); }
    /** Whether it watches (false when refused, or after a callback threw).
     * @return true while it watches */
    bool ok() const {
        main_lock l;
        return s_ != nullptr && s_->w != nullptr;
    }

private:
    struct state : detail::state {
        os_comm_watch_t *w = nullptr;
        detail::fn<void(const os_comm_port_info_t &, bool)> f;
    };
    static void cb(const os_comm_port_info_t *port, int present, void *arg) {
        auto *s = static_cast<state *>(arg);
        detail::dispatch d(s);
        try {
            s->f(*port, present != 0);
        } catch (...) {
            detail::report_throw("port_watch");
            if (!s->dead && s->w != nullptr) os_comm_unwatch_ports(std::exchange(s->w, nullptr));
        }
    }
    void reset() {
        if (s_ == nullptr) return;
        main_lock l;
        auto *s = std::exchange(s_, nullptr);
        if (s->w != nullptr) os_comm_unwatch_ports(s->w);
        detail::retire(s);
    }
    state *s_;
};

/* ---- coroutines ------------------------------------------------------------------------------------------------ */

/** A coroutine's result, or the failure that ended it. Lazy: it runs once awaited (co_await) or started (start(),
 * spawn()). Awaitables resume it on the runtime's main thread, with the main lock held, so that it may use the
 * records freely, like any callback. A task that is destroyed before it finished destroys its coroutine: what it
 * awaits is cancelled (a connect is closed, a timer stopped, a read or write forgotten, a resolution ignored). An
 * exception thrown in a task comes out of the co_await (or result()) that waits for it; a spawned task's is reported
 * like a callback's. Needs a keel::runtime, which learns which thread is the main one. As with every C++
 * coroutine, a lambda that is a coroutine must take what it needs as parameters, not captures: its closure is gone
 * once the call that made the task has returned. */
template <class T = void>
class task;

namespace detail {

struct promise_base {
    std::coroutine_handle<> continuation;
    std::exception_ptr error;
    bool detached = false;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct final_awaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            promise_base &p = h.promise();
            if (p.detached) {  // nobody waits for it: it frees itself
                if (p.error) {
                    try {
                        std::rethrow_exception(p.error);
                    } catch (...) {
                        report_throw("spawned task");
                    }
                }
                h.destroy();
                return std::noop_coroutine();
            }
            return p.continuation ? p.continuation : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    final_awaiter final_suspend() noexcept { return {}; }
    void unhandled_exception() { error = std::current_exception(); }
};
template <class T>
struct promise : promise_base {
    std::optional<T> value;
    task<T> get_return_object();
    template <class U = T>
    void return_value(U &&v) {
        value.emplace(std::forward<U>(v));
    }
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};
template <>
struct promise<void> : promise_base {
    task<void> get_return_object();
    void return_void() {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
};

}  // namespace detail

template <class T>
class task {
public:
    using promise_type = detail::promise<T>;
    task() = default;
    /** Takes o's coroutine; o is left empty.
     * @param o the task to move from */
    task(task &&o) noexcept : h_(std::exchange(o.h_, {})), started_(std::exchange(o.started_, false)) {}
    /** Destroys this task's coroutine, then takes o's; o is left empty.
     * @param o the task to move from
     * @return this task */
    task &operator=(task &&o) noexcept {
        if (this != &o) {
            destroy();
            h_ = std::exchange(o.h_, {});
            started_ = std::exchange(o.started_, false);
        }
        return *this;
    }
    ~task() { destroy(); }

    /** Runs the coroutine on this thread, with the main lock held, until it first waits; it resumes on the main
     * thread. Once only. */
    void start() {
        main_lock l;
        if (h_ && !started_) started_ = true, h_.resume();
    }
    /** Whether the coroutine has finished.
     * @return true when finished, or when the task holds no coroutine */
    bool done() const {
        main_lock l;
        return !h_ || h_.done();
    }
    /** Its result once done (rethrows its exception). A task that has not finished, or holds no coroutine (moved from,
     * spawned, made empty), throws std::system_error of errc::refused: it has no result to give.
     * @return what the coroutine returned */
    T result() {
        if (done() && h_) return h_.promise().take();
        throw std::system_error(make_error_code(errc::refused), "keel::task::result: the task has not finished");
    }

    /** co_await std::move(t): starts t unless it was started, and resumes the awaiting coroutine once t has finished.
     * A task that holds no coroutine throws std::system_error of errc::refused there, as result() does.
     * @return the awaitable, which gives t's result or rethrows its exception */
    auto operator co_await() &&noexcept {
        struct awaiter {
            std::coroutine_handle<promise_type> h;
            bool started;
            bool await_ready() noexcept { return !h || h.done(); }
            std::coroutine_handle<> await_suspend(std::coroutine_handle<> waiting) noexcept {
                main_lock l;
                h.promise().continuation = waiting;
                // A task started before waits on its own event, which resumes it: resuming it here as well would
                // run it twice from the same suspension.
                if (!started) return h;
                return h.done() ? waiting : std::noop_coroutine();
            }
            T await_resume() {
                if (!h)  // moved from, spawned or made empty: nothing ran, so there is no result
                    throw std::system_error(make_error_code(errc::refused), "keel::task: awaited with no coroutine");
                return h.promise().take();
            }
        };
        return awaiter{h_, std::exchange(started_, true)};
    }

private:
    friend promise_type;
    template <class U>
    friend void spawn(task<U> t);
    explicit task(std::coroutine_handle<promise_type> h) : h_(h) {}
    void destroy() {
        if (!h_) return;
        main_lock l;
        std::exchange(h_, {}).destroy();
    }
    std::coroutine_handle<promise_type> h_;
    bool started_ = false;
};

namespace detail {
template <class T>
task<T> promise<T>::get_return_object() {
    return task<T>(std::coroutine_handle<promise<T>>::from_promise(*this));
}
inline task<void> promise<void>::get_return_object() {
    return task<void>(std::coroutine_handle<promise<void>>::from_promise(*this));
}
}  // namespace detail

/** Runs t on its own (started as task::start does, unless it was started already): it frees itself when it ends,
 * and a task that has ended already is freed at once (its exception reported).
 * @param t the task, taken over */
template <class T>
void spawn(task<T> t) {
    main_lock l;
    if (!t.h_) return;
    auto h = std::exchange(t.h_, {});
    h.promise().detached = true;
    // A task started before goes on from its own events; one that has finished already is only reported and freed.
    if (h.done())
        detail::promise_base::final_awaiter{}.await_suspend(h);
    else if (!t.started_)
        h.resume();
}

/** What a read or a write did: the error, or the bytes moved. */
struct io_result {
    /** Empty, or the error. */
    std::error_code ec;
    /** The bytes moved; 0 on an error. */
    size_t bytes = 0;
};

namespace detail {
inline std::error_code cancelled() { return std::make_error_code(std::errc::operation_canceled); }

// The part every awaiter of a record shares: it registers in await_ready, under the main lock, so that no event
// slips in between; one that comes before the suspension makes it not suspend.
struct record_awaiter {
    waiter w;
    waiter **slot = nullptr;  // where it is registered, while it is
    // Registers at `at`, or refuses when another coroutine waits there already (it would never be told).
    bool enlist(waiter *&at) {
        if (at != nullptr) return w.ec = make_error_code(errc::refused), true;
        slot = &at;
        at = &w;
        return false;
    }
    bool await_suspend(std::coroutine_handle<> h) {
        main_lock l;
        if (w.finished) return false;
        w.h = h;
        return true;
    }
    // The coroutine is destroyed while it waits: it is taken off its record, which is still there (a record's end
    // finishes its awaiters).
    bool leave() {
        main_lock l;
        w.forget();
        if (w.finished || slot == nullptr || *slot != &w) return false;
        *slot = nullptr;
        return true;
    }
};
}  // namespace detail

/** co_await client.connect(host, port): sets the peer (an address or a host name), connects (with TLS if set) and
 * gives the error_code: empty once connected; a refused or failed connect closes the client again. */
struct tcp_client::connect_awaiter : detail::record_awaiter {
    /** @cond */
    detail::tcp_state *s;
    std::string host;
    uint16_t port;
    /** @endcond */
    bool await_ready() {
        main_lock l;
        if (s == nullptr || s->c == nullptr) return w.ec = detail::cancelled(), true;
        std::string h(host);
        int ok = os_get_ip_type(h.c_str()) >= 0 ? os_tcp_client_set_remote(s->c, h.c_str(), port)
                                                : os_tcp_client_set_remote_host(s->c, h.c_str(), port);
        if (ok != 1) return w.ec = make_error_code(errc::refused), true;
        if (enlist(s->connector)) return true;
        if (os_tcp_client_open(s->c, -1) == 1) return w.finished;  // the connect may complete at once
        s->connector = nullptr;
        return w.ec = make_error_code(errc::failed), true;
    }
    std::error_code await_resume() { return w.ec; }
    ~connect_awaiter() {
        main_lock l;
        if (leave() && s->c != nullptr) os_tcp_client_close(s->c);
    }
};
/** co_await client.read_some(buffer): what arrived, at least one byte, or the error (errc::end_of_stream once the
 * peer ended; operation_canceled when the record was destroyed; errc::refused while another coroutine reads it). Do
 * not mix with on_read. */
struct tcp_client::read_awaiter {
    /** @cond */
    detail::tcp_state *s;
    std::span<std::byte> buf;
    detail::read_waiter w;
    /** @endcond */
    bool await_ready() {
        main_lock l;
        if (s == nullptr) return w.ec = detail::cancelled(), true;
        // An accepted connection that ended has no C record any more: it ended all the same.
        if (s->c == nullptr || os_tcp_client_get_status(s->c) != TCP_CLIENT_STATUS_CONNECT)
            return w.ec = make_error_code(errc::end_of_stream), true;
        if (s->reader != nullptr) return w.ec = make_error_code(errc::refused), true;  // another coroutine reads
        if (s->more) {  // the last read filled its buffer: take what waits without a round through the loop
            int n = os_tcp_client_read(s->c, buf.data(), detail::c_len(buf.size(), detail::kSendMost));
            s->more = n > 0 && static_cast<size_t>(n) == buf.size();
            // The peer ended: closed here, as the read callback has the library close it, so that the next read is
            // told the same end rather than the connection_aborted of a disconnect it did not see coming.
            if (n < 0) return os_tcp_client_close(s->c), w.ec = make_error_code(errc::end_of_stream), true;
            if (n > 0) return w.n = static_cast<size_t>(n), true;
        }
        w.buf = buf;
        s->reader = &w;  // the read callback reads into buf
        os_tcp_client_bind_read(s->c, detail::tcp_state::read_cb, s);
        if (s->refusing) s->refusing = false, os_tcp_client_set_refuse_read(s->c, 0);
        return w.finished;
    }
    bool await_suspend(std::coroutine_handle<> h) {
        main_lock l;
        if (w.finished) return false;
        w.h = h;
        return true;
    }
    io_result await_resume() { return {w.ec, w.n}; }
    ~read_awaiter() {
        main_lock l;
        w.forget();
        if (!w.finished && s != nullptr && s->reader == &w) s->reader = nullptr;
    }
};
/** co_await client.write_all(data): the bytes are copied (or sent) at once; it resumes when the socket has taken all
 * of them, with the error_code if the connection ended first (errc::refused, nothing sent, while another coroutine
 * writes). */
struct tcp_client::write_awaiter : detail::record_awaiter {
    /** @cond */
    detail::tcp_state *s;
    std::span<const std::byte> data;
    /** @endcond */
    bool await_ready() {
        main_lock l;
        if (s == nullptr) return w.ec = detail::cancelled(), true;
        if (s->writer != nullptr) return w.ec = make_error_code(errc::refused), true;  // another coroutine writes
        if (!s->write(data)) return w.ec = make_error_code(errc::connection_aborted), true;
        if (s->out_off >= s->out.size()) return true;
        return enlist(s->writer);
    }
    io_result await_resume() { return {w.ec, w.ec ? 0 : data.size()}; }
    ~write_awaiter() { leave(); }
};

inline tcp_client::connect_awaiter tcp_client::connect(std::string_view host, uint16_t port) {
    connect_awaiter a;
    a.s = s_, a.host = host, a.port = port;
    return a;
}
inline tcp_client::read_awaiter tcp_client::read_some(std::span<std::byte> buffer) {
    read_awaiter a;
    a.s = s_, a.buf = buffer;
    return a;
}
inline tcp_client::write_awaiter tcp_client::write_all(std::span<const std::byte> data) {
    write_awaiter a;
    a.s = s_, a.data = data;
    return a;
}
inline tcp_client::write_awaiter tcp_client::write_all(std::string_view text) {
    return write_all(detail::as_bytes(text));
}

/** What serial_port::read_frame gives: the error, or the frame (valid until the next read_frame of the port). */
struct frame_result {
    /** Empty, or the error. */
    std::error_code ec;
    /** The frame; empty on an error. */
    std::span<const std::byte> data;
};

/** co_await port.read_frame(): the next frame (with a read gap, what came before a silence; without, what waited).
 * Frames that came while no coroutine waited are kept in order. Needs set_main_thread(true) (errc::refused
 * otherwise; also while another coroutine reads the port); errc::end_of_stream once the device hung up, and from
 * then on until it is opened again. */
struct serial_port::frame_awaiter : detail::record_awaiter {
    /** @cond */
    detail::serial_state *s;
    /** @endcond */
    bool await_ready() {
        main_lock l;
        if (s == nullptr || s->c == nullptr || !s->open) return w.ec = detail::cancelled(), true;
        if (!s->main_thread) return w.ec = make_error_code(errc::refused), true;
        if (s->queued.empty())
            return s->hung_up ? (w.ec = make_error_code(errc::end_of_stream), true) : enlist(s->reader);
        s->frame = std::move(s->queued.front());
        s->queued.erase(s->queued.begin());
        w.n = s->frame.size();
        return true;
    }
    frame_result await_resume() {
        return {w.ec, w.ec ? std::span<const std::byte>() : std::span(s->frame.data(), w.n)};
    }
    ~frame_awaiter() { leave(); }
};
/** co_await port.write_all(data): queues a copy and resumes once the port's send queue has emptied; errc::end_of_stream
 * after a hang-up (the queue would never empty). */
struct serial_port::write_awaiter : detail::record_awaiter {
    /** @cond */
    detail::serial_state *s;
    std::span<const std::byte> data;
    /** @endcond */
    bool await_ready() {
        main_lock l;
        if (s == nullptr || s->c == nullptr || !s->open) return w.ec = detail::cancelled(), true;
        if (!s->main_thread) return w.ec = make_error_code(errc::refused), true;
        if (s->hung_up) return w.ec = make_error_code(errc::end_of_stream), true;  // its queue would never drain
        if (data.empty()) return true;
        if (data.size() > UINT32_MAX) return w.ec = make_error_code(errc::refused), true;  // one queued item at most
        if (enlist(s->writer)) return true;
        if (os_comm_client_send(s->c, data.data(), static_cast<uint32_t>(data.size())) > 0) return false;
        s->writer = nullptr;
        return w.ec = make_error_code(errc::refused), true;
    }
    io_result await_resume() { return {w.ec, w.ec ? 0 : data.size()}; }
    ~write_awaiter() { leave(); }
};
inline serial_port::frame_awaiter serial_port::read_frame() {
    frame_awaiter a;
    a.s = s_;
    return a;
}
inline serial_port::write_awaiter serial_port::write_all(std::span<const std::byte> data) {
    write_awaiter a;
    a.s = s_, a.data = data;
    return a;
}

/** co_await keel::sleep_for(50ms): resumes after the delay (rounded up to milliseconds) on the main thread. */
class sleep_awaiter {
public:
    /** The awaitable of a delay.
     * @param d the delay; a negative one is 0 */
    explicit sleep_awaiter(std::chrono::milliseconds d)
        : ms_(d.count() < 0 ? 0 : detail::c_len(static_cast<uint64_t>(d.count()))) {}
    sleep_awaiter(const sleep_awaiter &) = delete;
    sleep_awaiter &operator=(const sleep_awaiter &) = delete;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) {
        main_lock l;
        h_ = h;
        t_ = os_timer_create_once(fire, ms_, this);
        return t_ != nullptr;
    }
    void await_resume() const noexcept {}
    ~sleep_awaiter() {
        main_lock l;
        if (t_ != nullptr) os_timer_destroy(t_);
    }

private:
    static void fire(void *arg) {
        auto *a = static_cast<sleep_awaiter *>(arg);
        a->t_ = nullptr;  // the library frees it after this call
        a->h_.resume();
    }
    uint32_t ms_;
    os_timer_t *t_ = nullptr;
    std::coroutine_handle<> h_;
};
/** co_await keel::sleep_for(d): resumes after d, rounded up to milliseconds, on the main thread.
 * @param d the delay
 * @return the awaitable */
template <class Rep, class Period>
sleep_awaiter sleep_for(std::chrono::duration<Rep, Period> d) {
    return sleep_awaiter(std::chrono::ceil<std::chrono::milliseconds>(d));
}

/** What keel::resolve gives: the addresses (IPv6 and IPv4 texts, in the resolver's order), or the error and the
 * resolver's reason. */
struct resolve_result {
    /** Empty, or the error. */
    std::error_code ec;
    /** The addresses found. */
    std::vector<std::string> addresses;
    /** The resolver's reason when none was found. */
    std::string reason;
};

/** co_await keel::resolve(name): resolves a host name without blocking (os_resolve). */
class resolve_awaiter {
public:
    /** The awaitable of a resolution.
     * @param name the host name */
    explicit resolve_awaiter(std::string_view name) : name_(name) {}
    resolve_awaiter(const resolve_awaiter &) = delete;
    resolve_awaiter &operator=(const resolve_awaiter &) = delete;
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) {
        main_lock l;
        link_ = new link{this};
        if (os_resolve(name_.c_str(), answer, link_) != 1) {
            delete std::exchange(link_, nullptr);
            r_.ec = make_error_code(errc::refused);
            return false;
        }
        if (done_) return false;  // answered at once
        h_ = h;
        return true;
    }
    resolve_result await_resume() { return std::move(r_); }
    ~resolve_awaiter() {
        main_lock l;
        if (link_ != nullptr) link_->to = nullptr;  // the answer, when it comes, finds nobody
    }

private:
    struct link {
        resolve_awaiter *to;
    };
    static std::error_code error_of(std::string_view why) {
        auto has = [&](std::string_view w) { return why.find(w) != std::string_view::npos; };
        if (has("not found") || has("No such host") || has("Non-existent"))
            return make_error_code(errc::host_not_found);
        if (has("imeout") || has("timed out")) return make_error_code(errc::timed_out);
        if (has("no data") || has("No address")) return make_error_code(errc::no_data);
        // No name server gave a usable answer (none listens, or each failed): a connect to the name is told 10061.
        if (has("Could not contact")) return make_error_code(errc::connection_refused);
        if (has("efused") || has("SERVFAIL") || has("server fail")) return make_error_code(errc::try_again);
        return make_error_code(errc::no_recovery);
    }
    static void answer(const char *, const char *const *addresses, int count, const char *error, void *arg) {
        std::unique_ptr<link> l(static_cast<link *>(arg));
        resolve_awaiter *a = l->to;
        if (a == nullptr) return;
        a->link_ = nullptr;
        for (int i = 0; i < count; ++i) a->r_.addresses.emplace_back(addresses[i]);
        if (count == 0) a->r_.reason = error != nullptr ? error : "", a->r_.ec = error_of(a->r_.reason);
        a->done_ = true;
        if (a->h_) a->h_.resume();
    }
    std::string name_;
    link *link_ = nullptr;
    resolve_result r_;
    bool done_ = false;
    std::coroutine_handle<> h_;
};
/** co_await keel::resolve(name): resolves a host name without blocking.
 * @param name the host name
 * @return the awaitable, which gives a resolve_result */
inline resolve_awaiter resolve(std::string_view name) { return resolve_awaiter(name); }

}  // namespace keel

#endif /* KEEL_HPP */
