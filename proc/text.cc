// Hexadecimal text of bytes and back, and the heap copy of a text that the log
// queue and callers share with its matching release.
#include <cstdlib>
#include <cstring>

#include "keel/os_proc.h"
#include "log/report.h"

namespace {

// The value of one hexadecimal digit, or -1.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

extern "C" {

KEEL_API int os_encode(const void *src, int len, char *dst) {
    if (len <= 0) return 1;
    if (src == nullptr || dst == nullptr) {
        KEEL_INFO("src == NULL || dst == NULL");
        return 0;
    }
    static const char kDigits[] = "0123456789abcdef";
    const auto *bytes = static_cast<const unsigned char *>(src);
    for (int i = 0; i < len; ++i) {
        dst[2 * i] = kDigits[bytes[i] >> 4];
        dst[2 * i + 1] = kDigits[bytes[i] & 0xF];
    }
    dst[2 * len] = '\0';
    return 1;
}

// A pair reads as far as its digits go: "a" then a non-digit is 0x0a, and a
// pair that does not start with a digit is 0.
KEEL_API int os_decode(const char *src, int len, void *dst) {
    if (len < 2) return 1;
    if (src == nullptr || dst == nullptr) {
        KEEL_INFO("src == NULL || dst == NULL");
        return 0;
    }
    auto *bytes = static_cast<unsigned char *>(dst);
    for (int i = 0; i < len / 2; ++i) {
        int high = digit_value(src[2 * i]);
        int low = high < 0 ? -1 : digit_value(src[2 * i + 1]);
        bytes[i] = static_cast<unsigned char>(high < 0 ? 0 : low < 0 ? high : high * 16 + low);
    }
    return 1;
}

KEEL_API char *os_strdup(const char *s) {
    if (s == nullptr) return nullptr;
    size_t len = strlen(s);
    auto *copy = static_cast<char *>(calloc(len + 1, 1));
    if (copy == nullptr) KEEL_FATAL("os_strdup dst == NULL");
    memcpy(copy, s, len + 1);
    return copy;
}

// The pointer is read and cleared through memcpy, so any object pointer type
// can be passed by its address without a cast.
KEEL_API void os_free(void *pp) {
    if (pp == nullptr) {
        KEEL_INFO("buf == NULL");
        return;
    }
    void *p = nullptr;
    memcpy(&p, pp, sizeof p);
    if (p == nullptr) return;
    free(p);
    p = nullptr;
    memcpy(pp, &p, sizeof p);
}

}  // extern "C"
