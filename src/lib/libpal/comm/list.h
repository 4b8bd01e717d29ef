// Intrusive circular doubly linked list: an entry embeds a list_node and is
// found again from it by the member's offset. A list is a head node whose links
// point to itself when empty. Used by the item pools and the JSONPath filter.
// Nothing here allocates or locks: the list's owner serialises every call.
#pragma once

#include <cstddef>

struct list_node {
    list_node *next;
    list_node *prev;
};

inline void list_init(list_node *head)
{
    head->next = head;
    head->prev = head;
}

inline bool list_empty(const list_node *head)
{
    return head->next == head;
}

namespace list_detail {
inline void link_between(list_node *node, list_node *prev, list_node *next)
{
    node->prev = prev;
    node->next = next;
    prev->next = node;
    next->prev = node;
}
}  // namespace list_detail

inline void list_add(list_node *head, list_node *node)
{
    list_detail::link_between(node, head, head->next);
}

// where (a caller's location text) is accepted for tracing and not used.
inline void list_add_tail(list_node *head, list_node *node, const char *where = nullptr)
{
    (void)where;
    list_detail::link_between(node, head->prev, head);
}

// The head argument of the two inserts is not used.
inline void list_insert_after(list_node *head, list_node *pos, list_node *node)
{
    (void)head;
    list_detail::link_between(node, pos, pos->next);
}

inline void list_insert_before(list_node *head, list_node *pos, list_node *node)
{
    (void)head;
    list_detail::link_between(node, pos->prev, pos);
}

// Unlinks node; its own links are left as they were.
inline void list_del(list_node *node)
{
    node->prev->next = node->next;
    node->next->prev = node->prev;
}

// Unlinks node and makes it an empty list.
inline void list_del_init(list_node *node)
{
    list_del(node);
    list_init(node);
}

inline void list_remove(list_node *head, list_node *node)
{
    (void)head;
    list_del(node);
}

// Puts repl in old's place; old's links are left as they were.
inline void list_replace(list_node *old, list_node *repl)
{
    list_detail::link_between(repl, old->prev, old->next);
}

namespace list_detail {
// Moves the nodes of other, as one chain, between prev and next.
inline void splice_between(list_node *other, list_node *prev, list_node *next)
{
    if (list_empty(other))
        return;
    list_node *first = other->next;
    list_node *last = other->prev;
    prev->next = first;
    first->prev = prev;
    last->next = next;
    next->prev = last;
    list_init(other);
}
}  // namespace list_detail

// Moves every node of other to the end (splice_tail) or the front (splice) of
// head's list; other is left empty.
inline void list_splice_tail(list_node *head, list_node *other)
{
    list_detail::splice_between(other, head->prev, head);
}

inline void list_splice(list_node *head, list_node *other)
{
    list_detail::splice_between(other, head, head->next);
}

// Entries and nodes: offset is the node member's offset in the entry.
inline void *list_node_to_entry(list_node *node, size_t offset)
{
    return reinterpret_cast<char *>(node) - offset;
}

inline list_node *list_entry_to_node(void *entry, size_t offset)
{
    return reinterpret_cast<list_node *>(static_cast<char *>(entry) + offset);
}

// nullptr when node is the head itself (the end of a walk).
inline void *list_entry_or_null(list_node *head, list_node *node, size_t offset)
{
    return node == head ? nullptr : list_node_to_entry(node, offset);
}

inline void *list_first_entry(list_node *head, size_t offset)
{
    return list_entry_or_null(head, head->next, offset);
}

inline void *list_last_entry(list_node *head, size_t offset)
{
    return list_entry_or_null(head, head->prev, offset);
}

// Unlinks the first node and returns its entry; nullptr when empty.
inline void *list_pop_first(list_node *head, size_t offset)
{
    if (list_empty(head))
        return nullptr;
    list_node *node = head->next;
    list_del(node);
    return list_node_to_entry(node, offset);
}

// Consistency checks: head when every node's prev link points to the node
// before it. On a broken link list_check returns nullptr when name is nullptr,
// else prints "<name>: prev corrupt in node ..." on standard error and aborts;
// list_check_ok only returns nullptr.
list_node *list_check(list_node *head, const char *name);
list_node *list_check_ok(list_node *head, const char *name);
