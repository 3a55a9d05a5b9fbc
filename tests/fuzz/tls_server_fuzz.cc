// A TLS server record under a peer that sends random bytes, from the first byte (a garbage handshake, or a valid
// prefix that stops) or after a real handshake and a checked echo, and then closes or resets. The process lives, each
// connection handed to the accept callback ends once, and no descriptor is left behind once the peer is gone.
#include <openssl/err.h>
#include <openssl/ssl.h>

#include "tests/fuzz/socket_peer.h"
#include "tests/tls_certs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static SSL_CTX *client = [] {  // the server's certificate (read at once), and a client that takes it unchecked
        TlsCerts certs;
        if (!certs.ok() ||
            os_tcp_server_set_tls(echo_server(), certs.server.cert.c_str(), certs.server.key.c_str(), nullptr) != 1)
            FUZZ_FAIL();
        SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
        return ctx;
    }();
    FuzzedDataProvider in(data, size);
    bool handshake = in.ConsumeBool(), reset = in.ConsumeBool();
    long ended = g_echo_ended;
    int fd = peer_connect();
    size_t payload_size = 0;
    if (handshake) {  // a handshake, then one echo through it, checked; the socket stays for the raw bytes that follow
        std::string payload = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 4096));
        payload_size = payload.size();
        std::string echoed(payload.size(), '\0');
        int n = static_cast<int>(payload.size());
        SSL *ssl = SSL_new(client);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1 || (n > 0 && SSL_write(ssl, payload.data(), n) != n)) {
            fprintf(stderr, "harness: the handshake or the write failed: %s\n", ERR_error_string(ERR_get_error(), nullptr));
            FUZZ_FAIL();
        }
        for (int got = 0, k; got < n; got += k)
            if ((k = SSL_read(ssl, echoed.data() + got, n - got)) <= 0) FUZZ_FAIL();
        if (echoed != payload) FUZZ_FAIL();
        SSL_free(ssl);
        ERR_clear_error();
    }
    while (in.remaining_bytes() > 0 &&
           write_all(fd, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 4096)))) {
    }
    reset ? reset_close(fd) : void(close(fd));
    // Only a connection whose handshake was done reaches the accept callback, and so the end.
    if (!all_ended(0)) FUZZ_FAIL();
    // A reset throws away what the peer had not sent yet. A client that resets right after its handshake, with no
    // echo waited for, may lose its last handshake message that way (a loaded machine holds it back now and then):
    // the server then never finishes the handshake, and there is nothing to end.
    bool may_be_lost = handshake && reset && payload_size == 0;
    if (g_echo_ended != ended + handshake && !(may_be_lost && g_echo_ended == ended)) {
        fprintf(stderr, "harness: %ld connection(s) ended, %d expected\n", g_echo_ended - ended, handshake);
        FUZZ_FAIL();
    }
    return 0;
}
