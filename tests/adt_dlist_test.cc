// The containers: list placement and walks that delete, hash entries and growth,
// ring buffer wrap-around and write policies, and bad arguments with their reports.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "adt/adt_internal.h"
#include "keel/adt_dlist.h"
#include "keel/log.h"
#include "test_core.h"

using namespace keel_test;

namespace {
// Checks each row's result, and that the info reports captured are exactly the rows' (nullptr: none).
void expect_reports(const std::vector<std::pair<bool, const char *>> &rows, StderrCapture &cap) {
    std::vector<std::string> want;
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_TRUE(rows[i].first) << "row " << i << ": " << (rows[i].second ? rows[i].second : "no report");
        if (rows[i].second != nullptr) want.push_back(rows[i].second);
    }
    EXPECT_EQ(reports(cap.text()), want);
}
// The one-byte elements front to back, after checking every link and the count.
std::string walk(adt_dlist_t *list) {
    std::string out;
    adt_dlist_node_t *prev = nullptr;
    for (adt_dlist_node_t *n = adt_dlist_head(list); n != nullptr; prev = n, n = adt_dlist_next(n)) {
        EXPECT_EQ(adt_dlist_prev(n), prev);
        out += *static_cast<char *>(adt_dlist_getdata(n));
    }
    EXPECT_TRUE(adt_dlist_end(list) == prev && adt_dlist_size(list) == out.size() &&
                adt_dlist_empty(list) == out.empty());
    return out;
}
adt_dlist_node_t *add(adt_dlist_t *l, adt_dlist_node_t *pos, char c) { return adt_dlist_add(l, pos, &c); }
adt_dlist_node_t *ins(adt_dlist_t *l, adt_dlist_node_t *pos, char c) { return adt_dlist_insert(l, pos, &c); }
hash_node_t *put(hash_table_t *ht, const std::string &key, const char *value) {
    int size = value != nullptr ? static_cast<int>(strlen(value)) + 1 : 0;
    return hash_add(ht, key.data(), static_cast<int>(key.size()), value, size);
}
std::string value_of(hash_table_t *ht, const std::string &key) {
    hash_node_t *hn = hash_find(ht, key.data(), static_cast<int>(key.size()));
    return hn == nullptr ? "<absent>" : hash_get_value(hn) ? static_cast<const char *>(hash_get_value(hn)) : "<null>";
}
int put(ringbuf_t *b, const std::string &s) { return ringbuf_write(static_cast<int>(s.size()), s.data(), b); }
std::string take(ringbuf_t *b, int len, decltype(&ringbuf_read) how = ringbuf_read) {
    std::string out(static_cast<size_t>(len), '\0');
    return out.substr(0, static_cast<size_t>(std::max(how(len, out.data(), b), 0)));
}
}  // namespace

TEST(Dlist, PlacementWalksThatDeleteAndElementCopies) {
    adt_dlist_t *list = adt_dlist_create(1), *other = adt_dlist_create(1);
    adt_dlist_node_t *b = add(list, add(other, nullptr, 'o'), 'B');  // into an empty list: pos is ignored
    ins(list, nullptr, 'A'), add(list, nullptr, 'C'), ins(list, b, 'i'), add(list, b, 'a');
    ins(list, adt_dlist_head(list), '<'), add(list, adt_dlist_end(list), '>');
    EXPECT_EQ(walk(list), "<AiBaC>");
    int i = 0;  // every other node goes, head and tail too; the walk goes on from what delete_ex returns
    for (adt_dlist_node_t *n = adt_dlist_head(list); n != nullptr; ++i)
        n = i % 2 == 0 ? adt_dlist_delete_ex(list, n) : adt_dlist_next(n);
    EXPECT_EQ(walk(list), "ABC");
    for (adt_dlist_node_t *n = adt_dlist_head(list), *next; n != nullptr; n = next) {
        next = adt_dlist_next(n);
        EXPECT_EQ(adt_dlist_delete(list, n), 1);
    }
    EXPECT_EQ(walk(list), "") << "no count, head or tail left behind";
    add(list, nullptr, 'x'), adt_dlist_clear(list), ins(list, adt_dlist_head(other), 'y');
    EXPECT_EQ(walk(list) + walk(other), "yo") << "a cleared list takes new elements, pos again ignored";
    EXPECT_TRUE(adt_dlist_lock(list) == 1 && adt_dlist_lock(list) == 1 && adt_dlist_unlock(list) == 1 &&
                adt_dlist_unlock(list) == 1);
    EXPECT_EQ(adt_dlist_destroy(list) + adt_dlist_destroy(other), 2);
}

