// The hash table: keys as byte strings, value copies, refusal of duplicates,
// growth past the first buckets, insertion-order walks with deletion, the
// hash function, and bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "adt/adt_internal.h"
#include "adt_test_support.h"
#include "keel/hash.h"
#include "keel/log.h"

using keel_test::info_messages;
using keel_test::StderrCapture;

namespace {

hash_node_t *add(hash_table_t *ht, const std::string &key, const std::string &value) {
    return hash_add(ht, key.data(), static_cast<int>(key.size()), value.c_str(), static_cast<int>(value.size() + 1));
}

std::string value_of(hash_table_t *ht, const std::string &key) {
    hash_node_t *hn = hash_find(ht, key.data(), static_cast<int>(key.size()));
    if (hn == nullptr) return "<absent>";
    auto *v = static_cast<const char *>(hash_get_value(hn));
    return v != nullptr ? v : "<null>";
}

}  // namespace

TEST(Hash, KeysAreByteStringsAndDuplicatesAreRefused) {
    hash_table_t *ht = hash_create();
    std::string key = "ab";
    hash_node_t *hn = add(ht, key, "first");
    key[0] = 'z';  // the table keeps its own copy of the key
    EXPECT_EQ(add(ht, "ab", "second"), nullptr);
    EXPECT_EQ(hash_count(ht), 1u);
    EXPECT_EQ(value_of(ht, "ab"), "first");
    EXPECT_STREQ(static_cast<const char *>(hash_get_key(hn)), "ab") << "stored keys end in zeros";
    EXPECT_NE(hash_add(ht, "ab", 3, "third", 6), nullptr) << "\"ab\\0\" is another key";
    EXPECT_EQ(value_of(ht, std::string("ab", 3)), "third");
    EXPECT_EQ(value_of(ht, "a"), "<absent>");
    EXPECT_EQ(hash_lock(ht) + hash_lock(ht) + hash_unlock(ht) + hash_unlock(ht), 4) << "re-entrant";
    EXPECT_EQ(hash_destroy(ht), 1);
}

TEST(Hash, ValuesAreCopiedReplacedAndRemoved) {
    hash_table_t *ht = hash_create();
    hash_node_t *hn = hash_add(ht, "k", 1, nullptr, 99);
    EXPECT_EQ(hash_get_value(hn), nullptr);
    EXPECT_EQ(hash_mod(ht, "k", 1, "longer value", 13), hn);
    EXPECT_EQ(value_of(ht, "k"), "longer value");
    EXPECT_EQ(hash_mod(ht, "k", 1, "v2", 3), hn);
    EXPECT_EQ(value_of(ht, "k"), "v2");
    EXPECT_EQ(hash_mod(ht, "k", 1, nullptr, 0), hn);
    EXPECT_EQ(value_of(ht, "k"), "<null>");
    EXPECT_EQ(hash_mod(ht, "x", 1, "v", 2), nullptr) << "mod never adds";
    EXPECT_EQ(hash_count(ht), 1u);
    hash_node_t *empty = hash_add(ht, "e", 1, "", 0);
    EXPECT_NE(hash_get_value(empty), nullptr) << "a zero-size value is still a value";
    EXPECT_EQ(hash_mod(ht, "e", 1, "", 0), empty);
    EXPECT_NE(hash_get_value(empty), nullptr);
    hash_destroy(ht);
}

TEST(Hash, GrowsPastTheFirstBucketsAndWalksInInsertionOrder) {
    hash_table_t *ht = hash_create();
    EXPECT_EQ(hash_count(ht), 0u);
    EXPECT_EQ(hash_head(ht), nullptr);
    EXPECT_EQ(hash_clear(ht), 1);
    const int n = 3000;
    for (int i = n - 1; i >= 0; --i) add(ht, "key" + std::to_string(i), std::to_string(i));
    EXPECT_EQ(hash_count(ht), static_cast<uint32_t>(n));
    EXPECT_GT(ht->head->hh.tbl->num_buckets, 32u) << "the bucket array must have doubled";
    int expected = n;
    for (hash_node_t *hn = hash_head(ht); hn != nullptr; hn = hash_next(ht, hn))
        ASSERT_EQ(static_cast<const char *>(hash_get_key(hn)), "key" + std::to_string(--expected));
    EXPECT_EQ(expected, 0);
    for (int i = 0; i < n; ++i) ASSERT_EQ(value_of(ht, "key" + std::to_string(i)), std::to_string(i));
    EXPECT_EQ(hash_clear(ht), 1);
    EXPECT_EQ(hash_count(ht), 0u);
    hash_destroy(ht);
}

