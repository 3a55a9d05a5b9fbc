// Hash table add and find with 16- and 64-byte keys in tables of 1k and 1M
// entries, against std::unordered_map<std::string, int> with the same keys.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "keel/hash.h"

namespace {

// Distinct keys of one length, and an order to look them up in that jumps
// around the table as a real workload would.
struct Keys {
    std::vector<std::string> keys;
    std::vector<size_t> order;
};

const Keys &keys_for(size_t count, size_t len) {
    static std::vector<std::pair<std::pair<size_t, size_t>, Keys>> cache;
    for (const auto &[shape, keys] : cache)
        if (shape == std::make_pair(count, len)) return keys;
    Keys k;
    std::mt19937_64 rng(42);
    for (size_t i = 0; i < count; ++i) {
        std::string key(len, '\0');
        snprintf(key.data(), len, "%016llx", static_cast<unsigned long long>(rng()));
        key.back() = static_cast<char>('a' + i % 26);
        key.replace(0, std::min<size_t>(len, 8), std::to_string(i).substr(0, 8));
        k.keys.push_back(std::move(key));
    }
    k.order.resize(count);
    for (size_t i = 0; i < count; ++i) k.order[i] = i;
    std::shuffle(k.order.begin(), k.order.end(), rng);
    cache.emplace_back(std::make_pair(count, len), std::move(k));
    return cache.back().second;
}

void args(benchmark::internal::Benchmark *b) {
    for (int len : {16, 64})
        for (int count : {1000, 1000000}) b->Args({count, len});
    b->Unit(benchmark::kMillisecond)->MinTime(0.3);
}

void BM_HashAdd(benchmark::State &state) {
    const Keys &k = keys_for(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    int value = 1;
    for (auto _ : state) {
        hash_table_t *ht = hash_create();
        for (const auto &key : k.keys)
            benchmark::DoNotOptimize(hash_add(ht, key.data(), static_cast<int>(key.size()), &value, sizeof value));
        state.PauseTiming();
        hash_destroy(ht);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_MapAdd(benchmark::State &state) {
    const Keys &k = keys_for(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    for (auto _ : state) {
        auto *map = new std::unordered_map<std::string, int>;
        for (const auto &key : k.keys) benchmark::DoNotOptimize(map->emplace(key, 1));
        state.PauseTiming();
        delete map;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_HashFind(benchmark::State &state) {
    const Keys &k = keys_for(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    hash_table_t *ht = hash_create();
    int value = 1;
    for (const auto &key : k.keys) hash_add(ht, key.data(), static_cast<int>(key.size()), &value, sizeof value);
    for (auto _ : state)
        for (size_t i : k.order) {
            const std::string &key = k.keys[i];
            benchmark::DoNotOptimize(hash_find(ht, key.data(), static_cast<int>(key.size())));
        }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    hash_destroy(ht);
}

void BM_MapFind(benchmark::State &state) {
    const Keys &k = keys_for(static_cast<size_t>(state.range(0)), static_cast<size_t>(state.range(1)));
    std::unordered_map<std::string, int> map;
    for (const auto &key : k.keys) map.emplace(key, 1);
    for (auto _ : state)
        for (size_t i : k.order) benchmark::DoNotOptimize(map.find(k.keys[i]));
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

}  // namespace

BENCHMARK(BM_HashAdd)->Apply(args);
BENCHMARK(BM_MapAdd)->Apply(args);
BENCHMARK(BM_HashFind)->Apply(args);
BENCHMARK(BM_MapFind)->Apply(args);
