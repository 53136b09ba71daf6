// error!: an object with the fields of system/standard/error (code, type, id, arg1-arg3,
// near, where, stack, files), class 1.
//
// A raised error travels as the exit THROW_ERROR; its value waits in last_error, where
// the catcher that takes the exit finds it.
#pragma once
#include <cstdint>

#include "runtime/cell.h"

namespace kel {

// The error! value raised last; none while the catalogue does not exist. A collector root.
extern cell last_error;

// What C++ reads of the error raised last: its code and arguments (none when absent).
struct raised_error {
    uint32_t code;  // 100 * category + id
    cell args[3];
};

// Builds the error from category and id positions and the present arguments and makes
// it the raised error. Before the catalogue exists, and for an error raised while one is
// being built, only the code and the arguments are kept.
void error_create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2,
                  const cell* arg3);
// Read from last_error when there is one. Good until the next raise.
const raised_error& last_raised_error();

namespace error {

enum field : uint32_t {
    FIELD_CODE, FIELD_TYPE, FIELD_ID, FIELD_ARG1, FIELD_ARG2, FIELD_ARG3,
    FIELD_NEAR, FIELD_WHERE, FIELD_STACK, FIELD_FILES,
};
constexpr uint32_t ERROR_CLASS = 1;

// Registers error! (parent object!).
void init();

// Pushes a new error of the category and id positions with the present arguments.
cell* create(uint32_t category, uint32_t id, const cell* arg1, const cell* arg2, const cell* arg3);
const cell* make(cell* proto, cell* spec, uint32_t type);
int32_t form(cell* value, cell* buffer, cell* arg, int32_t part);
int32_t mold(cell* value, cell* buffer, bool only, bool all, bool flat, cell* arg, int32_t part,
             int32_t indent);
const cell* eval_path(cell* parent, cell* element, cell* value, cell* path, cell* prev_value,
                      cell* prev_element, int32_t index, bool case_q, bool get_q, bool tail_q,
                      bool evt_q);
int32_t compare(cell* value1, cell* value2, int32_t op);

cell* get_field(const cell* error, field f);
void set_where(cell* error, const cell* value);
uint32_t get_type(const cell* error);
uint32_t get_id(const cell* error);
constexpr uint32_t stack_index() { return FIELD_STACK; }
// Replaces a call-stack position in the stack field by the words of the call stack, and
// keeps a copy of the source files loaded.
void capture_stack(cell* error);

}  // namespace error
}  // namespace kel
