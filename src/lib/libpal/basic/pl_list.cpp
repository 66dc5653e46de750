#include "libpal/basic/pl_list.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Links `node` between two neighbours.
void link_between(list_node* node, list_node* prev, list_node* next) {
    next->prev = node;
    node->next = next;
    node->prev = prev;
    prev->next = node;
}

void* owner_of(list_node* node, size_t offset) { return reinterpret_cast<char*>(node) - offset; }

// Moves the nodes of a non-empty `list` between prev and next.
void splice_between(list_node* list, list_node* prev, list_node* next) {
    list_node* first = list->next;
    list_node* last = list->prev;
    first->prev = prev;
    prev->next = first;
    last->next = next;
    next->prev = last;
    list_init(list);
}

}  // namespace

void list_init(list_node* head) {
    head->next = head;
    head->prev = head;
}

int list_empty(const list_node* head) { return head->next == head ? 1 : 0; }

void list_add(list_node* head, list_node* node) { link_between(node, head, head->next); }

void list_add_tail(list_node* head, list_node* node) { link_between(node, head->prev, head); }

void list_add_before(list_node* node, list_node* added) { link_between(added, node->prev, node); }

void list_add_after(list_node* node, list_node* added) { link_between(added, node, node->next); }

void list_del(list_node* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

void list_del_init(list_node* node) {
    list_del(node);
    list_init(node);
}

void list_replace(list_node* old_node, list_node* new_node) {
    new_node->next = old_node->next;
    new_node->next->prev = new_node;
    new_node->prev = old_node->prev;
    new_node->prev->next = new_node;
}

void* list_first(list_node* head, size_t offset) { return list_empty(head) ? nullptr : owner_of(head->next, offset); }

void* list_last(list_node* head, size_t offset) { return list_empty(head) ? nullptr : owner_of(head->prev, offset); }

void* list_pop(list_node* head, size_t offset) {
    if (list_empty(head)) return nullptr;
    list_node* node = head->next;
    list_del(node);
    return owner_of(node, offset);
}

void* list_next_entry(list_node* node, list_node* head, size_t offset) {
    return node->next == head ? nullptr : owner_of(node->next, offset);
}

void list_splice(list_node* list, list_node* head) {
    if (!list_empty(list)) splice_between(list, head, head->next);
}

void list_splice_tail(list_node* list, list_node* head) {
    if (!list_empty(list)) splice_between(list, head->prev, head);
}

list_node* list_check(list_node* head, const char* name) {
    unsigned pos = 0;
    list_node* node = head;
    do {
        list_node* next = node->next;
        if (!next || next->prev != node) {
            if (!name) return nullptr;
            fprintf(stderr, "%s: prev corrupt in node %p (%u) of %p\n", name, static_cast<void*>(node), pos,
                    static_cast<void*>(head));
            abort();
        }
        node = next;
        pos++;
    } while (node != head);
    return head;
}
