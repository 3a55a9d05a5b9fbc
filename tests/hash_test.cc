// The hash table: entries, growth, walks with deletion, the hash, bad arguments.
#include <gtest/gtest.h>

#include <string>

#include "adt/adt_internal.h"
#include "adt_test_support.h"
#include "keel/hash.h"
#include "keel/log.h"

namespace {
hash_node_t *add(hash_table_t *ht, const std::string &key, const std::string &value) {
    return hash_add(ht, key.data(), static_cast<int>(key.size()), value.c_str(), static_cast<int>(value.size() + 1));
}
std::string value_of(hash_table_t *ht, const std::string &key) {
    hash_node_t *hn = hash_find(ht, key.data(), static_cast<int>(key.size()));
    return hn != nullptr ? static_cast<const char *>(hash_get_value(hn)) : "<absent>";
}
}  // namespace

TEST(Hash, EntriesGrowthAndWalksInInsertionOrder) {
    hash_table_t *ht = hash_create();
    const int n = 3000;  // the keys are temporaries: the table keeps copies
    for (int i = 0; i < n; ++i) add(ht, std::to_string(i), "v" + std::to_string(i));
    EXPECT_GT(ht->head->hh.tbl->num_buckets, 32u) << "the bucket array must have doubled";
    EXPECT_EQ(add(ht, "7", "again"), nullptr) << "duplicates are refused";
    EXPECT_NE(hash_add(ht, "7", 2, "w", 2), nullptr) << "\"7\\0\" is another key";
    EXPECT_EQ(value_of(ht, "7") + value_of(ht, std::string("7", 2)) + value_of(ht, "x"), "v7w<absent>");
    EXPECT_EQ(hash_del_by_key(ht, "7", 2), 1);
    int i = 0;  // every other entry goes; the walk goes on from what hash_del returns
    for (hash_node_t *hn = hash_head(ht); hn != nullptr; ++i) {
        ASSERT_STREQ(static_cast<const char *>(hash_get_key(hn)), std::to_string(i).c_str());
        hn = i % 2 == 0 ? hash_del(ht, hn) : hash_next(ht, hn);
    }
    EXPECT_EQ(hash_count(ht), 1500u);
    EXPECT_EQ(value_of(ht, "0") + value_of(ht, "2999"), "<absent>v2999");
    EXPECT_EQ(hash_destroy(ht), 1);
}

TEST(Hash, WordwiseJenkinsGivesHashJenValues) {
    unsigned char bytes[64];
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (unsigned offset : {0u, 1u, 3u})
        for (unsigned len = 0, want; offset + len <= sizeof bytes; ++len) {
            HASH_JEN(bytes + offset, len, want);
            ASSERT_EQ(keel::adt::jenkins_hash(bytes + offset, len), want) << offset << "+" << len;
        }
}

TEST(Hash, BadArgumentsReportAndFail) {
    log_start(0, 1);
    hash_table_t *ht = hash_create(), *other = hash_create();
    hash_node_t *foreign = add(other, "f", "v");
    add(ht, "k", "v");
    keel_test::StderrCapture cap;
    keel_test::expect_reports(cap, "hash.cc", {  // every refusal answers 0 or NULL
        {!hash_destroy(nullptr), "ht == NULL"}, {!hash_count(nullptr), "ht == NULL"},
        {!hash_add(nullptr, "k", 1, nullptr, 0), "ht == NULL || key == NULL"},
        {!hash_add(ht, nullptr, 1, nullptr, 0), "ht == NULL || key == NULL"},
        {!hash_add(ht, "n", -1, nullptr, 0), "key_len < 0"}, {!hash_add(ht, "n", 1, "v", -2), "size < 0"},
        {!hash_mod(ht, "k", 1, "v", -2), "size < 0"}, {!hash_find(nullptr, "k", 1), "ht == NULL"},
        {!hash_find(ht, nullptr, 4), "key == NULL"}, {!hash_find(ht, "k", -1), "key_len < 0"},
        {!hash_del(ht, nullptr), "ht == NULL || hn == NULL"}, {!hash_del(ht, foreign), "hn is not in ht"},
        {!hash_del_by_key(ht, "k", -1), "key_len < 0"}, {!hash_next(ht, nullptr), "ht == NULL || hn == NULL"},
        {!hash_get_value(nullptr), "hn == NULL"}, {!hash_lock(nullptr), "ht == NULL"},
    });
    EXPECT_EQ(hash_count(ht) + hash_count(other), 2u);
    EXPECT_EQ(value_of(ht, "k") + value_of(other, "f"), "vv");
    hash_destroy(other), hash_destroy(ht);
}
