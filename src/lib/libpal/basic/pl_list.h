// Intrusive circular doubly linked list.
//
// A list_node is embedded in its owner's record; a list head is a node whose
// next and prev point to itself when the list is empty. The owner of a node
// is found by subtracting the node's offset inside the record
// (offsetof(record, member)), as the *_entry helpers below do.
#pragma once

#include <cstddef>

struct list_node {
    list_node* next;
    list_node* prev;
};

void list_init(list_node* head);
int list_empty(const list_node* head);

// Insert after the head (at the front) / before the head (at the end).
void list_add(list_node* head, list_node* node);
void list_add_tail(list_node* head, list_node* node);
// Insert before / after a node that is already on a list.
void list_add_before(list_node* node, list_node* added);
void list_add_after(list_node* node, list_node* added);
// Unlink; the node's own links are left as they were.
void list_del(list_node* node);
// Unlink and make the node an empty list.
void list_del_init(list_node* node);
// The new node takes the old one's place.
void list_replace(list_node* old_node, list_node* new_node);

// Owners of the first / last node, or nothing for an empty list.
void* list_first(list_node* head, size_t offset);
void* list_last(list_node* head, size_t offset);
// Unlink the first node and return its owner; nothing for an empty list.
void* list_pop(list_node* head, size_t offset);
// Owner of the node after `node`, nothing when `node` is the last one.
void* list_next_entry(list_node* node, list_node* head, size_t offset);

// Move every node of `list` to the front / back of `head`; `list` is left
// empty.
void list_splice(list_node* list, list_node* head);
void list_splice_tail(list_node* list, list_node* head);

// Walks the list and checks that each node's next node points back to it.
// Returns the head, or nothing on a broken link; with a name, a broken link
// is reported on standard error and the process aborts.
list_node* list_check(list_node* head, const char* name);

// The owner record of a node.
template <class T>
T* list_owner(list_node* node, size_t offset) {
    return node ? reinterpret_cast<T*>(reinterpret_cast<char*>(node) - offset) : nullptr;
}
