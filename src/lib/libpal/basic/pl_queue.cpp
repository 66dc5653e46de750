// The blocking queue: a locked producer list handed to the consumer's private
// list in batches.
#include "libpal/basic/pl_queue.h"

#include <new>

#include "libpal/basic/pl_assert.h"
#include "libpal/basic/pl_cond_wait.h"
#include "libpal/memory/pl_mem.h"

namespace {

void queue_free_record(queue_ctx* hq) {
    os_cond_free(hq->not_full);
    os_cond_free(hq->not_empty);
    os_mutex_free(hq->mutex);
    hq->~queue_ctx();
    pl_free(hq);
}

// Hands the items of a detached chain to the callback and frees its nodes.
void discard_chain(queue_ctx* hq, queue_node* node) {
    while (node) {
        queue_node* next = node->next;
        if (hq->item_free) hq->item_free(hq->ctx, node->item);
        pl_free(node);
        node = next;
    }
}

}  // namespace

queue_ctx* queue_new(const queue_param* param) {
    void* mem = pl_zalloc(sizeof(queue_ctx));
    if (!mem) return nullptr;
    auto* hq = new (mem) queue_ctx{};
    if (param) {
        hq->ctx = param->ctx;
        hq->max = param->max;
        hq->item_free = param->item_free;
    }
    hq->mutex = os_mutex_new();
    hq->not_empty = os_cond_new();
    hq->not_full = os_cond_new();
    if (!hq->mutex || !hq->not_empty || !hq->not_full) {
        queue_free_record(hq);
        return nullptr;
    }
    return hq;
}

int queue_push_wait(queue_ctx* hq, void* item, uint32_t ms) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return -1;
    // A null item could not be told apart from "nothing" by the consumer.
    if (!PL_CHECK_TEXT("pal", item != nullptr, "node!=NULL")) return -1;

    auto* node = static_cast<queue_node*>(pl_malloc(sizeof(queue_node)));
    if (!node) return -1;
    node->next = nullptr;
    node->item = item;

    pl_wait_limit limit(ms);
    os_mutex_guard lock(hq->mutex);
    while (hq->max && hq->count.load(std::memory_order_relaxed) >= hq->max) {
        int rc = limit.wait(hq->not_full, hq->mutex);
        if (rc != 0) {
            pl_free(node);
            return rc;
        }
    }
    if (hq->tail)
        hq->tail->next = node;
    else
        hq->head = node;
    hq->tail = node;
    // Raised under the mutex, so a clear or a bound check never sees an item
    // in the list that the count lacks.
    hq->count.fetch_add(1, std::memory_order_release);
    os_cond_signal(hq->not_empty);
    return 0;
}

int queue_push(queue_ctx* hq, void* item) { return queue_push_wait(hq, item, 0); }

void* queue_pop_wait(queue_ctx* hq, uint32_t ms) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return nullptr;
    if (!hq->chead) {
        pl_wait_limit limit(ms);
        os_mutex_guard lock(hq->mutex);
        while (!hq->head && !hq->wake) {
            if (limit.wait(hq->not_empty, hq->mutex) != 0) break;
        }
        hq->wake = 0;
        hq->chead = hq->head;
        hq->head = nullptr;
        hq->tail = nullptr;
    }
    queue_node* node = hq->chead;
    if (!node) return nullptr;
    hq->chead = node->next;
    void* item = node->item;
    pl_free(node);
    if (hq->max) {
        // A producer checks the bound under the mutex; lowering the count
        // under it too means its wait cannot miss the room made here.
        os_mutex_guard lock(hq->mutex);
        hq->count.fetch_sub(1, std::memory_order_release);
        os_cond_signal(hq->not_full);
    } else {
        hq->count.fetch_sub(1, std::memory_order_release);
    }
    return item;
}

void* queue_pop(queue_ctx* hq) { return queue_pop_wait(hq, 0); }

int queue_wake(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return -1;
    os_mutex_guard lock(hq->mutex);
    hq->wake = 1;
    os_cond_broadcast(hq->not_empty);
    return 0;
}

uint32_t queue_size(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return 0;
    return hq->count.load(std::memory_order_acquire);
}

int queue_isfull(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return 0;
    return hq->max && hq->count.load(std::memory_order_acquire) >= hq->max ? 1 : 0;
}

int queue_empty(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return 0;
    return hq->count.load(std::memory_order_acquire) == 0 ? 1 : 0;
}

int queue_del(queue_ctx* hq, void* item) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return -1;
    queue_node* found = nullptr;
    {
        os_mutex_guard lock(hq->mutex);
        queue_node* prev = nullptr;
        for (queue_node* n = hq->head; n; prev = n, n = n->next) {
            if (n->item != item) continue;
            if (prev)
                prev->next = n->next;
            else
                hq->head = n->next;
            if (hq->tail == n) hq->tail = prev;
            found = n;
            break;
        }
        if (!found) {
            prev = nullptr;
            for (queue_node* n = hq->chead; n; prev = n, n = n->next) {
                if (n->item != item) continue;
                if (prev)
                    prev->next = n->next;
                else
                    hq->chead = n->next;
                found = n;
                break;
            }
        }
        if (!found) return -1;
        hq->count.fetch_sub(1, std::memory_order_release);
        os_cond_signal(hq->not_full);
    }
    // The callback runs outside the lock: it may use the queue itself.
    found->next = nullptr;
    discard_chain(hq, found);
    return 0;
}

int queue_clear(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return -1;
    queue_node* consumer;
    queue_node* producer;
    {
        os_mutex_guard lock(hq->mutex);
        consumer = hq->chead;
        producer = hq->head;
        hq->chead = nullptr;
        hq->head = nullptr;
        hq->tail = nullptr;
        uint32_t removed = 0;
        for (queue_node* n = consumer; n; n = n->next) removed++;
        for (queue_node* n = producer; n; n = n->next) removed++;
        hq->count.fetch_sub(removed, std::memory_order_release);
        os_cond_broadcast(hq->not_full);
    }
    discard_chain(hq, consumer);
    discard_chain(hq, producer);
    return 0;
}

int queue_close(queue_ctx* hq) {
    if (!PL_CHECK_TEXT("pal", hq != nullptr, "hq!=NULL")) return -1;
    queue_clear(hq);
    queue_free_record(hq);
    return 0;
}
