// The hash table against a model (an std::unordered_map, and a list for the insertion order): random adds, mods,
// deletes by key and by node, and finds, the step's key looked up after each step; a final walk in insertion order.
#include <cstring>
#include <list>
#include <unordered_map>

#include "keel/hash.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    hash_table_t *ht = hash_create();
    std::unordered_map<std::string, std::string> model;
    std::list<std::string> order;  // keys in insertion order
    while (in.remaining_bytes() > 0) {
        // Short keys from a small alphabet collide often; a NUL byte is part of a key.
        std::string key = in.ConsumeRandomLengthString(8), value = in.ConsumeRandomLengthString(32);
        int klen = static_cast<int>(key.size()), vlen = static_cast<int>(value.size());
        int op = in.ConsumeIntegralInRange(0, 4);
        hash_node_t *n;
        if (op == 0) {
            n = hash_add(ht, key.data(), klen, value.data(), vlen);
            if ((n != nullptr) != (model.count(key) == 0)) FUZZ_FAIL();  // the empty key is a key too
            if (n != nullptr) order.push_back(model.emplace(key, value).first->first);
        } else if (op == 1) {
            n = hash_mod(ht, key.data(), klen, value.data(), vlen);
            if ((n != nullptr) != (model.count(key) == 1)) FUZZ_FAIL();
            if (n != nullptr) model[key] = value;
        } else if (op == 2) {
            hash_del_by_key(ht, key.data(), klen);
            if (model.erase(key)) order.remove(key);
        } else if (op == 3) {  // the walk's first entry, deleted by its node
            n = hash_head(ht);
            if ((n == nullptr) != order.empty() ||
                (n != nullptr && memcmp(hash_get_key(n), order.front().data(), order.front().size()) != 0))
                FUZZ_FAIL();
            if (n != nullptr) {
                hash_del(ht, n);
                model.erase(order.front());
                order.pop_front();
            }
        }  // and 4, a find only
        n = hash_find(ht, key.data(), klen);
        auto it = model.find(key);
        if (hash_count(ht) != model.size() || (n != nullptr) != (it != model.end()) ||
            (n != nullptr && !it->second.empty() &&
             memcmp(hash_get_value(n), it->second.data(), it->second.size()) != 0))
            FUZZ_FAIL();
    }
    auto want = order.begin();
    for (hash_node_t *n = hash_head(ht); n != nullptr; n = hash_next(ht, n), ++want)
        if (want == order.end() || memcmp(hash_get_key(n), want->data(), want->size()) != 0) FUZZ_FAIL();
    if (want != order.end()) FUZZ_FAIL();
    hash_destroy(ht);
    return 0;
}
