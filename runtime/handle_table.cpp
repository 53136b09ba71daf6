#include "runtime/handle_table.h"

#include "runtime/heap.h"
#include "runtime/memory.h"

namespace kel {

namespace {

struct handle_kind {
    const char* name;
    handle_release release;
};
handle_kind kinds[HANDLE_KINDS_MAX];
int kind_count = 0;

constexpr int32_t HANDLE_SLOTS_INITIAL = 1000;
handle_slot* slots = nullptr;
int32_t capacity = 0;
int32_t used_head = -1;
int32_t free_head = -1;

constexpr uint32_t EXTERNALS_INITIAL = 100;
node_id externals = 0;
int32_t externals_free_head = -1;

void chain_free(int32_t from, int32_t to) {
    for (int32_t i = from; i < to; i++) slots[i] = handle_slot{HANDLE_FREE, i + 1 < to ? i + 1 : -1, 0};
}

void release_object(const handle_slot& slot) {
    uint32_t kind = slot.kind & 0xFF;
    if (kind > 0 && kind <= static_cast<uint32_t>(kind_count) && kinds[kind - 1].release)
        kinds[kind - 1].release(slot.object);
}

void push_free(int32_t index) {
    slots[index] = handle_slot{HANDLE_FREE, free_head, 0};
    free_head = index;
}

}  // namespace

void init_handle_table() {
    kind_count = 0;
    if (slots) heap_free(slots);
    capacity = HANDLE_SLOTS_INITIAL;
    slots = static_cast<handle_slot*>(heap_alloc(sizeof(handle_slot) * capacity));
    chain_free(0, capacity);
    used_head = -1;
    free_head = 0;
}

int register_handle_kind(const char* name, handle_release release) {
    kinds[kind_count] = handle_kind{name, release};
    return ++kind_count;
}

int32_t handle_new(uintptr_t object, uint32_t kind) {
    int32_t index = free_head;
    if (slots[index].next == -1) {  // the last free slot: double the table first
        int32_t old = capacity;
        auto* grown = static_cast<handle_slot*>(heap_alloc(sizeof(handle_slot) * old * 2));
        for (int32_t i = 0; i < old; i++) grown[i] = slots[i];
        heap_free(slots);
        slots = grown;
        capacity = old * 2;
        chain_free(old, capacity);
        slots[index].next = old;
    }
    free_head = slots[index].next;
    slots[index] = handle_slot{kind & 0xFF, used_head, object};
    used_head = index;
    return index;
}

void handle_set_object(int32_t index, uintptr_t object) {
    uintptr_t old = slots[index].object;
    slots[index].object = object;
    if (old != object) {
        handle_slot previous = slots[index];
        previous.object = old;
        release_object(previous);
    }
}

int32_t handle_free(int32_t index, bool release) {
    if (release) release_object(slots[index]);
    if (used_head == index) {
        used_head = slots[index].next;
    } else {
        for (int32_t i = used_head; i != -1; i = slots[i].next)
            if (slots[i].next == index) {
                slots[i].next = slots[index].next;
                break;
            }
    }
    push_free(index);
    return -1;
}

bool handle_mark(int32_t index, uintptr_t object) {
    handle_slot& slot = slots[index];
    bool fresh = !(slot.kind & HANDLE_MARK);
    slot.kind |= HANDLE_MARK;
    if (object) slot.object = object;
    return fresh;
}

void handle_for_each_of_kind(uint32_t kind, void (*function)(uintptr_t object)) {
    for (int32_t i = used_head; i != -1; i = slots[i].next)
        if ((slots[i].kind & 0xFF) == kind) function(slots[i].object);
}

void handle_sweep() {
    int32_t kept = -1;
    for (int32_t i = used_head; i != -1;) {
        int32_t next = slots[i].next;
        if (slots[i].kind & HANDLE_MARK) {
            slots[i].kind &= ~HANDLE_MARK;
            kept = i;
        } else {
            release_object(slots[i]);
            if (kept == -1) used_head = next;
            else slots[kept].next = next;
            push_free(i);
        }
        i = next;
    }
}

const handle_slot& handle_at(int32_t index) { return slots[index]; }
size_t handle_capacity() { return static_cast<size_t>(capacity); }

// --- Externals ---------------------------------------------------------------------

static void externals_grow(uint32_t first) {
    series_buffer* b = node_buffer(externals);
    uint32_t cap = b->size / sizeof(cell);
    cell* cells = reinterpret_cast<cell*>(b->data());
    for (uint32_t i = first; i < cap; i++)
        cells[i] = cell{TYPE_INTEGER, 0, i + 1 < cap ? i + 1 : static_cast<uint32_t>(-1), 0};
    b->offset = b->data();
    b->tail = b->data() + cap * sizeof(cell);
    externals_free_head = static_cast<int32_t>(first);
}

void externals_init() {
    externals = alloc_cells(EXTERNALS_INITIAL);
    externals_grow(0);
}

uint32_t externals_store(const cell* value) {
    if (externals_free_head < 0) {
        series_buffer* b = node_buffer(externals);
        uint32_t cap = b->size / sizeof(cell);
        expand_series(b, 0);
        externals_grow(cap);
    }
    uint32_t index = static_cast<uint32_t>(externals_free_head);
    cell* slot = externals_get(index + 1);
    externals_free_head = static_cast<int32_t>(slot->w2);
    *slot = *value;
    return index + 1;
}

cell* externals_get(uint32_t number) { return node_buffer(externals)->cells() + (number - 1); }

void externals_free(uint32_t number) {
    if (number == 0) return;
    *externals_get(number) = cell{TYPE_INTEGER, 0, static_cast<uint32_t>(externals_free_head), 0};
    externals_free_head = static_cast<int32_t>(number - 1);
}

node_id& externals_node() { return externals; }

}  // namespace kel
