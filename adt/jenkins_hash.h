// The Jenkins hash of uthash's tables, computed a word at a time. It gives
// HASH_JEN's values exactly; HASH_JEN itself builds every word from single
// bytes, a large share of the cost of a lookup in a small table.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Must be seen before uthash.h, which otherwise falls back to HASH_JEN.
#define HASH_FUNCTION(keyptr, keylen, hashv) \
    ((hashv) = keel::adt::jenkins_hash((keyptr), static_cast<unsigned>(keylen)))

#include <uthash.h>

static_assert(std::endian::native == std::endian::little,
              "words are read in the hash's own byte order, little-endian");

namespace keel::adt {

inline uint32_t load_le32(const unsigned char *p) {
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline unsigned jenkins_hash(const void *key, unsigned keylen) {
    auto *k = static_cast<const unsigned char *>(key);
    uint32_t a = 0x9e3779b9u, b = 0x9e3779b9u, c = 0xfeedbeefu;
    unsigned left = keylen;
    for (; left >= 12; left -= 12, k += 12) {
        a += load_le32(k);
        b += load_le32(k + 4);
        c += load_le32(k + 8);
        HASH_JEN_MIX(a, b, c);
    }
    c += keylen;
    // The last bytes one by one; those for c start one byte up, its lowest
    // byte carrying the length.
    switch (left) {
        case 11: c += static_cast<uint32_t>(k[10]) << 24; [[fallthrough]];
        case 10: c += static_cast<uint32_t>(k[9]) << 16; [[fallthrough]];
        case 9: c += static_cast<uint32_t>(k[8]) << 8; [[fallthrough]];
        case 8: b += load_le32(k + 4); a += load_le32(k); break;
        case 7: b += static_cast<uint32_t>(k[6]) << 16; [[fallthrough]];
        case 6: b += static_cast<uint32_t>(k[5]) << 8; [[fallthrough]];
        case 5: b += k[4]; a += load_le32(k); break;
        case 4: a += load_le32(k); break;
        case 3: a += static_cast<uint32_t>(k[2]) << 16; [[fallthrough]];
        case 2: a += static_cast<uint32_t>(k[1]) << 8; [[fallthrough]];
        case 1: a += k[0]; break;
        default: break;
    }
    HASH_JEN_MIX(a, b, c);
    return c;
}

}  // namespace keel::adt
