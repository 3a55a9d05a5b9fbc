// The ring buffer against a model: random writes, reads, copies and removes under both write policies, checked
// against a deque after every step, with an in-place read.
#include <algorithm>
#include <deque>

#include "keel/ringbuf.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    int policy = in.ConsumeBool() ? RINGBUF_WRITE_OVERWRITE : RINGBUF_WRITE_BLOCK,
        cap = in.ConsumeIntegralInRange(1, 300);
    ringbuf_t *rb = ringbuf_create(cap, policy);
    std::deque<unsigned char> model;
    unsigned char buf[512];
    while (in.remaining_bytes() > 0) {
        int len = in.ConsumeIntegralInRange(-1, 400), op = in.ConsumeIntegralInRange(0, 4);
        if (op == 0) {
            std::vector<unsigned char> bytes = in.ConsumeBytes<unsigned char>(std::max(len, 0));
            int n = static_cast<int>(bytes.size());
            // A blocking buffer waits for a reader this test does not have; a write of nothing still needs a source.
            if (policy == RINGBUF_WRITE_OVERWRITE || n <= cap - static_cast<int>(model.size())) {
                if (ringbuf_write(n, n > 0 ? bytes.data() : buf, rb) != (n < 1 ? n : cap)) FUZZ_FAIL();
                model.insert(model.end(), bytes.begin(), bytes.end());
                while (static_cast<int>(model.size()) > cap) model.pop_front();
            }
        } else if (op < 3) {
            bool consume = in.ConsumeBool();
            int got = consume ? ringbuf_read(len, buf, rb) : ringbuf_copy(len, buf, rb);
            if (got != (len < 1 ? len : std::min<int>(len, static_cast<int>(model.size()))) ||
                !std::equal(buf, buf + std::max(got, 0), model.begin()))
                FUZZ_FAIL();
            if (consume && got > 0) model.erase(model.begin(), model.begin() + got);
        } else if (op == 4) {
            if (ringbuf_remove(std::max(len, 0), rb) != 0) FUZZ_FAIL();
            model.erase(model.begin(), model.begin() + std::min<size_t>(std::max(len, 0), model.size()));
        }
        // In place, up to the end of the area.
        auto *at = static_cast<unsigned char *>(ringbuf_getdata(rb));
        if (ringbuf_datasize(rb) != static_cast<int>(model.size()) ||
            ringbuf_capacity(rb) != cap - static_cast<int>(model.size()) ||
            (!model.empty() && at != nullptr && *at != model.front()))
            FUZZ_FAIL();
    }
    ringbuf_destroy(rb);
    return 0;
}
