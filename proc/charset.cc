// Character-set conversion: the checks, the statuses and their reports, on
// the platform's converter (convert_text). The output is treated as text
// throughout: it ends at its first zero byte and always has room for a
// terminator.
#include <cerrno>
#include <cstring>

#include "keel/os_proc.h"
#include "log/report.h"
#include "proc/proc_internal.h"

using keel::proc::Conversion;

namespace {

// Clears what follows the first zero byte of the output, so that the text the
// caller sees is exactly what the result counts.
void keep_text(char *save, size_t len) {
    if (void *zero = memchr(save, '\0', len); zero != nullptr) {
        auto *from = static_cast<char *>(zero);
        memset(from, 0, static_cast<size_t>(save + len - from));
    }
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
    // The last byte stays free for the terminator.
    size_t room = savelen > 0 ? static_cast<size_t>(savelen) - 1 : 0, written = 0;
    bool invalid = false;
    Conversion done = keel::proc::convert_text(from, to, src, srclen, save, room, &written, &invalid);
    if (done == Conversion::kUnknown) {
        KEEL_INFO("not supoort to[%s] from[%s]", to, from);
        return -1;
    }
    if (srclen == 0) {
        // src holds srclen bytes and need not be terminated: none of it is shown.
        KEEL_ERROR("from %s to %s, src %.*s, savelen %d", from, to, 0, src, savelen);
        return -1;
    }
    keep_text(save, written);
    if (savelen > 0) save[written] = '\0';
    int error = errno;
    if (invalid) {
        errno = EILSEQ;
        KEEL_ERROR("errno == EILSEQ status = -3");
    }
    if (done == Conversion::kFull) {
        errno = E2BIG;
        KEEL_ERROR("errno == E2BIG status = -5");
        return -5;
    }
    if (done == Conversion::kFailed) {
        errno = error;
        KEEL_ERROR("other error status = -6");
        return -6;
    }
    return static_cast<int>(strnlen(save, static_cast<size_t>(savelen)));
}

}  // extern "C"
