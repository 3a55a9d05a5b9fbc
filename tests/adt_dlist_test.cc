// The list: placement by insert and add, deletion at every position, element
// copies, the re-entrant lock, null arguments and refused bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "adt_test_support.h"
#include "keel/adt_dlist.h"
#include "keel/log.h"

using keel_test::info_messages;
using keel_test::StderrCapture;

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

TEST(Dlist, InsertGoesBeforeAndAddAfterPosition) {
    adt_dlist_t *list = adt_dlist_create(1);
    adt_dlist_node_t *b = add(list, nullptr, 'B');
    ins(list, nullptr, 'A');
    add(list, nullptr, 'C');
    EXPECT_EQ(walk(list), "ABC");
    ins(list, b, 'i');
    add(list, b, 'a');
    EXPECT_EQ(walk(list), "AiBaC");
    add(list, adt_dlist_end(list), 'z');
    ins(list, adt_dlist_head(list), 'z');
    EXPECT_EQ(walk(list), "zAiBaCz");

    adt_dlist_t *other = adt_dlist_create(1);
    ins(other, b, 'x');  // pos is ignored in an empty list
    adt_dlist_clear(other);
    add(other, b, 'y');
    EXPECT_EQ(walk(other), "y");
    EXPECT_EQ(walk(list), "zAiBaCz");
    EXPECT_EQ(adt_dlist_destroy(other), 1);
    EXPECT_EQ(adt_dlist_destroy(list), 1);
}

TEST(Dlist, DeleteKeepsEndsAndCountAtEveryPosition) {
    adt_dlist_t *list = adt_dlist_create(1);
    for (char c : std::string("abcde")) add(list, nullptr, c);
    EXPECT_EQ(adt_dlist_delete(list, adt_dlist_head(list)), 1);
    EXPECT_EQ(adt_dlist_delete(list, adt_dlist_end(list)), 1);
    EXPECT_EQ(adt_dlist_delete(list, adt_dlist_next(adt_dlist_head(list))), 1);
    EXPECT_EQ(walk(list), "bd");
    adt_dlist_node_t *n = adt_dlist_delete_ex(list, adt_dlist_head(list));
    EXPECT_EQ(walk(list), "d");
    EXPECT_EQ(adt_dlist_delete_ex(list, n), nullptr) << "nothing follows the last node";
    EXPECT_EQ(walk(list), "");

    for (char c : std::string("xyz")) ins(list, nullptr, c);
    adt_dlist_clear(list);
    EXPECT_EQ(walk(list), "");
    add(list, nullptr, 'q');
    EXPECT_EQ(walk(list), "q") << "a cleared list takes new elements";
    adt_dlist_destroy(list);
}

TEST(Dlist, ElementsAreCopiesAndPointersStayTheCallers) {
    adt_dlist_t *list = adt_dlist_create(sizeof(void *));
    std::string object = "owned by the caller";
    std::string *p = &object;
    adt_dlist_node_t *n = adt_dlist_add(list, nullptr, &p);
    p = nullptr;  // the caller's variable may change at once
    EXPECT_EQ(*static_cast<std::string **>(adt_dlist_getdata(n)), &object);
    adt_dlist_destroy(list);
    EXPECT_EQ(object, "owned by the caller");

    adt_dlist_t *bare = adt_dlist_create(0);
    EXPECT_EQ(adt_dlist_lock(bare) + adt_dlist_lock(bare) + adt_dlist_unlock(bare) + adt_dlist_unlock(bare), 4);
    EXPECT_NE(adt_dlist_add(bare, nullptr, nullptr), nullptr) << "no bytes to copy, none needed";
    adt_dlist_destroy(bare);
}

