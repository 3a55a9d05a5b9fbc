// The TLS settings of clients and servers over Schannel: credentials made
// from the caller's PEM files, checked when they are set, so that a file that
// cannot be used is reported by the call that names it, not by every
// connection later. The system reads no PEM file itself: the blocks are
// decoded here, the key imported into a key container of our own, which the
// certificate names and which goes when the settings go.
#include "net/win/tls_win.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "log/report.h"
#include "net/records.h"

namespace keel::net {
namespace {

// Keyed by the CA file ("" for the system's store): a program makes many
// clients with one file.
std::map<std::string, ssl_ctx_st *> &s_client_contexts = *new std::map<std::string, ssl_ctx_st *>;

/* PEM files */

struct PemBlock {
    std::string label;  // "CERTIFICATE", "PRIVATE KEY", ...
    std::string der;
};

// The blocks of a PEM file; false with the reason when it cannot be read.
bool read_pem(const char *file, std::vector<PemBlock> *blocks, std::string *reason) {
    FILE *f = fopen(file, "rb");
    if (f == nullptr) {
        *reason = strerror(errno);
        return false;
    }
    std::string text;
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
    fclose(f);
    static const char kBegin[] = "-----BEGIN ", kEnd[] = "-----END ";
    for (size_t at = 0; (at = text.find(kBegin, at)) != std::string::npos;) {
        size_t label_end = text.find("-----", at + sizeof kBegin - 1);
        if (label_end == std::string::npos) break;
        std::string label = text.substr(at + sizeof kBegin - 1, label_end - at - (sizeof kBegin - 1));
        size_t end = text.find(kEnd + label + "-----", label_end);
        if (end == std::string::npos) break;
        end += sizeof kEnd - 1 + label.size() + 5;
        DWORD size = 0;
        const char *block = text.data() + at;
        auto length = static_cast<DWORD>(end - at);
        if (CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
            std::string der(size, '\0');
            if (CryptStringToBinaryA(block, length, CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE *>(der.data()),
                                     &size, nullptr, nullptr))
                blocks->push_back({label, der.substr(0, size)});
        }
        at = end;
    }
    return true;
}

// The certificates of a PEM file in a store of their own; nullptr with the
// reason when there are none.
HCERTSTORE read_certificates(const char *file, std::string *reason) {
    std::vector<PemBlock> blocks;
    if (!read_pem(file, &blocks, reason)) return nullptr;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    int added = 0;
    for (const PemBlock &block : blocks) {
        if (block.label != "CERTIFICATE" && block.label != "TRUSTED CERTIFICATE") continue;
        added +=
            CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(block.der.data()),
                                             static_cast<DWORD>(block.der.size()), CERT_STORE_ADD_ALWAYS, nullptr)
                ? 1
                : 0;
    }
    if (added > 0) return store;
    CertCloseStore(store, 0);
    *reason = "no certificate or crl found";
    return nullptr;
}

/* keys */

// A DER element: its tag, and where its content lies.
struct Der {
    uint8_t tag = 0;
    const uint8_t *content = nullptr;
    size_t size = 0;
    const uint8_t *next = nullptr;
};

// The element at p, within end; false when it does not fit.
bool der_at(const uint8_t *p, const uint8_t *end, Der *out) {
    if (end - p < 2) return false;
    out->tag = p[0];
    size_t size = p[1], head = 2;
    if (size & 0x80) {
        size_t count = size & 0x7f;
        if (count == 0 || count > 4 || static_cast<size_t>(end - p) < 2 + count) return false;
        size = 0;
        for (size_t i = 0; i < count; ++i) size = size << 8 | p[2 + i];
        head += count;
    }
    if (static_cast<size_t>(end - p) - head < size) return false;
    out->content = p + head;
    out->size = size;
    out->next = out->content + size;
    return true;
}

enum class KeyKind { Rsa, Ec, Unknown };

// The key inside a PKCS #8 block (SEQUENCE { version, algorithm, OCTET
// STRING key }): the system's decoder for it is not everywhere.
bool unwrap_pkcs8(const std::string &der, KeyKind *kind, std::string *key) {
    static const uint8_t kRsa[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};  // 1.2.840.113549.1.1.1
    static const uint8_t kEc[] = {0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01};               // 1.2.840.10045.2.1
    auto *p = reinterpret_cast<const uint8_t *>(der.data()), *end = p + der.size();
    Der outer, version, algorithm, oid, octets;
    if (!der_at(p, end, &outer) || outer.tag != 0x30) return false;
    end = outer.next;
    if (!der_at(outer.content, end, &version) || !der_at(version.next, end, &algorithm) || algorithm.tag != 0x30 ||
        !der_at(algorithm.content, algorithm.next, &oid) || oid.tag != 0x06 || !der_at(algorithm.next, end, &octets) ||
        octets.tag != 0x04)
        return false;
    auto is = [&](const uint8_t *id, size_t n) { return oid.size == n && memcmp(oid.content, id, n) == 0; };
    *kind = is(kRsa, sizeof kRsa) ? KeyKind::Rsa : is(kEc, sizeof kEc) ? KeyKind::Ec : KeyKind::Unknown;
    key->assign(reinterpret_cast<const char *>(octets.content), octets.size);
    return true;
}

/* key containers */

// A container outlives the process unless deleted, and holds a copy of the
// key: each goes with its settings, and those still alive when the process
// ends go then. Names carry the process and the time it started, so that one
// left by a process that crashed is not met again (and if it is, it is
// replaced).
std::set<std::wstring> &s_containers = *new std::set<std::wstring>;

void delete_container(const std::wstring &name) {
    HCRYPTPROV gone;
    CryptAcquireContextW(&gone, name.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_DELETEKEYSET | CRYPT_SILENT);
    s_containers.erase(name);
}

void delete_containers() {
    while (!s_containers.empty()) delete_container(*s_containers.begin());
}

// A new container, empty; false when none could be made.
bool new_container(HCRYPTPROV *provider, std::wstring *name) {
    static const uint64_t started = GetTickCount64();
    static unsigned made = 0;
    if (made == 0) atexit(delete_containers);
    wchar_t text[80];
    swprintf(text, 80, L"keel-tls-%lu-%llu-%u", GetCurrentProcessId(), static_cast<unsigned long long>(started),
             ++made);
    *name = text;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (CryptAcquireContextW(provider, text, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_NEWKEYSET | CRYPT_SILENT)) {
            s_containers.insert(*name);
            return true;
        }
        if (GetLastError() != static_cast<DWORD>(NTE_EXISTS)) break;
        delete_container(*name);
    }
    *provider = 0;
    return false;
}

