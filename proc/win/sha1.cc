// SHA-1 from the system's cryptography service (bcrypt.dll). A status counts
// as failure when it is negative.
#include <windows.h>
// after windows.h, whose types it uses
#include <bcrypt.h>

#include <cstdlib>

#include "log/report.h"
#include "proc/proc_internal.h"

namespace keel::proc {

namespace {

// A property of 4 bytes: the hash object's size or the digest's.
NTSTATUS size_property(BCRYPT_HANDLE handle, const wchar_t *name, DWORD *value) {
    ULONG got = 0;
    return BCryptGetProperty(handle, name, reinterpret_cast<PUCHAR>(value), sizeof *value, &got, 0);
}

// Runs the steps from the hash object on; frees nothing, so the caller cleans
// up on every path.
bool digest(BCRYPT_ALG_HANDLE alg, BCRYPT_HASH_HANDLE *hash, unsigned char **object, const char *text, size_t len,
            unsigned char **out, int *size) {
    DWORD object_size = 0, digest_size = 0;
    NTSTATUS status = size_property(alg, BCRYPT_OBJECT_LENGTH, &object_size);
    if (status < 0) {
        KEEL_INFO("generate_hash_string BCryptGetProperty failed: 0x%x", static_cast<unsigned>(status));
        return false;
    }
    *object = static_cast<unsigned char *>(malloc(object_size));
    if (*object == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc bHashObject faield");
    if ((status = BCryptCreateHash(alg, hash, *object, object_size, nullptr, 0, 0)) < 0) {
        KEEL_INFO("generate_hash_string BCryptCreateHash failed: 0x%x", static_cast<unsigned>(status));
        return false;
    }
    // A text longer than 4 GiB goes in parts.
    for (size_t done = 0, part; done < len; done += part) {
        part = len - done < 0x80000000u ? len - done : 0x80000000u;
        auto *bytes = reinterpret_cast<PUCHAR>(const_cast<char *>(text + done));
        if ((status = BCryptHashData(*hash, bytes, static_cast<ULONG>(part), 0)) < 0) {
            KEEL_INFO("generate_hash_string BCryptHashData failed: 0x%x", static_cast<unsigned>(status));
            return false;
        }
    }
    if ((status = size_property(alg, BCRYPT_HASH_LENGTH, &digest_size)) < 0) {
        KEEL_INFO("generate_hash_string BCryptGetProperty failed: 0x%x", static_cast<unsigned>(status));
        return false;
    }
    *out = static_cast<unsigned char *>(malloc(digest_size));
    if (*out == nullptr) KEEL_FATAL("generate_hash_string HeapAlloc pbFirstHash faile");
    *size = static_cast<int>(digest_size);
    if ((status = BCryptFinishHash(*hash, *out, digest_size, 0)) < 0) {
        KEEL_INFO("generate_hash_string BCryptFinishHash failed: 0x%x", static_cast<unsigned>(status));
        return false;
    }
    return true;
}

}  // namespace

bool sha1(const char *text, size_t len, unsigned char **out, int *size) {
    *out = nullptr;
    BCRYPT_ALG_HANDLE alg = nullptr;
    NTSTATUS status = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA1_ALGORITHM, nullptr, 0);
    if (status < 0) {
        KEEL_INFO("generate_hash_string BCryptOpenAlgorithmProvider failed : 0x%x", static_cast<unsigned>(status));
        return false;
    }
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char *object = nullptr;
    bool done = digest(alg, &hash, &object, text, len, out, size);
    if (!done) {
        free(*out);
        *out = nullptr;
    }
    if (hash != nullptr) BCryptDestroyHash(hash);
    free(object);
    BCryptCloseAlgorithmProvider(alg, 0);
    return done;
}

}  // namespace keel::proc
