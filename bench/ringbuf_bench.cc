// Ring buffer throughput: one write and one read of a chunk, against two
// plain memcpy calls moving the same bytes in and out of an area (the limit).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "keel/ringbuf.h"

namespace {

constexpr int kArea = 64 * 1024;

void BM_RingbufWriteRead(benchmark::State &state) {
    const int chunk = static_cast<int>(state.range(0));
    std::vector<char> src(static_cast<size_t>(chunk), 'x'), dst(static_cast<size_t>(chunk));
    ringbuf_t *ring = ringbuf_create(kArea, RINGBUF_WRITE_BLOCK);
    // A few bytes stay behind, so chunks keep landing across the area's end.
    ringbuf_write(7, src.data(), ring);
    for (auto _ : state) {
        ringbuf_write(chunk, src.data(), ring);
        benchmark::DoNotOptimize(ringbuf_read(chunk, dst.data(), ring));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * chunk);
    ringbuf_destroy(ring);
}

void BM_MemcpyInOut(benchmark::State &state) {
    const size_t chunk = static_cast<size_t>(state.range(0));
    std::vector<char> src(chunk, 'x'), dst(chunk), area(kArea);
    for (auto _ : state) {
        memcpy(area.data(), src.data(), chunk);
        benchmark::ClobberMemory();
        memcpy(dst.data(), area.data(), chunk);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk));
}

}  // namespace

BENCHMARK(BM_RingbufWriteRead)->Arg(64)->Arg(4096)->MinTime(0.2);
BENCHMARK(BM_MemcpyInOut)->Arg(64)->Arg(4096)->MinTime(0.2);