// An RSA key (PKCS #1) imported into a new key container of ours, named in
// settings; false with the reason.
bool import_rsa(ssl_ctx_st *settings, const std::string &key, std::string *reason) {
    BYTE *blob = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, reinterpret_cast<const BYTE *>(key.data()),
                             static_cast<DWORD>(key.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &size)) {
        *reason = "not an RSA key";
        return false;
    }
    std::wstring name;
    HCRYPTKEY imported = 0;
    bool ok =
        new_container(&settings->provider, &name) && CryptImportKey(settings->provider, blob, size, 0, 0, &imported);
    LocalFree(blob);
    if (imported != 0) CryptDestroyKey(imported);
    if (settings->provider != 0) settings->container = name;
    if (!ok) *reason = tls_status_text(static_cast<SECURITY_STATUS>(GetLastError()), "the key cannot be imported");
    return ok;
}

// The key's public half is the certificate's.
bool key_matches(ssl_ctx_st *settings) {
    DWORD size = 0;
    if (!CryptExportPublicKeyInfo(settings->provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size)) return false;
    std::vector<BYTE> info(size);
    auto *public_key = reinterpret_cast<CERT_PUBLIC_KEY_INFO *>(info.data());
    return CryptExportPublicKeyInfo(settings->provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, public_key, &size) &&
           CertComparePublicKeyInfo(X509_ASN_ENCODING, &settings->cert->pCertInfo->SubjectPublicKeyInfo, public_key);
}

