// The verification of a peer's certificate: Schannel is told to leave it to
// us, so that the caller's CA file can be the only authority trusted, and so
// that the verdicts read as they do on every platform. The chain is built by
// the system from the certificates the peer sent and the caller's; the checks
// come in the order the reports expect: the authority, the name, the dates
// and signatures.
#include <ws2tcpip.h>

#include <algorithm>

#include "net/win/tls_win.h"

namespace keel::net {
namespace {

std::string narrow(const wchar_t *text) {
    std::string out;
    for (; *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '\x01';  // never matches a name
    return out;
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; });
    return text;
}

// A certificate's DNS name against a host name: alike but for case, or a
// wildcard standing for the whole leftmost label of a name with more labels
// ("*.example.com"; "w*.example.com" stands for nothing).
bool name_matches(const std::string &pattern, const std::string &host) {
    std::string p = lower(pattern), h = lower(host);
    if (p.size() > 2 && p.compare(0, 2, "*.") == 0) {
        size_t dot = h.find('.');
        return dot != std::string::npos && dot > 0 && h.compare(dot, std::string::npos, p, 1) == 0 &&
               p.find('.', 2) != std::string::npos;
    }
    return p.find('*') == std::string::npos && p == h;
}

// The certificate names the peer: an address among its addresses, a host
// name among its DNS names (or, when it has none, its common name).
bool names(PCCERT_CONTEXT cert, const TlsPeerName &peer) {
    uint8_t address[16];
    int address_size = 0;
    if (peer.address) {
        if (inet_pton(AF_INET, peer.checked.c_str(), address) == 1) address_size = 4;
        if (inet_pton(AF_INET6, peer.checked.c_str(), address) == 1) address_size = 16;
    }
    bool dns_names = false, found = false;
    CERT_EXTENSION *extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
    CERT_ALT_NAME_INFO *alt = nullptr;
    DWORD size = 0;
    if (extension != nullptr &&
        CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &alt, &size)) {
        for (DWORD i = 0; i < alt->cAltEntry && !found; ++i) {
            const CERT_ALT_NAME_ENTRY &entry = alt->rgAltEntry[i];
            if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
                dns_names = true;
                found = !peer.address && name_matches(narrow(entry.pwszDNSName), peer.checked);
            } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
                found = address_size != 0 && entry.IPAddress.cbData == static_cast<DWORD>(address_size) &&
                        memcmp(entry.IPAddress.pbData, address, address_size) == 0;
            }
        }
        LocalFree(alt);
    }
    if (found || peer.address || dns_names) return found;
    wchar_t common[256];
    DWORD n = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char *>(szOID_COMMON_NAME), common, 256);
    return n > 1 && name_matches(narrow(common), peer.checked);
}

// The verdict on the dates of every certificate of the chain.
std::string dates(const CERT_SIMPLE_CHAIN *chain) {
    for (DWORD i = 0; i < chain->cElement; ++i) {
        LONG when = CertVerifyTimeValidity(nullptr, chain->rgpElement[i]->pCertContext->pCertInfo);
        if (when > 0) return "certificate has expired";
        if (when < 0) return "certificate is not yet valid";
    }
    return "";
}

}  // namespace

std::string tls_verify(const ssl_ctx_st *settings, PCCERT_CONTEXT peer, const TlsPeerName *name) {
    // The certificates the peer sent and the caller's authorities, for the
    // chain to be built from.
    HCERTSTORE extra = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
    if (peer->hCertStore != nullptr) CertAddStoreToCollection(extra, peer->hCertStore, 0, 0);
    if (settings->trusted != nullptr) CertAddStoreToCollection(extra, settings->trusted, 0, 0);
    CERT_CHAIN_PARA para{};
    para.cbSize = sizeof para;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    bool built = CertGetCertificateChain(nullptr, peer, nullptr, extra, &para, 0, nullptr, &chain) &&
                 chain->cChain > 0 && chain->rgpChain[0]->cElement > 0;
    CertCloseStore(extra, 0);
    if (!built) {
        if (chain != nullptr) CertFreeCertificateChain(chain);
        return "unable to get local issuer certificate";
    }
    const CERT_SIMPLE_CHAIN *simple = chain->rgpChain[0];
    DWORD errors = chain->TrustStatus.dwErrorStatus;
    PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    // With the caller's authorities, the chain must end at one of them (the
    // system's roots do not count); else at a root the system trusts.
    bool anchored = (errors & CERT_TRUST_IS_PARTIAL_CHAIN) == 0;
    bool trusted = settings->trusted != nullptr
                       ? anchored && CertFindCertificateInStore(settings->trusted, X509_ASN_ENCODING, 0,
                                                                CERT_FIND_EXISTING, root, nullptr) != nullptr
                       : anchored && (errors & CERT_TRUST_IS_UNTRUSTED_ROOT) == 0;
    std::string verdict;
    if (!trusted) {
        bool self_signed =
            (simple->rgpElement[simple->cElement - 1]->TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED) != 0;
        verdict = !anchored || !self_signed ? "unable to get local issuer certificate"
                  : simple->cElement == 1   ? "self-signed certificate"
                                            : "self-signed certificate in certificate chain";
    } else if (name != nullptr && !names(peer, *name)) {
        verdict = name->address ? "IP address mismatch" : "hostname mismatch";
    } else if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        verdict = dates(simple);
    } else if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
        verdict = "certificate signature failure";
    } else if (errors & (CERT_TRUST_IS_REVOKED | CERT_TRUST_IS_NOT_VALID_FOR_USAGE | CERT_TRUST_IS_CYCLIC |
                         CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_INVALID_BASIC_CONSTRAINTS)) {
        verdict = "certificate rejected";
    }
    CertFreeCertificateChain(chain);
    return verdict;
}

}  // namespace keel::net