TEST(Hash, DeletionDuringAWalk) {
    hash_table_t *ht = hash_create();
    for (int i = 0; i < 40; ++i) add(ht, std::to_string(i), "v");
    int i = 0;  // every other entry goes; the walk goes on from what hash_del returns
    for (hash_node_t *hn = hash_head(ht); hn != nullptr; ++i) hn = i % 2 == 0 ? hash_del(ht, hn) : hash_next(ht, hn);
    EXPECT_EQ(hash_count(ht), 20u);
    EXPECT_EQ(value_of(ht, "0") + value_of(ht, "1"), "<absent>v");
    EXPECT_EQ(hash_del_by_key(ht, "1", 1), 1);
    EXPECT_EQ(hash_del_by_key(ht, "1", 1), 1) << "absent keys are not an error";
    EXPECT_EQ(hash_count(ht), 19u);
    for (hash_node_t *hn = hash_head(ht); hn != nullptr;) hn = hash_del(ht, hn);
    EXPECT_EQ(hash_count(ht), 0u);
    EXPECT_EQ(hash_head(ht), nullptr);
    EXPECT_NE(add(ht, "again", "v"), nullptr);
    EXPECT_EQ(hash_count(ht), 1u);
    hash_destroy(ht);
}

TEST(Hash, WordwiseJenkinsGivesUthashValues) {
    unsigned char bytes[64];
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (unsigned offset : {0u, 1u, 3u})
        for (unsigned len = 0; offset + len <= sizeof bytes; ++len) {
            unsigned expected;
            HASH_JEN(bytes + offset, len, expected);
            ASSERT_EQ(keel::adt::jenkins_hash(bytes + offset, len), expected) << offset << "+" << len;
        }
}

TEST(Hash, NullArgumentsReportAndFail) {
    log_start(0, 1);
    hash_table_t *ht = hash_create();
    hash_node_t *hn = add(ht, "k", "v");
    StderrCapture cap;
    EXPECT_EQ(hash_destroy(nullptr) + hash_clear(nullptr), 0);
    EXPECT_EQ(hash_add(nullptr, "k", 1, nullptr, 0), nullptr);
    EXPECT_EQ(hash_add(ht, nullptr, 1, nullptr, 0), nullptr);
    EXPECT_EQ(hash_mod(ht, nullptr, 1, nullptr, 0), nullptr);
    EXPECT_EQ(hash_find(nullptr, "k", 1), nullptr);
    EXPECT_EQ(hash_del(ht, nullptr), nullptr);
    EXPECT_EQ(hash_del_by_key(nullptr, "k", 1), 0);
    EXPECT_EQ(hash_count(nullptr), 0u);
    EXPECT_EQ(hash_head(nullptr), nullptr);
    EXPECT_EQ(hash_next(nullptr, hn), nullptr);
    EXPECT_EQ(hash_get_key(nullptr), hash_get_value(nullptr));
    EXPECT_EQ(hash_lock(nullptr) + hash_unlock(nullptr), 0);
    EXPECT_EQ(info_messages(cap.text(), "hash.cc"),
              (std::vector<std::string>{"ht == NULL", "ht == NULL", "ht == NULL || key == NULL",
                                        "ht == NULL || key == NULL", "ht == NULL || key == NULL",
                                        "ht == NULL", "ht == NULL || hn == NULL",
                                        "ht == NULL || key == NULL", "ht == NULL", "ht == NULL",
                                        "ht == NULL || hn == NULL", "hn == NULL", "hn == NULL",
                                        "ht == NULL", "ht == NULL"}));
    EXPECT_EQ(hash_count(ht), 1u);
    hash_destroy(ht);
}

TEST(Hash, BadLengthsForeignNodesAndFailedResizesChangeNothing) {
    log_start(0, 1);
    hash_table_t *ht = hash_create(), *other = hash_create();
    hash_node_t *mine = add(ht, "k", "v");
    hash_node_t *foreign = add(other, "f", "v");
    StderrCapture cap;
    EXPECT_EQ(hash_add(ht, "k", -1, nullptr, 0), nullptr);
    EXPECT_EQ(hash_add(ht, "n", 1, "v", -2), nullptr);
    EXPECT_EQ(hash_mod(ht, "k", 1, "v", -2), nullptr);
    EXPECT_EQ(hash_find(ht, nullptr, 4), nullptr);
    EXPECT_EQ(hash_find(ht, "k", -1), nullptr);
    EXPECT_EQ(hash_del_by_key(ht, "k", -1), 0);
    EXPECT_EQ(hash_del(ht, foreign), nullptr);
    EXPECT_EQ(info_messages(cap.text(), "hash.cc"),
              (std::vector<std::string>{"key_len < 0", "size < 0", "size < 0", "key == NULL", "key_len < 0",
                                        "key_len < 0", "hn is not in ht"}));
    EXPECT_EQ(hash_count(ht) + hash_count(other), 2u);
    StderrCapture oom;
    {
        keel_test::AddressSpaceCap no_room;
        EXPECT_EQ(hash_mod(ht, "k", 1, "w", keel_test::AddressSpaceCap::kTooLarge), nullptr);
    }
    EXPECT_NE(oom.text().find("realloc fail, hn->val kept"), std::string::npos);
    EXPECT_EQ(value_of(ht, "k"), "v");
    EXPECT_EQ(hash_head(ht), mine);
    hash_destroy(other);
    hash_destroy(ht);
}
