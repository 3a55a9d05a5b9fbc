// Character-set conversion on the C library's iconv.
#include <iconv.h>

#include <cerrno>
#include <cstdio>

#include "proc/proc_internal.h"

namespace keel::proc {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

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

Conversion convert_text(const char *from, const char *to, const char *src, size_t len, char *out, size_t room,
                        size_t *written, bool *invalid) {
    iconv_t cd = iconv_open(to, from);
    if (cd == kNoConverter) return Conversion::kUnknown;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    auto *in = const_cast<char *>(src);
    size_t in_left = len;
    char *end = out;
    Conversion done = Conversion::kDone;
    int error = 0;
    while (in_left > 0 && done == Conversion::kDone) {
        char *in_before = in;
        if (iconv(cd, &in, &in_left, &end, &room) != static_cast<size_t>(-1)) continue;
        error = errno;
        if (error == EILSEQ) {
            if (!*invalid) {
                *invalid = true;
                cd = discarding(cd, from, to, &end, &room);
            } else if (in == in_before) {
                // A discarding converter that still stops moves on by one byte.
                ++in;
                --in_left;
            }
        } else if (error == EINVAL) {
            break;  // the input ends inside a sequence: keep what came before it
        } else {
            done = error == E2BIG ? Conversion::kFull : Conversion::kFailed;
        }
    }
    iconv_close(cd);
    errno = error;
    *written = static_cast<size_t>(end - out);
    return done;
}

}  // namespace keel::proc
