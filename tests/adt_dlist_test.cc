// The list: placement, deletion during walks, bad arguments, failed allocations.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "adt_test_support.h"
#include "keel/adt_dlist.h"
#include "keel/log.h"

// Under AddressSanitizer a failed allocation must come back as NULL too.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }

namespace {
// The one-byte elements front to back, after checking every link and the count.
std::string walk(adt_dlist_t *list) {
    std::string out;
    adt_dlist_node_t *prev = nullptr;
    for (adt_dlist_node_t *n = adt_dlist_head(list); n != nullptr; prev = n, n = adt_dlist_next(n)) {
        EXPECT_EQ(adt_dlist_prev(n), prev);
        out += *static_cast<char *>(adt_dlist_getdata(n));
    }
    EXPECT_EQ(adt_dlist_end(list), prev);
    EXPECT_EQ(adt_dlist_size(list), out.size());
    EXPECT_EQ(adt_dlist_empty(list), out.empty() ? 1 : 0);
    return out;
}
adt_dlist_node_t *add(adt_dlist_t *l, adt_dlist_node_t *pos, char c) { return adt_dlist_add(l, pos, &c); }
adt_dlist_node_t *ins(adt_dlist_t *l, adt_dlist_node_t *pos, char c) { return adt_dlist_insert(l, pos, &c); }
}  // namespace

TEST(Dlist, PlacementAndElementCopies) {
    adt_dlist_t *list = adt_dlist_create(1), *ptrs = adt_dlist_create(sizeof(void *));
    adt_dlist_node_t *b = add(list, nullptr, 'B');
    ins(list, nullptr, 'A'), add(list, nullptr, 'C');
    ins(list, b, 'i'), add(list, b, 'a');
    ins(list, adt_dlist_head(list), '<'), add(list, adt_dlist_end(list), '>');
    EXPECT_EQ(walk(list), "<AiBaC>");
    std::string object = "the caller's", *p = &object;
    adt_dlist_node_t *n = adt_dlist_insert(ptrs, b, &p);  // into an empty list: pos is ignored
    p = nullptr;
    EXPECT_TRUE(adt_dlist_head(ptrs) == n && adt_dlist_end(ptrs) == n && adt_dlist_size(ptrs) == 1);
    EXPECT_EQ(*static_cast<std::string **>(adt_dlist_getdata(n)), &object) << "a pointer is stored by value";
    adt_dlist_clear(list);
    add(list, n, 'y');
    EXPECT_EQ(walk(list), "y") << "a cleared list takes new elements, pos again ignored";
    adt_dlist_destroy(ptrs), adt_dlist_destroy(list);
}

TEST(Dlist, WalksThatDeleteEveryNode) {
    adt_dlist_t *list = adt_dlist_create(1);
    for (char c : std::string("abcdef")) add(list, nullptr, c);
    int i = 0;  // b, d and the tail f first, the walk going on from what delete_ex returns
    for (adt_dlist_node_t *n = adt_dlist_head(list); n != nullptr; ++i)
        n = i % 2 == 1 ? adt_dlist_delete_ex(list, n) : adt_dlist_next(n);
    EXPECT_EQ(walk(list), "ace");
    for (adt_dlist_node_t *n = adt_dlist_head(list), *next; n != nullptr; n = next) {
        next = adt_dlist_next(n);
        EXPECT_EQ(adt_dlist_delete(list, n), 1);
    }
    EXPECT_EQ(walk(list), "") << "no count, head or tail left behind";
    adt_dlist_destroy(list);
}

// Refused input, including a node that cannot be allocated (the element is
// the caller's, so the process goes on), leaves every list as it was.
TEST(Dlist, BadArgumentsAndFailedAllocationsReportAndFail) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the address-space limit leaves no room for the thread checker's shadow memory";
#endif
    KEEL_SKIP_UNDER_EMULATION("ignores RLIMIT_AS: no allocation can be made to fail");
    log_start(0, 1);
    adt_dlist_t *list = adt_dlist_create(1), *other = adt_dlist_create(1), *huge = adt_dlist_create(256u << 20);
    add(list, nullptr, 'a');
    adt_dlist_node_t *foreign = add(other, nullptr, 'b');
    rlimit saved{}, tight{};
    getrlimit(RLIMIT_AS, &saved);
    std::ifstream("/proc/self/statm") >> tight.rlim_cur;  // the pages in use
    tight = {tight.rlim_cur * sysconf(_SC_PAGESIZE) + (rlim_t{64} << 20), saved.rlim_max};
    // A node of `huge` copies 256 MiB from its source: only a limit that
    // really holds keeps the inserts below from reading past the byte given.
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    void *probe = malloc(128u << 20);
    bool limited = probe == nullptr;
    free(probe);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);
    ASSERT_TRUE(limited) << "the address-space limit did not hold";
    keel_test::StderrCapture cap;
    keel_test::expect_reports(cap, "dlist.cc", {  // every refusal answers 0 or NULL
        {setrlimit(RLIMIT_AS, &tight) == 0, nullptr},  // 64 MiB of room: no node of `huge` fits
        {!ins(huge, nullptr, 'h'), "adt_dlist_insert malloc fail, node == NULL"},
        {!add(huge, nullptr, 'h'), "adt_dlist_add malloc fail, node == NULL"},
        {setrlimit(RLIMIT_AS, &saved) == 0, nullptr},
        {!adt_dlist_destroy(nullptr), "adt_dlist_destroy dlist == NULL"},
        {(adt_dlist_clear(nullptr), true), "dlist is null"}, {!adt_dlist_empty(nullptr), "dlist is null"},
        {!adt_dlist_insert(nullptr, nullptr, "x"), "adt_dlist_insert dlist == NULL"},
        {!adt_dlist_add(nullptr, nullptr, "x"), "adt_dlist_add dlist == NULL"},
        {!adt_dlist_add(list, nullptr, nullptr), "adt_dlist_add data == NULL"},
        {!adt_dlist_head(nullptr) && !adt_dlist_next(nullptr) && !adt_dlist_prev(nullptr), nullptr},
        {!adt_dlist_delete(nullptr, foreign), "adt_dlist_delete dlist == NULL"},
        {!adt_dlist_delete(list, nullptr), "adt_dlist_delete node == NULL"},
        {!adt_dlist_delete(list, foreign), "adt_dlist_delete node not in dlist"},
        {!adt_dlist_delete_ex(list, nullptr), "adt_dlist_delete_ex node == NULL"},
        {!adt_dlist_getdata(nullptr), "adt_dlist_getdata node == NULL"},
    });
    EXPECT_EQ(walk(list) + walk(other) + walk(huge), "ab");
    for (adt_dlist_t *l : {list, other, huge}) adt_dlist_destroy(l);
}
