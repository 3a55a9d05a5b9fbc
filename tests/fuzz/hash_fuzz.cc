// The hash table against a model: a random sequence of add, find, mod, delete
// (by key and by node) and walks, checked after every step against an
// std::unordered_map, with insertion order kept by a list.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <list>
#include <string>
#include <unordered_map>

#include "keel/hash.h"
#include "keel/log.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    hash_table_t *ht = hash_create();
    std::unordered_map<std::string, std::string> model;
    std::list<std::string> order;  // keys in insertion order
    while (in.remaining_bytes() > 0) {
        // Short keys from a small alphabet collide often; a NUL byte is part of a key.
        std::string key = in.ConsumeRandomLengthString(8);
        std::string value = in.ConsumeRandomLengthString(32);
        switch (in.ConsumeIntegralInRange(0, 4)) {
            case 0: {
                hash_node_t *n = hash_add(ht, key.data(), static_cast<int>(key.size()), value.data(),
                                          static_cast<int>(value.size()));
                bool fresh = model.count(key) == 0;
                if ((n != nullptr) != fresh) abort();  // the empty key is a key too
                if (n != nullptr) {
                    model[key] = value;
                    order.push_back(key);
                }
                break;
            }
            case 1: {
                hash_node_t *n = hash_mod(ht, key.data(), static_cast<int>(key.size()), value.data(),
                                          static_cast<int>(value.size()));
                if ((n != nullptr) != (model.count(key) == 1)) abort();
                if (n != nullptr) model[key] = value;
                break;
            }
            case 2:
                hash_del_by_key(ht, key.data(), static_cast<int>(key.size()));
                if (model.erase(key)) order.remove(key);
                break;
            case 3: {
                // Delete the walk's first entry by its node.
                hash_node_t *head = hash_head(ht);
                if ((head == nullptr) != order.empty()) abort();
                if (head != nullptr) {
                    if (memcmp(hash_get_key(head), order.front().data(), order.front().size()) != 0) abort();
                    hash_del(ht, head);
                    model.erase(order.front());
                    order.pop_front();
                }
                break;
            }
            default: {
                hash_node_t *n = hash_find(ht, key.data(), static_cast<int>(key.size()));
                auto it = model.find(key);
                if ((n != nullptr) != (it != model.end())) abort();
                if (n != nullptr && !it->second.empty() &&
                    memcmp(hash_get_value(n), it->second.data(), it->second.size()) != 0)
                    abort();
            }
        }
        if (hash_count(ht) != model.size()) abort();
    }
    // A full walk visits the entries in insertion order.
    auto want = order.begin();
    for (hash_node_t *n = hash_head(ht); n != nullptr; n = hash_next(ht, n), ++want)
        if (want == order.end() || memcmp(hash_get_key(n), want->data(), want->size()) != 0) abort();
    if (want != order.end()) abort();
    hash_destroy(ht);
    return 0;
}