TEST(Dlist, NullArgumentsReportAndFail) {
    log_start(0, 1);
    adt_dlist_t *list = adt_dlist_create(1);
    char c = 'x';
    StderrCapture cap;
    EXPECT_EQ(adt_dlist_destroy(nullptr), 0);
    adt_dlist_clear(nullptr);
    EXPECT_EQ(adt_dlist_insert(nullptr, nullptr, &c), nullptr);
    EXPECT_EQ(adt_dlist_add(nullptr, nullptr, &c), nullptr);
    EXPECT_EQ(adt_dlist_end(nullptr), nullptr);
    EXPECT_EQ(adt_dlist_size(nullptr), 0u);
    EXPECT_EQ(adt_dlist_empty(nullptr), 0) << "a missing list does not claim to be empty";
    EXPECT_EQ(adt_dlist_delete(nullptr, nullptr), 0);
    EXPECT_EQ(adt_dlist_delete(list, nullptr), 0);
    EXPECT_EQ(adt_dlist_delete_ex(nullptr, nullptr), nullptr);
    EXPECT_EQ(adt_dlist_delete_ex(list, nullptr), nullptr);
    EXPECT_EQ(adt_dlist_lock(nullptr), 0);
    EXPECT_EQ(adt_dlist_unlock(nullptr), 0);
    EXPECT_EQ(adt_dlist_getdata(nullptr), nullptr);
    // These three answer NULL without a report.
    EXPECT_EQ(adt_dlist_head(nullptr), nullptr);
    EXPECT_EQ(adt_dlist_next(nullptr), nullptr);
    EXPECT_EQ(adt_dlist_prev(nullptr), nullptr);
    EXPECT_EQ(info_messages(cap.text(), "dlist.cc"),
              (std::vector<std::string>{
                  "adt_dlist_destroy dlist == NULL", "dlist is null", "adt_dlist_insert dlist == NULL",
                  "adt_dlist_add dlist == NULL", "adt_dlist_end dlist == NULL",
                  "adt_dlist_size dlist == NULL", "dlist is null", "adt_dlist_delete dlist == NULL",
                  "adt_dlist_delete node == NULL", "adt_dlist_delete_ex dlist == NULL",
                  "adt_dlist_delete_ex node == NULL", "adt_dlist_lock dlist == NULL",
                  "adt_dlist_unlock dlist == NULL", "adt_dlist_getdata node == NULL"}));
    adt_dlist_destroy(list);
}

TEST(Dlist, BadInputLeavesTheListsIntact) {
    log_start(0, 1);
    adt_dlist_t *list = adt_dlist_create(1), *other = adt_dlist_create(1);
    add(list, nullptr, 'a');
    adt_dlist_node_t *foreign = add(other, nullptr, 'b');
    add(other, nullptr, 'c');
    adt_dlist_t *huge = adt_dlist_create(keel_test::AddressSpaceCap::kTooLarge);
    StderrCapture cap;
    EXPECT_EQ(adt_dlist_add(list, nullptr, nullptr), nullptr);
    EXPECT_EQ(adt_dlist_delete_ex(list, foreign), nullptr);
    {
        keel_test::AddressSpaceCap no_room;
        EXPECT_EQ(ins(huge, nullptr, 'h'), nullptr);
        EXPECT_EQ(add(huge, nullptr, 'h'), nullptr);
    }
    std::vector<std::string> got = info_messages(cap.text(), "dlist.cc");
    std::vector<std::string> want = {"adt_dlist_add data == NULL", "adt_dlist_delete node not in dlist",
                                     "dlist delete tmp failed!)", "adt_dlist_insert malloc fail, node == NULL",
                                     "adt_dlist_add malloc fail, node == NULL"};
    for (const auto &w : want) EXPECT_NE(std::find(got.begin(), got.end(), w), got.end()) << w;
    EXPECT_EQ(walk(list), "a");
    EXPECT_EQ(walk(other), "bc");
    EXPECT_EQ(walk(huge), "");
    adt_dlist_destroy(huge);
    adt_dlist_destroy(other);
    adt_dlist_destroy(list);
}
