// The calls that set clients and servers to TLS: their arguments are checked
// here, the settings made by the platform's TLS layer (tls_settings.cc).
#include <cstring>

#include "keel/os_runtime.h"
#include "log/report.h"
#include "net/records.h"
#include "net/resolver.h"
#include "net/tls.h"

using namespace keel::net;

extern "C" {

KEEL_API int os_tcp_client_set_tls(os_tcp_client_t *client, const char *server_name, const char *ca_file) {
    if (client == nullptr) {
        KEEL_INFO("client is null");
        return 0;
    }
    if (server_name != nullptr && strnlen(server_name, kHostNameMax) >= kHostNameMax) {
        KEEL_INFO("strlen(server_name) >= 256");
        return 0;
    }
    if (client->status != TCP_CLIENT_STATUS_DISCONN) {
        KEEL_INFO("client->status != TCP_CLIENT_STATUS_DISCONN, status: %d", client->status);
        return 0;
    }
    os_main_lock();
    ssl_ctx_st *ctx = tls_client_context(ca_file);
    if (ctx != nullptr) tls_client_configure(client, ctx, server_name);
    os_main_unlock();
    return ctx != nullptr ? 1 : 0;
}

// Connections accepted before keep the settings they began with: each of
// their sessions holds a reference to them.
KEEL_API int os_tcp_server_set_tls(os_tcp_server_t *server, const char *cert_file, const char *key_file,
                                   const char *client_ca_file) {
    if (server == nullptr) {
        KEEL_INFO("server == NULL");
        return 0;
    }
    if ((cert_file == nullptr) != (key_file == nullptr) || (cert_file == nullptr && client_ca_file != nullptr)) {
        KEEL_INFO("cert_file is null or key_file is null");
        return 0;
    }
    ssl_ctx_st *ctx = nullptr;
    if (cert_file != nullptr) {
        ctx = tls_server_context(cert_file, key_file, client_ca_file);
        if (ctx == nullptr) return 0;
    }
    os_main_lock();
    if (server->tls_ctx != nullptr) tls_context_free(server->tls_ctx);
    server->tls_ctx = ctx;
    os_main_unlock();
    return 1;
}

}  // extern "C"
