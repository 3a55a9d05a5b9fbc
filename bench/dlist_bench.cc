// List churn: append at the end and delete the head of a list holding 1000
// pointers, against std::list<void *> doing push_back and pop_front.
#include <benchmark/benchmark.h>

#include <list>

#include "keel/adt_dlist.h"

namespace {

constexpr int kHeld = 1000;

void BM_DlistAppendDeleteHead(benchmark::State &state) {
    adt_dlist_t *list = adt_dlist_create(sizeof(void *));
    void *p = &state;
    for (int i = 0; i < kHeld; ++i) adt_dlist_add(list, nullptr, &p);
    for (auto _ : state) {
        benchmark::DoNotOptimize(adt_dlist_add(list, nullptr, &p));
        adt_dlist_delete(list, adt_dlist_head(list));
    }
    state.SetItemsProcessed(state.iterations());
    adt_dlist_destroy(list);
}

void BM_StdListPushBackPopFront(benchmark::State &state) {
    std::list<void *> list;
    void *p = &state;
    for (int i = 0; i < kHeld; ++i) list.push_back(p);
    for (auto _ : state) {
        list.push_back(p);
        benchmark::DoNotOptimize(list.back());
        list.pop_front();
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_DlistAppendDeleteHead)->MinTime(0.2);
BENCHMARK(BM_StdListPushBackPopFront)->MinTime(0.2);
