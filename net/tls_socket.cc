// The socket's side of TLS connections, for both platforms' sessions: what
// the socket does not take is kept (`unsent`) and sent on the next write
// event, so a record is never half taken back; past a bound nothing is read
// either (see held_back). The platform's tls_link.cc makes and reads the
// records.
#include "net/tls_socket.h"

#include <cerrno>
#include <unordered_map>
#include <vector>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/records.h"
#include "net/socket_calls.h"
#include "runtime/platform.h"

namespace keel::net {
namespace {

std::unordered_map<const os_tcp_client_t *, Link> &s_links = *new std::unordered_map<const os_tcp_client_t *, Link>;

void on_deadline(void *arg);

/* closes that let the last bytes out */

// A socket whose connection we closed, while what was sent on it is not
// all delivered. The peer may still be writing (its session tickets, its
// own close_notify, data), and data that reaches a closed socket, or one
// closed with data unread, makes the system answer with a reset, which
// throws away whatever the socket had not delivered yet. So the socket is
// kept, what comes is read and dropped, and it is closed once everything
// sent has been acknowledged (where the system tells), or the peer has ended
// its side too (then all we sent has reached it), or it failed, or the bound
// has passed. A timer looks at every lingering socket in turn: the main
// thread never waits for one.
struct Lingering {
    int fd;
    std::string unsent;  // encrypted bytes the socket has not taken yet
    size_t unsent_at;
    uint64_t until_ms;
    bool shut;  // our end of the stream went out after the last byte
};

std::vector<Lingering> &s_lingering = *new std::vector<Lingering>;
os_timer_t *s_linger_timer = nullptr;

bool would_block() { return rt::wsa_error_from_errno(errno) == rt::WSAEWOULDBLOCK; }

// One look at a lingering socket; true when it is done with.
bool linger_over(Lingering &l) {
    while (l.unsent_at < l.unsent.size()) {
        ssize_t sent = socket_send(l.fd, l.unsent.data() + l.unsent_at, l.unsent.size() - l.unsent_at);
        if (sent < 0 && would_block()) break;
        if (sent <= 0) return true;  // the connection failed: nothing more can go
        l.unsent_at += static_cast<size_t>(sent);
    }
    if (!l.shut && l.unsent_at == l.unsent.size()) {
        l.shut = true;
        if (socket_shutdown_send(l.fd) != 0) return true;  // the connection is gone
    }
    // Bounded, against a peer that sends as fast as we read: the rest waits
    // for the next look.
    char buffer[16384];
    ssize_t got = -1;
    for (int round = 0; round < 16 && (got = socket_recv(l.fd, buffer, sizeof buffer)) > 0; ++round) {
    }
    if (got < 0 && !would_block()) return true;
    if (l.shut && (got == 0 || socket_all_acknowledged(l.fd))) return true;
    return os_clock_ms() >= l.until_ms;
}

void linger_step(void *) {
    for (size_t i = 0; i < s_lingering.size();) {
        if (!linger_over(s_lingering[i])) {
            ++i;
            continue;
        }
        socket_close(s_lingering[i].fd);
        s_lingering[i] = std::move(s_lingering.back());
        s_lingering.pop_back();
    }
    if (s_lingering.empty() && s_linger_timer != nullptr) {
        os_timer_destroy(s_linger_timer);
        s_linger_timer = nullptr;
    }
}

// Takes fd over until unsent and what the socket holds have gone out; false
// when there is nothing to wait for (the caller closes it as any other). Its
// events end here, and the timer looks at it (the socket stays
// non-blocking): before the first look where the plain calls would
// re-enable them, else once it is taken over.
bool linger(int fd, std::string unsent) {
    if (kPlainCallsRearm) rt::select_socket(fd, 0);
    Lingering l{fd, std::move(unsent), 0, os_clock_ms() + kLingerMs, false};
    if (linger_over(l)) return false;
    if (s_linger_timer == nullptr) s_linger_timer = os_timer_create_ms(linger_step, kLingerStepMs, nullptr);
    if (s_linger_timer == nullptr) return false;
    if (!kPlainCallsRearm) rt::select_socket(fd, 0);
    s_lingering.push_back(std::move(l));
    return true;
}

void on_deadline(void *arg) {
    auto *client = static_cast<os_tcp_client_t *>(arg);
    Link &link = link_of(client);
    link.deadline = nullptr;  // freed by the runtime after this call
    errno = rt::errno_from_wsa_error(rt::WSAETIMEDOUT);
    KEEL_ERROR("TLS handshake with %s took longer than %d ms", tls_peer_text(client).c_str(), kTlsHandshakeMs);
    bool accepted = link.server != nullptr;
    free_session(link);
    if (accepted) {
        os_tcp_client_destroy(client);
    } else {
        tcp_client_close_socket(client);
        client->connectfd = -1;
        tcp_client_failed(client, rt::WSAETIMEDOUT, "the TLS handshake took longer than 10000 ms");
    }
}

}  // namespace

Link &link_of(const os_tcp_client_t *client) { return s_links.find(client)->second; }

Link &link_at(const os_tcp_client_t *client) { return s_links[client]; }

size_t unsent_size(const Link &link) { return link.unsent.size() - link.unsent_at; }

void post_read(Link &link) {
    if (link.read_posted) return;
    link.read_posted = true;
    rt::post_socket_event(link.fd, rt::FD_READ);
}

// A short send is tried again, so that the socket is either drained of our
// bytes or reported full (which arms the write event); a failed socket drops
// them, and the next read meets its error. Reading held back for the queue's
// size resumes once it is below the bound again.
bool send_unsent(Link &link) {
    bool all = true;
    while (link.unsent_at < link.unsent.size()) {
        ssize_t sent =
            rt::sel_send(link.fd, link.unsent.data() + link.unsent_at, link.unsent.size() - link.unsent_at, 0);
        if (sent > 0) {
            link.unsent_at += static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && rt::sel_last_error() == rt::WSAEWOULDBLOCK) {
            all = false;
            break;
        }
        link.unsent_at = link.unsent.size();
    }
    if (all) {
        link.unsent.clear();
        link.unsent_at = 0;
    }
    if (link.read_held && unsent_size(link) <= kUnsentMax) {
        link.read_held = false;
        post_read(link);
    }
    return all;
}

// A peer that does not read what we send, while its own messages make the
// session write more (a key update asked for is answered), would have us
// queue without end: past the bound nothing more is read from it, and TCP's
// flow control holds it back until it reads.
bool held_back(Link &link) {
    if (unsent_size(link) <= kUnsentMax) return false;
    link.read_held = true;
    return true;
}

bool late_message_floods(Link &link) {
    if (++link.late_messages <= kLateMessages + link.taken / kDataPerMessage) return false;
    link.flooding = true;
    return true;
}

void free_session(Link &link) {
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    session_free(link);
    link.unsent.clear();
    link.unsent_at = 0;
    link.taken = link.late_messages = 0;
    link.handshaking = link.ended = link.socket_eof = false;
    link.read_posted = link.read_held = link.flooding = link.peer_ended = false;
    link.server = nullptr;
}

// Every send is whole records (a handshake's flight at once), so holding a
// small one back for the peer's acknowledgement only delays it: a reply
// behind the session tickets waited some 40 ms for a delayed ack.
void begin_handshake(os_tcp_client_t *client, Link &link) {
    link.fd = client->connectfd;
    int on = 1;
    socket_set(link.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link.handshaking = true;
    link.deadline = os_timer_create_once(on_deadline, kTlsHandshakeMs, client);
}

void handshake_done(os_tcp_client_t *client, Link &link, bool pending) {
    if (link.deadline != nullptr) os_timer_destroy(link.deadline);
    link.deadline = nullptr;
    link.handshaking = false;
    if (pending) post_read(link);
    if (os_tcp_server_t *server = link.server) {
        link.server = nullptr;  // the settings stay with the connection
        if (server->accept_cb != nullptr)
            call_out(server, [&] { server->accept_cb(server, client, server->accept_arg); });
        return;
    }
    set_status(client, TCP_CLIENT_STATUS_CONNECT);
    if (client->connect_cb != nullptr) call_out(client, [&] { client->connect_cb(client, client->connect_arg); });
}

// A client of the caller's is left connecting without a socket, as a refused
// connect leaves it, and its failure callback runs; a connection the library
// accepted ends unseen.
void fail_handshake(os_tcp_client_t *client, const std::string &reason, int cause) {
    Link &link = link_of(client);
    errno = cause;
    KEEL_ERROR("TLS handshake with %s failed: %s", tls_peer_text(client).c_str(), reason.c_str());
    bool accepted = link.server != nullptr;
    free_session(link);
    if (accepted) {
        os_tcp_client_destroy(client);
        return;
    }
    tcp_client_close_socket(client);
    client->connectfd = -1;
    tcp_client_failed(client, cause != 0 ? rt::wsa_error_from_errno(cause) : rt::WSAECONNABORTED, reason.c_str());
}

int end_of_stream(os_tcp_client_t *client, Link &link, End how, const std::string &reason) {
    if (!link.ended) {
        std::string peer = tls_peer_text(client);
        if (how == End::CloseNotify)
            KEEL_INFO("TLS peer %s closed the connection (close_notify)", peer.c_str());
        else if (how == End::Truncated)
            KEEL_ERROR("TLS peer %s ended without close_notify: the data may be truncated", peer.c_str());
        else if (how == End::Flood)
            KEEL_ERROR("TLS peer %s floods the connection with handshake messages", peer.c_str());
        else
            KEEL_ERROR("TLS read from %s failed: %s", peer.c_str(), reason.c_str());
    }
    link.ended = true;
    return -1;
}

/* the calls of the records (net/tls.h) that are the socket's alone */

// A handshake ended here destroys its record, which leaves the table: the
// records to end are gathered first.
void tls_server_closed(const os_tcp_server_t *server) {
    std::vector<os_tcp_client_t *> ending;
    for (auto &[client, link] : s_links)
        if (link.server == server) ending.push_back(const_cast<os_tcp_client_t *>(client));
    for (os_tcp_client_t *client : ending) {
        free_session(link_of(client));
        os_tcp_client_destroy(client);
    }
}

bool tls_handshaking(const os_tcp_client_t *client) { return link_of(client).handshaking; }

// The end of the socket during the handshake is its failure; every other
// event is a step (a write event first sends what waits).
void tls_handshake_event(os_tcp_client_t *client, uint32_t event, int error) {
    Link &link = link_of(client);
    if (error != 0)
        return fail_handshake(client,
                              error == rt::WSAECONNABORTED || error == rt::WSAECONNRESET
                                  ? "the connection was reset"
                                  : "socket error " + socket_error_words(error),
                              rt::errno_from_wsa_error(error));
    if (event == rt::FD_CLOSE) return fail_handshake(client, "the peer closed the connection", 0);
    if (event == rt::FD_WRITE && !send_unsent(link)) return;
    step_handshake(client);
}

int tls_readable(os_tcp_client_t *client) {
    Link &link = link_of(client);
    link.read_posted = false;  // the event that asks has come
    return peek(client, link);
}

uint64_t tls_taken(const os_tcp_client_t *client) { return link_of(client).taken; }

void tls_peer_ending(os_tcp_client_t *client) { link_of(client).peer_ended = true; }

bool tls_peer_ended(const os_tcp_client_t *client) { return link_of(client).peer_ended; }

bool tls_refused(const os_tcp_client_t *client) { return link_of(client).flooding; }

// Nothing is taken while encrypted bytes wait.
int tls_send(os_tcp_client_t *client, const void *data, int len) {
    Link &link = link_of(client);
    if (!send_unsent(link)) return 0;
    if (len == 0) return 0;
    return send_slice(client, link, data, len < kSendSlice ? len : kSendSlice);
}

bool tls_flush(os_tcp_client_t *client) { return send_unsent(link_of(client)); }

// The close_notify goes out with whatever else waits. Kept, the socket
// lingers until all of it is out; else what the socket does not take now is
// dropped, reported. A peer refused for a flood is owed nothing.
bool tls_close(os_tcp_client_t *client, bool keep_socket) {
    Link &link = link_of(client);
    bool kept = false;
    if (!link.handshaking && !link.flooding && close_session(link)) {
        send_unsent(link);
        if (keep_socket) {
            kept = linger(link.fd, link.unsent.substr(link.unsent_at));
        } else if (size_t left = unsent_size(link); left > 0) {
            KEEL_INFO("TLS %s: %lu encrypted bytes unsent at close", tls_peer_text(client).c_str(),
                      static_cast<unsigned long>(left));
        }
    }
    free_session(link);
    return kept;
}

void tls_forget(os_tcp_client_t *client) {
    auto found = s_links.find(client);
    if (found == s_links.end()) return;
    free_session(found->second);
    session_forget(found->second);
    s_links.erase(found);
    client->tls = false;
}

}  // namespace keel::net
