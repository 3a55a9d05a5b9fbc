// The name of the per-executable mutex: two SHA-1 digests of the executable's
// path in lower-case hexadecimal. The digest is libcrypto's; the steps keep
// the order (and reports) of a provider, a hash object, data, and a finish.
#include <openssl/err.h>
#include <openssl/evp.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/report.h"
#include "proc/proc_internal.h"

namespace {

// The most recent libcrypto error code stands in for a failed step's status.
unsigned status() { return static_cast<unsigned>(ERR_peek_last_error()); }

// Runs the digest steps; frees nothing, so the caller cleans up on every path.
int digest(EVP_MD *md, EVP_MD_CTX *ctx, const char *text, unsigned char **out, int *len) {
    if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1) {
        KEEL_INFO("generate_hash_string BCryptCreateHash failed: 0x%x", status());
        return 0;
    }
    if (EVP_DigestUpdate(ctx, text, strlen(text)) != 1) {
        KEEL_INFO("generate_hash_string BCryptHashData failed: 0x%x", status());
        return 0;
    }
    *len = EVP_MD_get_size(md);
    if (*len <= 0) {
        KEEL_INFO("generate_hash_string BCryptGetProperty failed: 0x%x", status());
        return 0;
    }
    *out = static_cast<unsigned char *>(malloc(static_cast<size_t>(*len)));
    if (*out == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc pbFirstHash faile");
    if (EVP_DigestFinal_ex(ctx, *out, nullptr) != 1) {
        KEEL_INFO("generate_hash_string BCryptFinishHash failed: 0x%x", status());
        return 0;
    }
    return 1;
}

}  // namespace

int generate_hash_string(const char *text, char **out_str, int *out_len) {
    if (text == nullptr || out_str == nullptr || out_len == nullptr) {
        KEEL_INFO("text == NULL || out_str == NULL || out_len == NULL");
        return 0;
    }
    EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    if (md == nullptr) {
        KEEL_INFO("generate_hash_string BCryptOpenAlgorithmProvider failed : 0x%x", status());
        return 0;
    }
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc bHashObject faield");
    unsigned char *hash = nullptr;
    int hash_len = 0;
    int result = digest(md, ctx, text, &hash, &hash_len);
    if (result == 1) {
        auto *hex = static_cast<char *>(calloc(static_cast<size_t>(hash_len) * 2 + 1, 1));
        if (hex == nullptr) KEEL_FATAL("generate_hash_string calloc failed");
        static const char kDigits[] = "0123456789abcdef";
        for (int i = 0; i < hash_len; ++i) {
            hex[2 * i] = kDigits[hash[i] >> 4];
            hex[2 * i + 1] = kDigits[hash[i] & 0xF];
        }
        *out_str = hex;
        *out_len = hash_len * 2;
    }
    free(hash);
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return result;
}

char *proc_mutex_name(const char *exe_path) {
    if (exe_path == nullptr) {
        KEEL_INFO("exe_path == NULL");
        return nullptr;
    }
    // The path and its two-character suffix; PATH_MAX bounds what the kernel
    // gives for /proc/self/exe.
    char proc_str1[PATH_MAX + 3] = {0};
    char proc_str2[PATH_MAX + 3] = {0};
    snprintf(proc_str1, sizeof proc_str1, "%s:0", exe_path);
    snprintf(proc_str2, sizeof proc_str2, "%s:1", exe_path);
    char *hash1 = nullptr, *hash2 = nullptr, *name = nullptr;
    int len1 = 0, len2 = 0;
    if (!generate_hash_string(proc_str1, &hash1, &len1)) {
        KEEL_INFO("os_get_proc_mutex first generate_hash_string failed, proc_str1:%s", proc_str1);
    } else if (!generate_hash_string(proc_str2, &hash2, &len2)) {
        KEEL_INFO("os_get_proc_mutex second generate_hash_string failed, proc_str2:%s", proc_str2);
    } else {
        size_t size = static_cast<size_t>(len1) + static_cast<size_t>(len2) + 260;
        name = static_cast<char *>(calloc(size, 1));
        if (name == nullptr) KEEL_FATAL("os_get_proc_mutex calloc failed");
        snprintf(name, size, "%s_%s_mutex", hash1, hash2);
    }
    free(hash1);
    free(hash2);
    return name;
}
