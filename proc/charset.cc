// Character-set conversion on the C library's iconv. The output is treated as
// text throughout: it ends at its first zero byte and always has room for a
// terminator.
#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keel/os_proc.h"
#include "log/report.h"

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// Clears what follows the first zero byte of the output, so that the text the
// caller sees is exactly what the result counts.
void keep_text(char *save, const char *end) {
    auto len = static_cast<size_t>(end - save);
    if (void *zero = memchr(save, '\0', len); zero != nullptr) {
        auto *from = static_cast<char *>(zero);
        memset(from, 0, static_cast<size_t>(end - from));
    }
}

// From the first invalid sequence on, invalid and unconvertible input is
// dropped. The C library offers that only when the converter is opened, as
// the "//IGNORE" suffix of the target, so the open converter is brought back
// to its initial shift state and replaced by one that discards.
iconv_t discarding(iconv_t cd, const char *from, const char *to, char **out, size_t *out_left) {
    if (iconv(cd, nullptr, nullptr, out, out_left) == static_cast<size_t>(-1)) return cd;
    char target[256];
    if (snprintf(target, sizeof target, "%s//IGNORE", to) >= static_cast<int>(sizeof target)) return cd;
    iconv_t ignoring = iconv_open(target, from);
    if (ignoring == kNoConverter) return cd;
    iconv_close(cd);
    return ignoring;
}

}  // namespace

extern "C" {

KEEL_API int os_code_convert(const char *from, const char *to, char *save, int savelen,
                             const char *src, uint32_t srclen) {
    if (from == nullptr || to == nullptr || save == nullptr || src == nullptr) {
        KEEL_INFO("from == NULL || to == NULL || save == NULL || src == NULL");
        return -1;
    }
    if (savelen < 0) {
        KEEL_INFO("savelen < 0");
        return -1;
    }
    iconv_t cd = iconv_open(to, from);
    if (cd == kNoConverter) {
        KEEL_INFO("not supoort to[%s] from[%s]", to, from);
        return -1;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (srclen == 0) {
        // src holds srclen bytes and need not be terminated: none of it is shown.
        KEEL_ERROR("from %s to %s, src %.*s, savelen %d", from, to, 0, src, savelen);
        iconv_close(cd);
        return -1;
    }
    auto *in = const_cast<char *>(src);
    size_t in_left = srclen;
    char *out = save;
    // The last byte stays free for the terminator.
    size_t out_left = savelen > 0 ? static_cast<size_t>(savelen) - 1 : 0;
    bool dropping = false;
    int status = 0;
    while (in_left > 0 && status == 0) {
        char *in_before = in;
        size_t rc = iconv(cd, &in, &in_left, &out, &out_left);
        int error = errno;
        keep_text(save, out);
        if (rc != static_cast<size_t>(-1)) continue;
        if (error == EILSEQ) {
            if (!dropping) {
                KEEL_ERROR("errno == EILSEQ status = -3");
                cd = discarding(cd, from, to, &out, &out_left);
                dropping = true;
            } else if (in == in_before) {
                // A discarding converter that still stops moves on by one byte.
                ++in;
                --in_left;
            }
        } else if (error == EINVAL) {
            break;  // the input ends inside a sequence: keep what came before it
        } else if (error == E2BIG) {
            KEEL_ERROR("errno == E2BIG status = -5");
            status = -5;
        } else {
            KEEL_ERROR("other error status = -6");
            status = -6;
        }
    }
    iconv_close(cd);
    if (savelen > 0) *out = '\0';
    if (status != 0) return status;
    return static_cast<int>(strnlen(save, static_cast<size_t>(savelen)));
}

}  // extern "C"