TEST(Hash, EntriesValuesGrowthAndWalksInInsertionOrder) {
    hash_table_t *ht = hash_create();
    EXPECT_TRUE(hash_count(ht) == 0 && hash_head(ht) == nullptr && hash_clear(ht) == 1);
    for (int i = 0; i < 3000; ++i) put(ht, std::to_string(i), ("v" + std::to_string(i)).c_str());  // temporaries
    EXPECT_TRUE(!put(ht, "7", "again") && put(ht, std::string("7", 2), nullptr)) << "no duplicates; \"7\\0\" differs";
    EXPECT_EQ(value_of(ht, "7") + value_of(ht, std::string("7", 2)) + value_of(ht, "x"), "v7<null><absent>");
    std::string longer = "a longer value";
    EXPECT_NE(hash_mod(ht, "7", 2, longer.c_str(), static_cast<int>(longer.size()) + 1), nullptr);
    longer.assign(longer.size(), '-');
    EXPECT_TRUE(hash_mod(ht, "8", 1, nullptr, 0) && hash_mod(ht, "9", 1, "", 1) && !hash_mod(ht, "x", 1, "v", 2));
    EXPECT_EQ(value_of(ht, std::string("7", 2)) + value_of(ht, "8") + value_of(ht, "9"), "a longer value<null>")
        << "a copy, then none, then a one-byte copy";
    EXPECT_TRUE(hash_del_by_key(ht, "7", 2) == 1 && hash_del_by_key(ht, "absent", 6) == 1 && hash_count(ht) == 3000);
    int i = 0;  // every other entry goes; the walk goes on from what hash_del returns
    for (hash_node_t *hn = hash_head(ht); hn != nullptr; ++i) {
        ASSERT_STREQ(static_cast<const char *>(hash_get_key(hn)), std::to_string(i).c_str());
        hn = i % 2 == 0 ? hash_del(ht, hn) : hash_next(ht, hn);
    }
    EXPECT_TRUE(i == 3000 && hash_count(ht) == 1500 && value_of(ht, "0") + value_of(ht, "2999") == "<absent>v2999");
    EXPECT_TRUE(hash_lock(ht) == 1 && hash_lock(ht) == 1 && hash_unlock(ht) == 1 && hash_unlock(ht) == 1);
    EXPECT_TRUE(hash_clear(ht) == 1 && hash_count(ht) == 0 && !hash_head(ht) && hash_add(ht, "k", 1, "x", 1) &&
                *static_cast<char *>(hash_get_value(hash_head(ht))) == 'x' && hash_destroy(ht));  // a one-byte value

    unsigned char bytes[64];  // the word-wise Jenkins hash gives HASH_JEN's values, at any alignment
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(i * 37 + 11);
    for (unsigned offset : {0u, 1u, 3u})
        for (unsigned len = 0, want; offset + len <= sizeof bytes; ++len) {
            HASH_JEN(bytes + offset, len, want);
            ASSERT_EQ(keel::adt::jenkins_hash(bytes + offset, len), want) << offset << "+" << len;
        }
}

// Every refusal answers its failure value, with the report shown (nullptr:
// none), and leaves the containers as they were.
TEST(BadArguments, ReportAndFail) {
    log_start(0, 1);
    adt_dlist_t *list = adt_dlist_create(1), *other = adt_dlist_create(1);
    adt_dlist_node_t *foreign = (add(list, nullptr, 'a'), add(other, nullptr, 'b'));
    hash_table_t *ht = hash_create(), *ht2 = hash_create();
    hash_node_t *hn2 = (put(ht, "k", "v"), put(ht2, "f", "v"));
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    char out[4];
    StderrCapture cap;
    expect_reports({{!adt_dlist_empty(nullptr), "dlist is null"},  // 0: not empty
        {!adt_dlist_head(nullptr) && !adt_dlist_next(nullptr) && !adt_dlist_prev(nullptr), nullptr},
        {!adt_dlist_end(nullptr), "adt_dlist_end dlist == NULL"},
        {!adt_dlist_add(list, nullptr, nullptr), "adt_dlist_add data == NULL"},
        {!adt_dlist_delete(list, foreign), "adt_dlist_delete node not in dlist"},
        {!hash_add(nullptr, "k", 1, nullptr, 0), "ht == NULL || key == NULL"},
        {!hash_mod(nullptr, "k", 1, "v", 2), "ht == NULL || key == NULL"},
        {!hash_del_by_key(nullptr, "k", 1), "ht == NULL || key == NULL"},
        {!hash_del(ht, nullptr), "ht == NULL || hn == NULL"}, {!hash_del(ht, hn2), "hn is not in ht"},
        {!hash_next(ht, nullptr), "ht == NULL || hn == NULL"}, {!hash_find(ht, nullptr, 4), "key == NULL"},
        {!hash_add(ht, "n", -1, nullptr, 0), "key_len < 0"}, {!hash_add(ht, "n", 1, "v", -2), "size < 0"},
        {!ringbuf_create(0, 0), "bufsize<=0"}, {!ringbuf_create(9, 2), "unkonw ringbug write type"},
        {ringbuf_write(1, "x", nullptr) == -1, "ptbuf is null"}, {ringbuf_write(1, nullptr, b) == -1, "src is null"},
        {ringbuf_read(1, out, nullptr) == -1, "ptbuf is null"}, {ringbuf_read(1, nullptr, b) == -1, "dst is null"},
        {ringbuf_copy(1, out, nullptr) + ringbuf_datasize(nullptr) + ringbuf_capacity(nullptr) == -1, nullptr},
        {ringbuf_copy(1, nullptr, b) == -1, "dst is null"}, {ringbuf_remove(1, nullptr) == -1, "ptbuf is null"},
        {ringbuf_clear(nullptr) == -1, "ptbuf is null"}, {!ringbuf_getdata(nullptr), "ptbuf is null"},
        {put(b, "ab") == 16 && ringbuf_remove(5, b) == 0 && ringbuf_capacity(b) == 16,  // stops at the stored bytes
         "ringbuf_remove len 5 > datasize 2"}}, cap);
    EXPECT_EQ(walk(list) + walk(other) + value_of(ht, "k") + value_of(ht2, "f"), "abvv");
    EXPECT_EQ(hash_count(ht) + hash_count(ht2) + ringbuf_capacity(b), 18u);
    adt_dlist_destroy(list), adt_dlist_destroy(other), hash_destroy(ht), hash_destroy(ht2), ringbuf_destroy(b);
}

