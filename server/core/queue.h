// A bounded ring of fixed-size records in one block; records are copied in and out by value.
#pragma once

#include <cstdint>

struct Queue {
    std::int32_t count;       // records in the queue
    std::int32_t head;        // ring index of the newest record
    std::int32_t record_size; // bytes copied in and out
    std::int32_t slot_size;   // distance between slots
    std::int32_t capacity;    // MAX_ELE
    unsigned char* storage;   // capacity * slot_size bytes, none when capacity is 0
};

void queue_init(Queue* queue, int size, int capacity);
void queue_free(Queue* queue);
void queue_put_last(Queue* queue, const void* record);
void queue_pull(Queue* queue, void* record);
void* queue_item(Queue* queue, int position);
