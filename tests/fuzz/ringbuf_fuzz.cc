// The ring buffer against a model: random writes, reads, copies, in-place
// reads and removes, under both write policies, checked against a deque.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

#include "keel/log.h"
#include "keel/ringbuf.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int policy = in.ConsumeBool() ? RINGBUF_WRITE_OVERWRITE : RINGBUF_WRITE_BLOCK;
    int cap = in.ConsumeIntegralInRange(1, 300);
    ringbuf_t *rb = ringbuf_create(cap, policy);
    std::deque<unsigned char> model;
    std::vector<unsigned char> buf(512);
    while (in.remaining_bytes() > 0) {
        int len = in.ConsumeIntegralInRange(-1, 400);
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                std::vector<unsigned char> bytes = in.ConsumeBytes<unsigned char>(std::max(len, 0));
                int n = static_cast<int>(bytes.size());
                // A blocking buffer waits for a reader this test does not have.
                if (policy == RINGBUF_WRITE_BLOCK && n > cap - static_cast<int>(model.size())) break;
                static const unsigned char kNone = 0;  // a source is needed even for nothing
                int rc = ringbuf_write(n, n > 0 ? bytes.data() : &kNone, rb);
                if (rc != (n < 1 ? n : cap)) abort();
                model.insert(model.end(), bytes.begin(), bytes.end());
                while (static_cast<int>(model.size()) > cap) model.pop_front();
                break;
            }
            case 1:
            case 2: {
                bool consume = in.ConsumeBool();
                int got = consume ? ringbuf_read(len, buf.data(), rb) : ringbuf_copy(len, buf.data(), rb);
                int want = len < 1 ? len : std::min<int>(len, static_cast<int>(model.size()));
                if (got != want) abort();
                for (int i = 0; i < got; ++i)
                    if (buf[i] != model[i]) abort();
                if (consume && got > 0) model.erase(model.begin(), model.begin() + got);
                break;
            }
            case 3: {
                // In place, up to the end of the area.
                auto *at = static_cast<unsigned char *>(ringbuf_getdata(rb));
                int stored = ringbuf_datasize(rb);
                if (stored != static_cast<int>(model.size())) abort();
                if (stored > 0 && at != nullptr && *at != model.front()) abort();
                break;
            }
            default: {
                int n = std::max(len, 0);
                if (ringbuf_remove(n, rb) != 0) abort();
                model.erase(model.begin(), model.begin() + std::min<size_t>(n, model.size()));
            }
        }
        if (ringbuf_datasize(rb) != static_cast<int>(model.size()) ||
            ringbuf_capacity(rb) != cap - static_cast<int>(model.size()))
            abort();
    }
    ringbuf_destroy(rb);
    return 0;
}