// The key of key_file, imported and tied to the certificate.
bool use_key(ssl_ctx_st *settings, const char *key_file, std::string *reason) {
    std::vector<PemBlock> blocks;
    if (!read_pem(key_file, &blocks, reason)) return false;
    KeyKind kind = KeyKind::Unknown;
    std::string key;
    for (const PemBlock &block : blocks) {
        if (block.label == "RSA PRIVATE KEY") kind = KeyKind::Rsa, key = block.der;
        if (block.label == "EC PRIVATE KEY") kind = KeyKind::Ec, key = block.der;
        if (block.label == "PRIVATE KEY" && !unwrap_pkcs8(block.der, &kind, &key)) kind = KeyKind::Unknown;
        if (!key.empty()) break;
    }
    if (key.empty()) {
        *reason = "no private key found";
        return false;
    }
    if (kind != KeyKind::Rsa) {
        *reason = "only RSA keys are supported";
        return false;
    }
    if (!import_rsa(settings, key, reason)) return false;
    if (!key_matches(settings)) {
        *reason = "key values mismatch";
        return false;
    }
    CRYPT_KEY_PROV_INFO info{};
    info.pwszContainerName = settings->container.data();
    info.pwszProvName = const_cast<wchar_t *>(MS_ENH_RSA_AES_PROV_W);
    info.dwProvType = PROV_RSA_AES;
    info.dwKeySpec = AT_KEYEXCHANGE;
    if (CertSetCertificateContextProperty(settings->cert, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) return true;
    *reason =
        tls_status_text(static_cast<SECURITY_STATUS>(GetLastError()), "the key cannot be tied to the certificate");
    return false;
}

/* credentials */

// TLS 1.2 and 1.3 only. The newer form of the settings is tried first (the
// one that allows TLS 1.3); a system that knows only the older gets that. A
// server speaks TLS 1.2: its key sits in the older key store, whose RSA keys
// cannot make the signatures TLS 1.3 asks for (RSA-PSS).
SECURITY_STATUS acquire(ssl_ctx_st *settings, bool server) {
    PCCERT_CONTEXT certs[1] = {settings->cert};
    // A client's certificate is checked here, against the caller's authorities,
    // never mapped to an account of the system's.
    DWORD flags = server ? SCH_CRED_NO_SYSTEM_MAPPER : SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    DWORD use = server ? SECPKG_CRED_INBOUND : SECPKG_CRED_OUTBOUND;
    TLS_PARAMETERS parameters{};
    parameters.grbitDisabledProtocols =
        SP_PROT_SSL2 | SP_PROT_SSL3 | SP_PROT_TLS1_0 | SP_PROT_TLS1_1 | (server ? SP_PROT_TLS1_3 : 0);
    SCH_CREDENTIALS current{};
    current.dwVersion = SCH_CREDENTIALS_VERSION;
    current.dwFlags = flags;
    current.cCreds = server ? 1 : 0;
    current.paCred = server ? certs : nullptr;
    current.cTlsParameters = 1;
    current.pTlsParameters = &parameters;
    TimeStamp expiry;
    auto *package = const_cast<SEC_WCHAR *>(UNISP_NAME_W);
    SECURITY_STATUS status = AcquireCredentialsHandleW(nullptr, package, use, nullptr, &current, nullptr, nullptr,
                                                       &settings->credentials, &expiry);
    if (status == SEC_E_OK) return status;
    SCHANNEL_CRED older{};
    older.dwVersion = SCHANNEL_CRED_VERSION;
    older.dwFlags = flags;
    older.cCreds = current.cCreds;
    older.paCred = current.paCred;
    older.grbitEnabledProtocols = server ? SP_PROT_TLS1_2_SERVER : SP_PROT_TLS1_2_CLIENT;
    return AcquireCredentialsHandleW(nullptr, package, use, nullptr, &older, nullptr, nullptr, &settings->credentials,
                                     &expiry);
}

void drop(ssl_ctx_st *settings) {
    if (settings->has_credentials) FreeCredentialsHandle(&settings->credentials);
    if (settings->cert != nullptr) CertFreeCertificateContext(settings->cert);
    if (settings->trusted != nullptr) CertCloseStore(settings->trusted, 0);
    if (settings->provider != 0) CryptReleaseContext(settings->provider, 0);
    if (!settings->container.empty()) delete_container(settings->container);
    delete settings;
}

}  // namespace

std::string tls_reason(const char *fallback) { return fallback; }

