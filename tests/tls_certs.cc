#include "tls_certs.h"

#include <openssl/pem.h>
#include <openssl/x509v3.h>

namespace keel_test {

// A key and its certificate for cn, by the authority `by` (itself when null), valid for two days from now+from seconds,
// written to file: the certificate, then the key. An authority is a version 1 certificate, which OpenSSL trusts as a
// root; a leaf is version 3, naming its hosts and addresses in san.
struct Made {
    EVP_PKEY *key = EVP_EC_gen("P-256");
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
