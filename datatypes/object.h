// object!: a context of named fields with a class id and an optional events record.
//
// Cell: w1 the context node (kind CTX_OBJECT, self on; its cell 1 is a copy of the object
// value), w2 the class id, w3 the node of the events record or 0. The events record is a
// block of two pair! cells, [0] for on-change*, [1] for on-deep-change*: w2 holds
// (field index << 16) | locals count (index 0xFFFF: no handler), w3 the node of the
// handler's spec block when the count was taken.
//
// Object arguments must stay put across allocation (argument-stack cells or roots).
#pragma once
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kel::object {

constexpr uint32_t NO_HANDLER = 0xFFFF;

// --- Code that runs Kel --------------------------------------------------------------
// The interpreter installs these; until then objects do everything that evaluates nothing.

// Evaluates a block already bound to an object's context (the spec of make object!, of
// make error! from set-words).
using evaluate_call = void (*)(cell* block);
extern evaluate_call evaluate;
// Runs an event handler under a function frame marked with the name symbol; its arguments
// and locals placeholders are on the stack from args up to stack::top.
using handler_call = void (*)(cell* handler, uint32_t name, cell* args);
extern handler_call call_handler;

void init();

// --- Construction and access ---------------------------------------------------------

cell* make_at(cell* target, uint32_t slots);
cell* push(node_id ctx, node_id events, int32_t class_id);
cell* push_ctx(node_id ctx, int32_t class_id);
// No evaluation, no binding: a deep copy of the prototype (or a fresh object with a new
// class id) filled from the spec's set-words.
cell* make_from_spec(cell* proto, cell* spec, bool only);
bool fill_from_spec(cell* object, cell* spec, bool only);

int32_t field_index(const cell* object, uint32_t symbol);
// The shared none value for a missing field; good until the next allocation.
cell* get_field(const cell* object, const cell* word);
inline cell* context_of(const cell* object) { return node_buffer(object->w1)->cells(); }
cell* first_word(const cell* object);
cell* get_values(const cell* object);
uint32_t field_count(const cell* object);
bool field_is_class_q(node_id ctx, uint32_t index, int32_t class_id);
bool word_refers_to_class_q(const cell* word, int32_t class_id);
int32_t next_class_id();
void clear_new_lines(node_id values);
void clear_set_marks(node_id ctx);
// Copies the object value into its context's owner cell.
void refresh_owner(const cell* object);

// --- Copying -------------------------------------------------------------------------

void copy_core(cell* object, cell* result, bool deep, cell* types, bool rebuild_events);
void copy_series_fields(node_id source, node_id target, bool copy_others);
void copy_fields_by_name(node_id source, node_id target);
bool extend_from(cell* target, cell* source);

// --- Events --------------------------------------------------------------------------

node_id make_events(node_id ctx);
void update_events(cell* object);
bool has_deep_handler_q(const cell* object);
void fire_on_set(cell* object, cell* word, cell* old_value, cell* new_value);
void fire_on_deep_change(const cell* owner, const cell* word, const cell* target,
                         const cell* action, const cell* new_value, int32_t index, int32_t part);
void set_many(cell* object, cell* value, bool any, bool only, bool some);

// --- Actions -------------------------------------------------------------------------

const cell* make(cell* proto, cell* spec, uint32_t type);
const cell* reflect(cell* value, uint32_t field_symbol);
// The fields as mold and form write them: name, ": ", the value molded.
int32_t mold_fields(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg,
                    int32_t part, int32_t indent, bool form);
// The mold layout with its opening text ("make object! [" for objects).
int32_t mold_as(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
                int32_t indent, const char* opening);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);
const cell* copy(cell* value, cell* result, cell* part, bool deep, cell* types);
const cell* put(cell* object, cell* key, cell* value, bool case_q);
const cell* select(cell* object, cell* value, cell* part, bool only, bool case_q, bool same,
                   bool any, cell* with, cell* skip, bool last, bool reverse);
const cell* modify(cell* object, cell* field, cell* value, bool case_q);

}  // namespace kel::object
