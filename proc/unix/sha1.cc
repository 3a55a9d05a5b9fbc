// SHA-1 from libcrypto. The steps keep the order (and reports) of a
// provider, a hash object, data, and a finish.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "log/report.h"
#include "proc/proc_internal.h"

namespace keel::proc {

namespace {

// The most recent libcrypto error code stands in for a failed step's status.
unsigned status() { return static_cast<unsigned>(ERR_peek_last_error()); }

// Runs the digest steps; frees nothing, so the caller cleans up on every path.
bool digest(EVP_MD *md, EVP_MD_CTX *ctx, const char *text, size_t len, unsigned char **out, int *size) {
    if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1) {
        KEEL_INFO("generate_hash_string BCryptCreateHash failed: 0x%x", status());
        return false;
    }
    if (EVP_DigestUpdate(ctx, text, len) != 1) {
        KEEL_INFO("generate_hash_string BCryptHashData failed: 0x%x", status());
        return false;
    }
    *size = EVP_MD_get_size(md);
    if (*size <= 0) {
        KEEL_INFO("generate_hash_string BCryptGetProperty failed: 0x%x", status());
        return false;
    }
    *out = static_cast<unsigned char *>(malloc(static_cast<size_t>(*size)));
    if (*out == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc pbFirstHash faile");
    if (EVP_DigestFinal_ex(ctx, *out, nullptr) != 1) {
        KEEL_INFO("generate_hash_string BCryptFinishHash failed: 0x%x", status());
        return false;
    }
    return true;
}

}  // namespace

bool sha1(const char *text, size_t len, unsigned char **out, int *size) {
    *out = nullptr;
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    if (md == nullptr) {
        KEEL_INFO("generate_hash_string BCryptOpenAlgorithmProvider failed : 0x%x", status());
        return false;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc bHashObject faield");
    bool done = digest(md, ctx, text, len, out, size);
    if (!done) {
        free(*out);
        *out = nullptr;
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return done;
}

}  // namespace keel::proc
