// The handle table (OS objects known by a slot index, released when no value refers to
// them) and the externals block (values kept alive for OS-side records by number).
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

using handle_release = void (*)(uintptr_t object);

constexpr size_t HANDLE_KINDS_MAX = 20;
constexpr uint32_t HANDLE_MARK = 0x80000000;
constexpr uint32_t HANDLE_FREE = 0x40000000;

struct handle_slot {
    uint32_t kind;      // bits 0-7 kind number, plus the mark and free bits
    int32_t next;       // next slot of the used or free list; -1 ends it
    uintptr_t object;   // the OS object: the table lives outside cells, so it holds a full pointer
};

void init_handle_table();
int register_handle_kind(const char* name, handle_release release);
int32_t handle_new(uintptr_t object, uint32_t kind);
void handle_set_object(int32_t index, uintptr_t object);
int32_t handle_free(int32_t index, bool release);
bool handle_mark(int32_t index, uintptr_t object);
void handle_for_each_of_kind(uint32_t kind, void (*function)(uintptr_t object));
void handle_sweep();
const handle_slot& handle_at(int32_t index);
size_t handle_capacity();

void externals_init();
uint32_t externals_store(const cell* value);
cell* externals_get(uint32_t number);
void externals_free(uint32_t number);
node_id& externals_node();

}  // namespace kel
