// The fault injection: libfiu's POSIX preload asks, at every system call and
// allocation it wraps, whether that call fails; one callback of ours answers
// for every armed point, sparing the program's own threads and scopes.
#include <ctime>

#ifdef KEEL_STRESS_FIU
#include <fiu-control.h>
#include <fiu.h>
#endif

#include "stress.h"

namespace fault {
namespace {

int s_rule_count = 0;

#ifdef KEEL_STRESS_FIU

struct Rule {
    char prefix[64];  // the pattern without its closing '*'
    size_t len;
    double probability;
} s_rules[8];

// The points a pattern may name, each enabled by its own name (which libfiu
// hands the callback). close is left out: Linux releases a descriptor even
// when close fails, while the preload's failed close keeps it open.
const char kPoints[] =
    "libc/mm/calloc libc/mm/malloc libc/mm/realloc libc/str/strdup libc/str/strndup posix/mm/madvise posix/mm/mlock "
    "posix/mm/mlockall posix/mm/mmap posix/mm/mprotect posix/mm/msync posix/mm/munlock posix/mm/munlockall "
    "posix/mm/munmap posix/io/dir/closedir posix/io/dir/fdopendir posix/io/dir/opendir posix/io/dir/readdir "
    "posix/io/dir/readdir_r posix/io/dir/rename posix/io/dir/unlink posix/io/net/accept posix/io/net/bind "
    "posix/io/net/connect posix/io/net/listen posix/io/net/poll posix/io/net/pselect posix/io/net/recv "
    "posix/io/net/recvfrom posix/io/net/recvmsg posix/io/net/select posix/io/net/send posix/io/net/sendmsg "
    "posix/io/net/sendto posix/io/net/shutdown posix/io/net/socket posix/io/oc/open posix/io/rw/ftruncate "
    "posix/io/rw/pread posix/io/rw/pread/reduce posix/io/rw/preadv posix/io/rw/preadv/reduce posix/io/rw/pwrite "
    "posix/io/rw/pwrite/reduce posix/io/rw/pwritev posix/io/rw/pwritev/reduce posix/io/rw/read "
    "posix/io/rw/read/reduce posix/io/rw/readv posix/io/rw/readv/reduce posix/io/rw/truncate posix/io/rw/write "
    "posix/io/rw/write/reduce posix/io/rw/writev posix/io/rw/writev/reduce posix/io/sync/fdatasync "
    "posix/io/sync/fsync posix/stdio/rw/fread posix/stdio/rw/fwrite posix/stdio/oc/fopen posix/stdio/oc/fdopen "
    "posix/stdio/fflush";

// Calls exposed and failed, and failures by point at its first place in
// kPoints, which is its own (a name that begins another comes first).
std::atomic<long> s_counts[sizeof kPoints], s_exposed, s_injected;
uint64_t s_seed = 0;
const char *s_form = "";

// The errors a failed call reports: the preload's, less "would block", which
// a real system says only when a call has to wait; said of a ready
// descriptor, it would stall any correct event loop for good.
const int kErrors[] = {EINTR, EINTR, EIO, EBADF, EINVAL, ENOMEM, ENOBUFS, ECONNRESET, EPIPE, ENOTCONN, ETIMEDOUT};

int decide(const char *name, int *, void **failinfo, unsigned int *) {
    bool memory = strncmp(name, "libc/mm/", 8) == 0 || strncmp(name, "posix/mm/", 9) == 0;
    if (t_spared & (memory ? kMemory : kIo)) return 0;
    ++s_exposed;
    const Rule *rule = s_rules;
    while (strncmp(name, rule->prefix, rule->len) != 0) ++rule;  // the first rule that enabled the point
    // One generator per thread, so that the callback takes no lock; seeded
    // from the run's seed and the thread's own slot.
    thread_local std::minstd_rand dice(static_cast<uint32_t>(s_seed ^ reinterpret_cast<uintptr_t>(&t_spared)));
    uint32_t roll = dice();
    if (roll >= rule->probability * std::minstd_rand::max()) return 0;
    ++s_injected;
    ++s_counts[strstr(kPoints, name) - kPoints];
    if (!memory) *failinfo = reinterpret_cast<void *>(static_cast<intptr_t>(kErrors[roll % std::size(kErrors)]));
    return 1;
}

// At exit, also of a run that the library ended on purpose.
void print_counts() {
    printf("faults: %s: %ld of %ld calls of the library failed (seed %llu)", s_form, s_injected.load(),
           s_exposed.load(), static_cast<unsigned long long>(s_seed));
    const char *sep = ": ";
    for (size_t at = 0; at < sizeof kPoints; ++at)
        if (long n = s_counts[at]; n != 0) {
            const char *shown = strchr(kPoints + at, '/') + 1;  // without the family ("posix", "libc")
            printf("%s%.*s %ld", std::exchange(sep, ", "), static_cast<int>(strcspn(shown, " ")), shown, n);
        }
    printf("\n");
    fflush(stdout);
}

#endif

}  // namespace

bool armed() { return s_rule_count > 0; }

bool arm([[maybe_unused]] const char *form) {
    const char *wanted = getenv("KEEL_STRESS_FAULTS");
    if (wanted == nullptr || *wanted == '\0') return true;
#ifdef KEEL_STRESS_FIU
    if (const char *preload = getenv("LD_PRELOAD"); preload != nullptr && strstr(preload, "fiu_posix_preload")) {
        s_form = form;
        const char *seed = getenv("KEEL_STRESS_SEED");
        s_seed = seed != nullptr ? strtoull(seed, nullptr, 10) : static_cast<uint64_t>(time(nullptr));
        t_spared = kAll;  // the main thread runs the peers and the checks
        fiu_init(0);
        char point[64];
        for (int used = 0; *wanted != '\0' && s_rule_count < 8; wanted += used) {
            Rule &rule = s_rules[s_rule_count++];
            if (sscanf(wanted, " %63[^= ]=%lf %n", rule.prefix, &rule.probability, &used) != 2 || used == 0)
                return fprintf(stderr, "stress: KEEL_STRESS_FAULTS: cannot read \"%s\"\n", wanted), false;
            rule.len = strcspn(rule.prefix, "*");
            int enabled = 0;
            bool wildcard = rule.prefix[rule.len] == '*';
            for (int n = 0, at = 0; sscanf(kPoints + at, "%63s%n", point, &n) == 1; at += n)
                if ((wildcard ? strncmp(point, rule.prefix, rule.len) : strcmp(point, rule.prefix)) == 0)
                    enabled += fiu_enable_external(point, 1, nullptr, 0, decide) == 0;
            if (enabled == 0)
                return fprintf(stderr, "stress: KEEL_STRESS_FAULTS: no point matches %s\n", rule.prefix), false;
        }
        return atexit(print_counts) == 0;
    }
#endif
    fprintf(stderr, "stress: KEEL_STRESS_FAULTS needs a build with libfiu and its POSIX preload (fiu-run -x)\n");
    return false;
}

}  // namespace fault
