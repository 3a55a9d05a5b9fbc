#include "tls_certs.h"

#ifdef _WIN32
#include <windows.h>

#include <algorithm>
#include <fstream>

namespace keel_test {

// The Windows build has no OpenSSL: the same files come from this file built
// for the host (tls_certs_tool, with RSA keys, which Schannel can import),
// which wine runs as it runs any program of the host.
TlsCerts::TlsCerts() {
    static int made = 0;
    std::string unix_dir = "/tmp/keel_tls_w" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(made++);
    std::string command = std::string("Z:") + KEEL_TLS_CERTS_TOOL + " " + unix_dir;
    std::replace(command.begin(), command.begin() + command.find(' '), '/', '\\');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return;
    CloseHandle(process.hProcess), CloseHandle(process.hThread);  // wine's handle of a host program may not wait
    dir_ = "Z:" + unix_dir;
    ca = path("ca.pem"), other_ca = path("other_ca.pem");
    for (auto [pair, name] : {std::pair{&server, "server"}, {&expired, "expired"}, {&by_name, "by_name"},
                              {&other_name, "other"}})
        pair->cert = pair->key = path(std::string(name) + ".pem");
    for (int tenths = 0; tenths < 600 && !ok_; ++tenths)  // the folder comes whole (renamed), within 60 s
        ok_ = bool(std::ifstream(other_name.cert)) || (Sleep(100), false);
}

}  // namespace keel_test
#else
#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace keel_test {

// A key and its certificate for cn, by the authority `by` (itself when null), valid for two days from now+from seconds,
// written to file: the certificate, then the key. An authority is a version 1 certificate, which OpenSSL trusts as a
// root; a leaf is version 3, naming its hosts and addresses in san.
struct Made {
#ifdef KEEL_TLS_CERTS_RSA
    EVP_PKEY *key = EVP_RSA_gen(2048);
#else
    EVP_PKEY *key = EVP_EC_gen("P-256");
#endif
    X509 *cert = X509_new();
    bool ok;
    Made(const std::string &file, const char *cn, const char *san, const Made *by, long from) {
        const Made &signer = by != nullptr ? *by : *this;
        X509_EXTENSION *alt =
            san != nullptr ? X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san) : nullptr;
        BIO *out = BIO_new_file(file.c_str(), "w");
        ok = key != nullptr && (san == nullptr || (X509_set_version(cert, 2) && X509_add_ext(cert, alt, -1))) &&
             X509_set_pubkey(cert, key) && X509_gmtime_adj(X509_getm_notBefore(cert), from) &&
             X509_gmtime_adj(X509_getm_notAfter(cert), from + 2 * 24 * 3600) &&
             X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char *>(cn), -1, -1, 0) &&
             X509_set_issuer_name(cert, X509_get_subject_name(signer.cert)) &&
             X509_sign(cert, signer.key, EVP_sha256()) > 0 && PEM_write_bio_X509(out, cert) == 1 &&
             PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
        X509_EXTENSION_free(alt);
        ok = BIO_free(out) == 1 && ok;
    }
    ~Made() { X509_free(cert), EVP_PKEY_free(key); }
};

TlsCerts::TlsCerts() {
    char tmpl[] = "/tmp/keel_tls_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    const char *here = "DNS:localhost,IP:127.0.0.1,IP:::1";
    Made trusted(ca = path("ca.pem"), "Keel Test CA", nullptr, nullptr, -86400),
        unrelated(other_ca = path("other_ca.pem"), "Keel Unrelated CA", nullptr, nullptr, -86400);
    auto leaf = [&](TlsPair &pair, const char *name, const char *san, long from) {
        pair.cert = pair.key = path(std::string(name) + ".pem");
        return Made(pair.cert, name, san, &trusted, from).ok;
    };
    ok_ = trusted.ok && unrelated.ok && leaf(server, "server", here, -86400) &&
          leaf(expired, "expired", here, -4 * 86400) && leaf(by_name, "by_name", "DNS:localhost", -86400) &&
          leaf(other_name, "other", "DNS:other.example", -86400);
}

}  // namespace keel_test

#ifdef KEEL_TLS_CERTS_TOOL
// Makes the files in the directory named (which must not exist yet).
int main(int argc, char **argv) {
    keel_test::TlsCerts certs;
    return argc == 2 && certs.ok() && rename(certs.dir_.c_str(), argv[1]) == 0 ? 0 : 1;
}
#endif
#endif