TEST(Ringbuf, WrapAroundLengthsAndOverwrite) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    char out[16] = {0};
    int r = -1, w = -2;
    EXPECT_TRUE(put(b, "0123456789") == 16 && take(b, 8) == "01234567") << "a write answers with the buffer's size";
    put(b, "abcdefghij");  // runs past the end of the area
    EXPECT_TRUE(ringbuf_datasize(b) == 12 && ringbuf_capacity(b) == 4);
    EXPECT_EQ(std::string(static_cast<char *>(ringbuf_getdata(b)), 8), "89abcdef") << "up to the area's end";
    EXPECT_EQ(take(b, 1, ringbuf_copy) + take(b, 100, ringbuf_copy), "889abcdefghij") << "copies consume nothing";
    ringbuf_copydata(-1, out, b), ringbuf_copydata(100, out, b);
    EXPECT_STREQ(out, "89abcdefghij") << "lengths below 1 change nothing; copies stop at the stored bytes";
    EXPECT_EQ(ringbuf_write(0, "x", b) + ringbuf_write(-5, "x", b) + ringbuf_read(-3, out, b) +
                  ringbuf_copy(0, out, b) + ringbuf_remove(1, b) + ringbuf_remove(-4, b), -8);
    EXPECT_TRUE(take(b, 1) == "9" && take(b, 8) == "abcdefgh" && take(b, 5) == "ij" && take(b, 5, ringbuf_copy) == "");
    ringbuf_get_index(b, &r, &w);
    EXPECT_TRUE(r == 0 && w == 0) << "an empty buffer starts again at 0";
    EXPECT_TRUE(put(b, "l") == 16 && ringbuf_datasize(b) == 1 && ringbuf_clear(b) == 0 && ringbuf_capacity(b) == 16);
    ringbuf_destroy(b);
    b = ringbuf_create(16, RINGBUF_WRITE_OVERWRITE);  // the oldest bytes give way
    put(b, "ABCDEFGHIJ"), put(b, "klmnopqrst");
    EXPECT_TRUE(ringbuf_datasize(b) == 16 && ringbuf_capacity(b) == 0 && take(b, 100) == "EFGHIJklmnopqrst");
    put(b, "xyz"), put(b, "ABCDEFGHIJKLMNOPQRSTUVWXyz0123456789abcd");  // longer than the buffer
    EXPECT_EQ(take(b, 100), "yz0123456789abcd") << "only the source's tail survives";
    ringbuf_destroy(b);
}

TEST(Ringbuf, BlockingWriterWaitsForAReader) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    std::string source = pattern(200, 1), got;
    std::atomic<int> result{put(b, source.substr(0, 10)) - 16};
    std::thread writer([&] { result = put(b, source.substr(10)); });
    ASSERT_TRUE(wait_until([&] { return ringbuf_capacity(b) == 0; })) << (writer.detach(), "");
    EXPECT_EQ(result, 0) << "a full buffer and no reader: the write must still wait";
    EXPECT_TRUE(wait_until([&] { return (got += take(b, 7)).size() >= source.size(); }));
    ASSERT_TRUE(wait_until([&] { return result == 16; })) << (writer.detach(), "");
    writer.join(), ringbuf_destroy(b);
    EXPECT_EQ(got, source) << "the portions arrive whole and in order";
}
