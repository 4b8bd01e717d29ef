// Consistency checks of the intrusive list.
#include "libpal/comm/list.h"

#include <cstdio>
#include <cstdlib>

namespace {

// The first node whose prev link is wrong, with its position counted from 1;
// nullptr when the list is whole. A next chain that loops back to a node it
// has already passed breaks that node's prev link, so the walk always ends.
list_node *first_corrupt(list_node *head, unsigned *pos)
{
    unsigned n = 0;
    for (list_node *prev = head, *node = head->next;; prev = node, node = node->next) {
        n++;
        if (node->prev != prev) {
            *pos = n;
            return node;
        }
        if (node == head)
            return nullptr;
    }
}

}  // namespace

list_node *list_check(list_node *head, const char *name)
{
    unsigned pos = 0;
    list_node *bad = first_corrupt(head, &pos);
    if (bad == nullptr)
        return head;
    if (name == nullptr)
        return nullptr;
    fprintf(stderr, "%s: prev corrupt in node %p (%u) of %p\n", name, static_cast<void *>(bad), pos,
            static_cast<void *>(head));
    abort();
}

list_node *list_check_ok(list_node *head, const char *name)
{
    (void)name;
    unsigned pos = 0;
    return first_corrupt(head, &pos) == nullptr ? head : nullptr;
}
