#include "tls_certs.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <utility>

namespace keel_test {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kDay = 24 * 3600;

bool add_ext(X509 *cert, X509 *issuer, int nid, const char *value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    bool added = ext != nullptr && X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return added;
}

// A certificate for key, by issuer (itself when null), valid from
// now+from to now+to seconds.
Cert make_cert(EVP_PKEY *key, const char *cn, const char *san, X509 *issuer, EVP_PKEY *issuer_key, long from, long to) {
    static long serial = 1;
    Cert cert(X509_new(), X509_free);
    X509_NAME *name = X509_get_subject_name(cert.get());
    bool ok =
        X509_set_version(cert.get(), 2) && ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++) &&
        X509_gmtime_adj(X509_getm_notBefore(cert.get()), from) && X509_gmtime_adj(X509_getm_notAfter(cert.get()), to) &&
        X509_set_pubkey(cert.get(), key) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>(cn), -1, -1, 0) &&
        X509_set_issuer_name(cert.get(), issuer != nullptr ? X509_get_subject_name(issuer) : name);
    X509 *signer = issuer != nullptr ? issuer : cert.get();
    ok = ok && add_ext(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer == nullptr)
        ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE") &&
             add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    else
        ok = ok && add_ext(cert.get(), signer, NID_basic_constraints, "CA:FALSE") &&
             add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always") &&
             (san == nullptr || add_ext(cert.get(), signer, NID_subject_alt_name, san));
    ok = ok && X509_sign(cert.get(), issuer_key != nullptr ? issuer_key : key, EVP_sha256()) > 0;
    if (!ok) cert.reset();
    return cert;
}

bool write_pem(const std::string &path, X509 *cert, EVP_PKEY *key) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    bool ok = cert != nullptr ? PEM_write_X509(f, cert) == 1
                              : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return fclose(f) == 0 && ok;
}

}  // namespace

TlsCerts::TlsCerts() {
    char tmpl[] = "/tmp/keel_tls_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    Key ca_key(EVP_EC_gen("P-256"), EVP_PKEY_free), other_key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!ca_key || !other_key) return;
    Cert ca_cert = make_cert(ca_key.get(), "Keel Test CA", nullptr, nullptr, nullptr, -kDay, 30 * kDay);
    Cert other_cert = make_cert(other_key.get(), "Keel Unrelated CA", nullptr, nullptr, nullptr, -kDay, 30 * kDay);
    if (!ca_cert || !other_cert) return;
    ca = path("ca.pem");
    other_ca = path("other_ca.pem");
    ok_ = write_pem(ca, ca_cert.get(), nullptr) && write_pem(other_ca, other_cert.get(), nullptr);

    const char *here = "DNS:localhost,IP:127.0.0.1,IP:::1";
    struct Leaf {
        TlsPair *pair;
        const char *name, *cn, *san;
        X509 *issuer;
        EVP_PKEY *issuer_key;
        long from, to;
    };
    for (const Leaf &leaf :
         {Leaf{&server, "server", "localhost", here, ca_cert.get(), ca_key.get(), -kDay, 30 * kDay},
          Leaf{&expired, "expired", "localhost", here, ca_cert.get(), ca_key.get(), -3 * kDay, -kDay},
          Leaf{&by_name, "by_name", "localhost", "DNS:localhost", ca_cert.get(), ca_key.get(), -kDay, 30 * kDay},
          Leaf{&other_name, "other", "other.example", "DNS:other.example", ca_cert.get(), ca_key.get(), -kDay,
               30 * kDay},
          Leaf{&rogue, "rogue", "localhost", here, other_cert.get(), other_key.get(), -kDay, 30 * kDay},
          Leaf{&client, "client", "keel client", nullptr, ca_cert.get(), ca_key.get(), -kDay, 30 * kDay}}) {
        Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
        Cert cert = key ? make_cert(key.get(), leaf.cn, leaf.san, leaf.issuer, leaf.issuer_key, leaf.from, leaf.to)
                        : Cert(nullptr, X509_free);
        leaf.pair->cert = path(std::string(leaf.name) + ".crt");
        leaf.pair->key = path(std::string(leaf.name) + ".key");
        ok_ = ok_ && cert && write_pem(leaf.pair->cert, cert.get(), nullptr) &&
              write_pem(leaf.pair->key, nullptr, key.get());
    }
}

TlsCerts::~TlsCerts() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

}  // namespace keel_test
