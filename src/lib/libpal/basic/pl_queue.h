// First-in, first-out queue of pointers between any number of producer
// threads and one consumer thread, with an optional bound and millisecond
// timeouts.
//
// Producers append to a shared list under the queue's mutex; the consumer
// pops from a private list and, when that is empty, takes the whole shared
// list over in one locked step. Waits re-check the lists under the mutex, so
// no push and no room made by a pop is ever missed; a wait ends when its
// state holds or its time is up.
#pragma once

#include <atomic>
#include <cstdint>

#include "libpal/os/os_thread.h"

// Called for every item the queue discards (delete, clear, close), with the
// queue's context.
using queue_item_free_fn = void (*)(void* ctx, void* item);

struct queue_node {
    queue_node* next;
    void* item;
};

// Creation parameters: all zero gives an unbounded queue without callback.
struct queue_param {
    void* ctx;
    uint32_t max;  // 0: unbounded
    queue_item_free_fn item_free;
};

struct queue_ctx {
    queue_item_free_fn item_free;
    queue_node* head;  // producer list, guarded by mutex
    queue_node* tail;
    queue_node* chead;  // consumer list, consumer thread only
    uint32_t max;
    std::atomic<uint32_t> count;  // items in both lists; raised under mutex
    os_mutex* mutex;
    os_cond* not_empty;
    os_cond* not_full;
    void* ctx;
    uint32_t wake;  // guarded by mutex: queue_wake asked the consumer to return
};

queue_ctx* queue_new(const queue_param* param);

// 0 appended; -2 a bounded queue stayed full for the whole wait (at once for
// 0 ms); -1 no queue, no item, no memory or a failed wait. OS_WAIT_FOREVER
// waits without limit.
int queue_push_wait(queue_ctx* hq, void* item, uint32_t ms);
int queue_push(queue_ctx* hq, void* item);

// The oldest item, or nothing when none arrived within ms (0: at once) or
// queue_wake asked the consumer to return. Consumer thread only.
void* queue_pop_wait(queue_ctx* hq, uint32_t ms);
void* queue_pop(queue_ctx* hq);

// Makes the consumer's current or next empty wait return nothing at once.
int queue_wake(queue_ctx* hq);

uint32_t queue_size(queue_ctx* hq);
int queue_isfull(queue_ctx* hq);
int queue_empty(queue_ctx* hq);

// Removes the first node holding item (producer list first) and hands the
// item to the item-free callback; -1 when it is in neither list. Consumer
// thread only.
int queue_del(queue_ctx* hq, void* item);
// Hands every item to the item-free callback and empties both lists. Consumer
// thread only, or once the consumer has ended.
int queue_clear(queue_ctx* hq);
// queue_clear, then frees the queue.
int queue_close(queue_ctx* hq);
