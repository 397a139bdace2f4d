#include "server/core/queue.h"

#include <cstring>

#include "server/core/errorsys.h"
#include "server/core/utils.h"

namespace {
const char* const SOURCE = "_SOURCE\\queue_a";

// Slot of a position (0 = oldest). New records go one slot below the head, so the oldest record
// sits in the highest occupied slot of the ring.
int slot_of(const Queue* q, int position) {
    int slot = q->head + q->count - 1 - position;
    while (slot >= q->capacity)
        slot -= q->capacity;
    while (slot < 0)
        slot += q->capacity;
    return slot;
}
} // namespace

void queue_init(Queue* queue, int size, int capacity) {
    if (error_pending())
        return;
    *queue = Queue{};
    queue->record_size = size;
    queue->slot_size = size;
    queue->capacity = capacity;
    if (capacity > 0)
        queue->storage = static_cast<unsigned char*>(mem_alloc_zero(static_cast<std::size_t>(size) * capacity));
}

void queue_free(Queue* queue) {
    mem_free(&queue->storage);
    *queue = Queue{};
}

void queue_put_last(Queue* queue, const void* record) {
    if (error_pending())
        return;
    if (queue->count >= queue->capacity || !queue->storage) {
        error_report(SOURCE, 133, 154, "Insert last into queue failed, queue is full");
        return;
    }
    if (queue->head == 0)
        queue->head = queue->capacity;
    --queue->head;
    std::memcpy(queue->storage + static_cast<std::size_t>(queue->head) * queue->slot_size, record,
                static_cast<std::size_t>(queue->record_size));
    ++queue->count;
}

void queue_pull(Queue* queue, void* record) {
    if (error_pending())
        return;
    if (queue->count <= 0) {
        error_report(SOURCE, 274, 158, "Pull queue failed, queue is empty");
        return;
    }
    std::memcpy(record, queue->storage + static_cast<std::size_t>(slot_of(queue, 0)) * queue->slot_size,
                static_cast<std::size_t>(queue->record_size));
    --queue->count;
}

void* queue_item(Queue* queue, int position) {
    if (error_pending())
        return queue->storage;
    if (position < 0 || position >= queue->capacity || queue->count <= 0) {
        error_report(SOURCE, 313, 160, "Address of position '%d' in queue failed, out of bounds, or queue empty ",
                     position);
        return queue->storage;
    }
    return queue->storage + static_cast<std::size_t>(slot_of(queue, position)) * queue->slot_size;
}
