// The intrusive circular list.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "libpal/basic/pl_list.h"

namespace {

struct item {
    int id;
    list_node link;
};

constexpr size_t k_off = offsetof(item, link);

std::vector<int> ids(list_node* head) {
    EXPECT_EQ(list_check(head, nullptr), head);
    std::vector<int> out;
    for (auto* it = static_cast<item*>(list_first(head, k_off)); it;
         it = static_cast<item*>(list_next_entry(&it->link, head, k_off)))
        out.push_back(it->id);
    return out;
}

TEST(PlList, AddDeleteReplaceAndEnds) {
    item a{1, {}}, b{2, {}}, c{3, {}}, d{4, {}}, e{5, {}};
    list_node head;
    list_init(&head);
    EXPECT_EQ(list_empty(&head), 1);
    EXPECT_EQ(list_first(&head, k_off), nullptr);
    EXPECT_EQ(list_last(&head, k_off), nullptr);
    EXPECT_EQ(list_pop(&head, k_off), nullptr);

    list_add_tail(&head, &b.link);
    list_add(&head, &a.link);
    list_add_tail(&head, &d.link);
    EXPECT_EQ(ids(&head), (std::vector<int>{1, 2, 4}));
    list_add_before(&d.link, &c.link);
    list_add_after(&d.link, &e.link);
    EXPECT_EQ(ids(&head), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(static_cast<item*>(list_last(&head, k_off)), &e);

    list_del(&c.link);
    EXPECT_EQ(ids(&head), (std::vector<int>{1, 2, 4, 5}));
    list_del_init(&d.link);
    EXPECT_EQ(list_empty(&d.link), 1);
    EXPECT_EQ(ids(&head), (std::vector<int>{1, 2, 5}));

    list_replace(&b.link, &c.link);
    EXPECT_EQ(ids(&head), (std::vector<int>{1, 3, 5}));

    EXPECT_EQ(static_cast<item*>(list_pop(&head, k_off)), &a);
    EXPECT_EQ(static_cast<item*>(list_pop(&head, k_off)), &c);
    EXPECT_EQ(static_cast<item*>(list_pop(&head, k_off)), &e);
    EXPECT_EQ(list_empty(&head), 1);
    EXPECT_EQ(list_owner<item>(&a.link, k_off), &a);
}

TEST(PlList, Splice) {
    item it[6];
    for (int i = 0; i < 6; i++) it[i].id = i;
    list_node x, y;
    list_init(&x);
    list_init(&y);
    for (int i = 0; i < 3; i++) list_add_tail(&x, &it[i].link);
    for (int i = 3; i < 6; i++) list_add_tail(&y, &it[i].link);

    list_splice(&y, &x);  // y in front of x's nodes
    EXPECT_EQ(ids(&x), (std::vector<int>{3, 4, 5, 0, 1, 2}));
    EXPECT_EQ(list_empty(&y), 1);
    list_splice(&y, &x);  // an empty list changes nothing
    EXPECT_EQ(ids(&x), (std::vector<int>{3, 4, 5, 0, 1, 2}));

    list_splice_tail(&x, &y);
    EXPECT_EQ(ids(&y), (std::vector<int>{3, 4, 5, 0, 1, 2}));
    EXPECT_EQ(list_empty(&x), 1);
    list_del(&it[0].link);
    list_splice_tail(&y, &x);
    EXPECT_EQ(ids(&x), (std::vector<int>{3, 4, 5, 1, 2}));
}

TEST(PlList, CheckFindsABrokenBackLink) {
    item a{1, {}}, b{2, {}}, c{3, {}};
    list_node head;
    list_init(&head);
    EXPECT_EQ(list_check(&head, "empty"), &head);
    list_add_tail(&head, &a.link);
    list_add_tail(&head, &b.link);
    list_add_tail(&head, &c.link);
    EXPECT_EQ(list_check(&head, "whole"), &head);
    c.link.prev = &a.link;  // b's next no longer points back to b
    EXPECT_EQ(list_check(&head, nullptr), nullptr);
    EXPECT_DEATH(list_check(&head, "buffers"), "buffers: prev corrupt in node 0x[0-9a-f]+ \\(2\\) of 0x[0-9a-f]+");
}

}  // namespace