// The system's text when it has one; else the status's name when it is one
// a TLS session commonly meets, else its number.
std::string tls_status_text(SECURITY_STATUS status, const char *fallback) {
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             static_cast<DWORD>(status), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    if (n > 0) return std::string(text, n);
    static const struct {
        SECURITY_STATUS status;
        const char *name;
    } kNames[] = {
        {SEC_E_UNSUPPORTED_FUNCTION, "SEC_E_UNSUPPORTED_FUNCTION"},
        {SEC_E_ILLEGAL_MESSAGE, "SEC_E_ILLEGAL_MESSAGE"},
        {SEC_E_ALGORITHM_MISMATCH, "SEC_E_ALGORITHM_MISMATCH"},
        {SEC_E_INVALID_TOKEN, "SEC_E_INVALID_TOKEN"},
        {SEC_E_INTERNAL_ERROR, "SEC_E_INTERNAL_ERROR"},
        {SEC_E_DECRYPT_FAILURE, "SEC_E_DECRYPT_FAILURE"},
        {SEC_E_MESSAGE_ALTERED, "SEC_E_MESSAGE_ALTERED"},
        {SEC_E_NO_CREDENTIALS, "SEC_E_NO_CREDENTIALS"},
        {SEC_E_UNKNOWN_CREDENTIALS, "SEC_E_UNKNOWN_CREDENTIALS"},
        {SEC_E_CERT_UNKNOWN, "SEC_E_CERT_UNKNOWN"},
    };
    for (const auto &known : kNames)
        if (known.status == status) return std::string(fallback) + " (" + known.name + ")";
    snprintf(text, sizeof text, "%s (0x%08lx)", fallback, static_cast<unsigned long>(status));
    return text;
}

ssl_ctx_st *tls_server_context(const char *cert_file, const char *key_file, const char *client_ca_file) {
    errno = 0;  // a report's cause is a file's, when one could not be read
    auto *settings = new ssl_ctx_st;
    settings->server = true;
    std::string reason;
    HCERTSTORE certs = read_certificates(cert_file, &reason);
    if (certs != nullptr) {
        // The first certificate of the file is the server's.
        PCCERT_CONTEXT first = CertEnumCertificatesInStore(certs, nullptr);
        settings->cert = CertDuplicateCertificateContext(first);
        CertFreeCertificateContext(first);
        CertCloseStore(certs, 0);
    }
    const char *failed = nullptr;
    if (settings->cert == nullptr) {
        KEEL_ERROR("TLS certificate %s cannot be used: %s", cert_file, reason.c_str());
        failed = cert_file;
    } else if (!use_key(settings, key_file, &reason)) {
        KEEL_ERROR("TLS key %s cannot be used: %s", key_file, reason.c_str());
        failed = key_file;
    } else if (client_ca_file != nullptr &&
               (settings->trusted = read_certificates(client_ca_file, &reason)) == nullptr) {
        KEEL_ERROR("TLS CA file %s cannot be used: %s", client_ca_file, reason.c_str());
        failed = client_ca_file;
    } else if (SECURITY_STATUS status = acquire(settings, true); status != SEC_E_OK) {
        reason = tls_status_text(status, "no credentials");
        KEEL_ERROR("TLS certificate %s cannot be used: %s", cert_file, reason.c_str());
        failed = cert_file;
    } else {
        settings->has_credentials = true;
    }
    if (failed == nullptr) return settings;
    drop(settings);
    return nullptr;
}

void tls_context_hold(ssl_ctx_st *ctx) { ++ctx->references; }

void tls_context_free(ssl_ctx_st *ctx) {
    if (--ctx->references == 0) drop(ctx);
}

void tls_server_free(os_tcp_server_t *server) {
    if (server->tls_ctx != nullptr) tls_context_free(server->tls_ctx);
}

ssl_ctx_st *tls_client_context(const char *ca_file) {
    std::string key = ca_file != nullptr ? ca_file : "";
    if (auto found = s_client_contexts.find(key); found != s_client_contexts.end()) return found->second;
    errno = 0;
    auto *settings = new ssl_ctx_st;
    std::string reason;
    if (ca_file != nullptr && (settings->trusted = read_certificates(ca_file, &reason)) == nullptr) {
        KEEL_ERROR("TLS CA file %s cannot be used: %s", ca_file, reason.c_str());
        drop(settings);
        return nullptr;
    }
    if (SECURITY_STATUS status = acquire(settings, false); status != SEC_E_OK) {
        KEEL_ERROR("TLS CA file %s cannot be used: %s", ca_file != nullptr ? ca_file : "(the system's store)",
                   tls_status_text(status, "no credentials").c_str());
        drop(settings);
        return nullptr;
    }
    settings->has_credentials = true;
    s_client_contexts[key] = settings;
    return settings;
}

}  // namespace keel::net
